// Hexadecimal text of bytes, both ways, upper-case when written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Value 0..15 of one hexadecimal digit of either case; -1 for any other character.
int hexDigitValue(char c);

// Each byte as two digits: "0A4B".
std::string hexEncode(const uint8_t* data, size_t count);

// Each byte as two digits and a blank, as the trace lines show frames: "0A 4B ".
std::string hexDump(const uint8_t* data, size_t count);

// Appends the bytes of text, pairs of digits without separators; false (and
// nothing appended) when its length is odd or a character is not a digit.
bool hexDecode(const std::string& text, std::vector<uint8_t>* out);
