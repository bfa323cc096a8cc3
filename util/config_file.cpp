#include "util/config_file.h"

#include <ctime>

#include "util/atomic_file.h"
#include "util/log.h"

namespace {

// The time of writing as the "# Modified:" line shows it: local time,
// "%Y-%m-%d %H:%M:%S".
std::string modifiedText(int64_t seconds) {
    const time_t now = static_cast<time_t>(seconds);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

bool saveConfig(const std::string& path, const std::string& serial, int32_t debugLevel,
                int64_t modified) {
    const std::string text = "# Tarvik S/N: " + serial + "\n# Modified: " + modifiedText(modified) +
                             "\n# DEBUG_LEVEL = " + std::to_string(debugLevel) + "\n# " +
                             std::string(46, '-') + "\n\n";

    std::string error;
    if (!writeFileAtomically(path, text, 0644, &error)) {
        logAt(1, "%s/%s: Can't write config file: %s: %s", "zul_osdp", "saveConfig", path.c_str(),
              error.c_str());
        return false;
    }
    logAt(5, "%s/%s: Write config file: %s", "zul_osdp", "saveConfig", path.c_str());
    return true;
}
