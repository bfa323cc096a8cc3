// Byte order of the wire in one place: OSDP lays its lengths, check codes and
// counts and serial numbers low byte first, and its card numbers high byte
// first; FastCGI lays every field high byte first. Every field wider than a
// byte is written and read through these.
#pragma once

#include <cstdint>

// REQUIRES: out holds 2 bytes.
inline void encodeFixed16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline uint16_t decodeFixed16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

// REQUIRES: out holds 4 bytes.
inline void encodeFixed32(uint8_t* out, uint32_t value) {
    encodeFixed16(out, static_cast<uint16_t>(value));
    encodeFixed16(out + 2, static_cast<uint16_t>(value >> 16));
}

inline uint32_t decodeFixed32(const uint8_t* in) {
    return decodeFixed16(in) | static_cast<uint32_t>(decodeFixed16(in + 2)) << 16;
}

// High byte first. REQUIRES: out holds 2 bytes.
inline void encodeBigEndian16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

inline uint16_t decodeBigEndian16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] << 8 | in[1]);
}

// High byte first. REQUIRES: out holds 4 bytes.
inline void encodeBigEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

inline uint32_t decodeBigEndian32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | in[3];
}
