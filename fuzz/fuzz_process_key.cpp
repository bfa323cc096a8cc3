// Arbitrary "key=value" text into the command dispatcher.
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t split = text.find('=');
    fuzzedWebService().processKey(text.substr(0, split),
                                  split == std::string::npos ? "" : text.substr(split + 1));
    return 0;
}
