#include "util/base64.h"

#include <stdexcept>

namespace {

bool isPadding(char c) {
    return c == '=' || c == '.';
}

}  // namespace

int base64CharValue(uint8_t c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+' || c == '-') {
        return 62;
    }
    if (c == '/' || c == '_') {
        return 63;
    }
    throw std::runtime_error("Input is not valid base64-encoded data.");
}

std::string base64Decode(const std::string& text) {
    const size_t n = text.size();
    std::string out;
    if (n == 0) {
        return out;
    }
    out.reserve(n / 4 * 3);
    for (size_t p = 0; p < n; p += 4) {
        // The second character is fetched first so that a group of one character
        // fails on the bounds-checked access before any of it is taken.
        const int b = base64CharValue(static_cast<uint8_t>(text.at(p + 1)));
        const int a = base64CharValue(static_cast<uint8_t>(text[p]));
        out.push_back(static_cast<char>((a << 2) | (b >> 4)));

        if (p + 2 >= n || isPadding(text[p + 2])) {
            continue;
        }
        const int c = base64CharValue(static_cast<uint8_t>(text[p + 2]));
        out.push_back(static_cast<char>(((b & 0x0F) << 4) | (c >> 2)));

        if (p + 3 >= n || isPadding(text[p + 3])) {
            continue;
        }
        const int d = base64CharValue(static_cast<uint8_t>(text[p + 3]));
        out.push_back(static_cast<char>(((c & 0x03) << 6) | d));
    }
    return out;
}
