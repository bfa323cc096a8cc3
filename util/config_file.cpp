// The configuration file: five comment lines recording the camera serial
// number, the time of the write and the log verbosity. Written, never read.
#include "util/config_file.h"

#include <ctime>
#include <string>

#include "util/atomic_file.h"
#include "util/log.h"

namespace {

// The time of the write as line 2 shows it: local time, "%Y-%m-%d %H:%M:%S".
std::string modifiedText(int64_t seconds) {
    const time_t now = static_cast<time_t>(seconds);
    struct tm local {};
    localtime_r(&now, &local);
    char modified[32];
    strftime(modified, sizeof modified, "%Y-%m-%d %H:%M:%S", &local);
    return modified;
}

}  // namespace

bool saveConfig(const std::string& configPath, const std::string& serial, int32_t debugLevel,
                int64_t modified) {
    const std::string text = "# Tarvik S/N: " + serial + "\n# Modified: " + modifiedText(modified) +
                             "\n# DEBUG_LEVEL = " + std::to_string(debugLevel) + "\n# " +
                             std::string(46, '-') + "\n\n";

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
