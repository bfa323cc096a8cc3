// The configuration file at the path the caller names.
#pragma once

#include <cstdint>
#include <string>

// Rewrites the configuration file at configPath (writeFileAtomically) with
// serial, debugLevel and the time of the write, modified (seconds since the
// epoch, shown as local time); false, logged, when it could not be written.
bool saveConfig(const std::string& configPath, const std::string& serial, int32_t debugLevel,
                int64_t modified);
