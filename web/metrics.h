// The metrics in the Prometheus text format, for a site's monitoring.
#pragma once

#include <cstdint>
#include <string>

#include "osdp/journal.h"
#include "osdp/osdp_peripheral.h"

// The metrics page: the line figures, the journal's totals and the web
// requests refused, each metric with its HELP and TYPE lines, counters
// ending in _total, ages in seconds.
std::string metricsText(const LineDiagnostics& line, const JournalCounts& counts,
                        uint64_t refusedRequests);
