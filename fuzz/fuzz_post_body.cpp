// Arbitrary POST bodies into the plate and upload roads. The first byte picks
// the key of the query pair that the upload is handed to.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_service.h"

namespace {

const char* const kKeys[] = {"lpr",     "sha1",       "LPR_Reader1", "CSN32LSB_Reader2",
                             "tamper1", "DEBUG_LEVEL"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

OsdpPeripheral* osdp;
WebService* service;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietVerboseLogging();
    osdp = new OsdpPeripheral;
    osdp->configPath = "/tmp/kanzo_fuzz_" + std::to_string(getpid()) + ".conf";
    service = new WebService(*osdp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    service->handlePostBody("/local/kanzo_zul/api?lpr", kKeys[data[0] % kKeyCount], body);
    return 0;
}
