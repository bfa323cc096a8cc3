// The configuration file: five comment lines recording the camera serial
// number, the time of the write and the log verbosity. Written, never read.
#include "util/config_file.h"

#include <string>

#include "util/atomic_file.h"
#include "util/log.h"
#include "util/time_text.h"

bool saveConfig(const std::string& configPath, const std::string& serial, int32_t debugLevel,
                int64_t modified) {
    const std::string text =
        "# Tarvik S/N: " + serial +
        "\n# Modified: " + formatTime(modified, TimeZone::local, "%Y-%m-%d %H:%M:%S") +
        "\n# DEBUG_LEVEL = " + std::to_string(debugLevel) + "\n# " + std::string(46, '-') + "\n\n";

    std::string error;
    const bool written = writeFileAtomically(configPath, text, 0644, &error);
    if (!written) {
        logAt(1, "%s/%s: Can't write config file: %s: %s", "zul_osdp", "saveConfig",
              configPath.c_str(), error.c_str());
        return false;
    }
    logAt(5, "%s/%s: Write config file: %s", "zul_osdp", "saveConfig", configPath.c_str());
    return true;
}
