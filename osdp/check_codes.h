// The two check codes that end an OSDP frame.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/AUG-CCITT as OSDP prescribes it: polynomial 0x1021, initial value
// 0x1D0F, no reflection, no final XOR. "123456789" gives 0xE5CC.
uint16_t crc16(const uint8_t* data, size_t length);

// Two's complement of the byte sum, so that frame plus checksum sums to 0.
// "123456789" gives 0x23.
uint8_t checksum8(const uint8_t* data, size_t length);
