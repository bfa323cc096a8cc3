// The configuration file: five comment lines recording the camera serial
// number, the time of the write and the log verbosity. Written, never read.
#include "util/config_file.h"

#include <ctime>
#include <string>

#include "osdp/osdp_peripheral.h"
#include "util/atomic_file.h"
#include "util/globals.h"
#include "util/log.h"

bool saveConfig(OsdpPeripheral& osdp) {
    const std::string& configPath = osdp.configPath;
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char modified[32];
    strftime(modified, sizeof modified, "%Y-%m-%d %H:%M:%S", &local);

    const std::string text = "# Tarvik S/N: " + DeviceSerial + "\n# Modified: " + modified +
                             "\n# DEBUG_LEVEL = " + std::to_string(DebugLevel.load()) + "\n# " +
                             std::string(46, '-') + "\n\n";

    std::string error;
    const bool written = writeFileAtomically(configPath, text, 0644, &error);
    if (!written) {
        logAt(1, "%s/%s: Can't write config file: %s: %s", "zul_osdp", "saveConfig",
              configPath.c_str(), error.c_str());
        return false;
    }
    logAt(5, "%s/%s: Write config file: %s", "zul_osdp", "saveConfig", configPath.c_str());
    MutexLock lock(osdp.mutex);
    osdp.saveRequired = false;
    return true;
}
