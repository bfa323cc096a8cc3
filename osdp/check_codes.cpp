#include "osdp/check_codes.h"

#include <array>

namespace {

// The register after shifting each possible top byte through the polynomial,
// so that a frame costs one look-up per byte instead of eight shifts.
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned top = 0; top < 256; ++top) {
        uint16_t crc = static_cast<uint16_t>(top << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
        table[top] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

}  // namespace

uint16_t crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0x1D0F;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[(crc >> 8) ^ data[i]]);
    return crc;
}

uint8_t checksum8(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(-sum);
}
