#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "osdp/osdp_peripheral.h"
#include "util/log.h"
#include "web/web_service.h"

void quietVerboseLogging() {
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return;
    DebugLevel = 5;
}

WebService& fuzzedWebService() {
    static WebService* service = [] {
        quietVerboseLogging();
        auto* engine = new OsdpPeripheral;
        engine->configPath = "/tmp/kanzo_fuzz_" + std::to_string(getpid()) + ".conf";
        return new WebService(*engine);
    }();
    return *service;
}
