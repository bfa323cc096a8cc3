// Arbitrary POST bodies into the plate and upload roads, after a line naming the upload's key.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t split = std::min(text.find('\n'), size);
    fuzzedWebService().handlePost("/osdp.cgi?lpr", text.substr(0, split),
                                  text.substr(std::min(split + 1, size)));
    return 0;
}
