// Arbitrary POST bodies into the plate and upload roads. The first byte picks
// the key of the query pair that the upload is handed to.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_service.h"

namespace {

const char* const kKeys[] = {"lpr",     "sha1",       "LPR_Reader1", "CSN32LSB_Reader2",
                             "tamper1", "DEBUG_LEVEL"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietVerboseLogging();
    fuzzedWebService();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    fuzzedWebService().handlePostBody("/local/kanzo_zul/api?lpr", kKeys[data[0] % kKeyCount], body);
    return 0;
}
