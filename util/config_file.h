// The configuration file: five comment lines recording the camera's serial
// number, the time of the write and the log verbosity. Written whole, never
// read.
#pragma once

#include <cstdint>
#include <string>

// Replaces the file at path (writeFileAtomically) with the five lines for
// serial, debugLevel and the time of writing, modified (seconds since the
// epoch, shown as local time). False, and logged, when it was not written.
bool saveConfig(const std::string& path, const std::string& serial, int32_t debugLevel,
                int64_t modified);
