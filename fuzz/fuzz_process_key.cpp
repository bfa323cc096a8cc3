// Arbitrary key and value into the command dispatcher. The first byte picks one
// of the known keys or, above their number, takes the key from the input too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_service.h"

namespace {

const char* const kKeys[] = {"DEBUG_LEVEL",      "info",
                             "getStatusXML",     "getConfigXML",
                             "saveConfig",       "CSN32LSB_Reader1",
                             "CSN32LSB_Reader2", "LPR_Reader1",
                             "LPR_Reader2",      "sha1",
                             "tamper1",          "tamper2"};
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
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string key;
    std::string value;
    if (data[0] < kKeyCount) {
        key = kKeys[data[0]];
        value = rest;
    } else {
        const size_t split = rest.find('=');
        key = rest.substr(0, split);
        value = split == std::string::npos ? std::string() : rest.substr(split + 1);
    }
    fuzzedWebService().processKey(key, value);
    return 0;
}
