// Arbitrary text into the Base64 decoder: it decodes or throws one of its two
// documented exceptions, and never reads out of bounds.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "util/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const std::string text(reinterpret_cast<const char*>(data), size);
        if (base64Decode(text).size() > size / 4 * 3 + 2)
            abort();
    } catch (const std::runtime_error&) {
    } catch (const std::out_of_range&) {
        if (size % 4 != 1)
            abort();
    }
    return 0;
}
