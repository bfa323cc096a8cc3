// Arbitrary text into the form decoder: never longer than its input, and text
// without "%" or "+" comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/web_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = urlDecode(text);
    if (decoded.size() > text.size() || (text.find_first_of("%+") == text.npos && decoded != text))
        abort();
    return 0;
}
