// Base64 decoding for file uploads: standard and URL-safe alphabets together,
// padding optional and written "=" or ".", no line breaks.
#pragma once

#include <cstdint>
#include <string>

// Value 0..63 of one Base64 character of either alphabet.
// Throws std::runtime_error("Input is not valid base64-encoded data.") otherwise.
int base64CharValue(uint8_t c);

// Decodes text. Throws std::runtime_error for a character without a value where
// one is needed and std::out_of_range when the text ends one character into a
// group (length 4k + 1).
std::string base64Decode(const std::string& text);
