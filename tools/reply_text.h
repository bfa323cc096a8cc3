// The event lines the osdp_controller tool prints for the readers' replies.
#pragma once

#include <cstdint>
#include <string>

#include "tools/controller_frames.h"

// "reader A": how each event line begins.
std::string readerPrefix(uint8_t address);

// The event line of a reply from the reader at address to the given command,
// empty when there is nothing to tell (an acknowledgement).
std::string describeReply(uint8_t command, const OsdpReply& reply);
