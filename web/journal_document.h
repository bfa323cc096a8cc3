// The journal as the web interface shows it: the journal document, for
// people and the status page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "osdp/journal.h"

// Entries a journal request without a count gets.
constexpr size_t kJournalDefaultCount = 20;

// The count of a journal request: empty for the default, else decimal digits;
// counts above the journal's capacity give all it holds. False for anything
// else.
bool parseJournalCount(const std::string& value, size_t* count);

// The journal document: "<response>\n", one <entry> element per entry in the
// order given (newest first), "</response>\n". Ages are taken against
// nowMono. Plates and texts from the panel are escaped.
std::string journalDocument(const std::vector<JournalEntry>& entries, int64_t nowMono);
