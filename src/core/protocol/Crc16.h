// CRC-16 of the frame format: polynomial 0x8005, initial 0, MSB first, no reflection, no final
// XOR (check value of "123456789" is 0xFEE8).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orlo {

extern const std::array<uint16_t, 256> kCrc16Table;

// CRC over `len` bytes.
uint16_t Crc16Bytes(const uint8_t* data, std::size_t len);

// CRC of a frame: the count comes from the frame's own length field ([1..2]) minus 3, so the
// CRC covers bytes [0 .. L-4]. `capacity` bounds the read; a length field below 7 or above the
// capacity yields nullopt-like 0 with `ok` false.
uint16_t Crc16(const uint8_t* frame, std::size_t capacity, bool* ok = nullptr);

// Fills bytes [L-3..L-1] of a frame whose bytes [0..L-4] are set: CRC high, CRC low, end byte.
// Returns false (and writes nothing) when L is below 7 or above `capacity`.
bool SealFrame(uint8_t* frame, std::size_t capacity);

}  // namespace orlo
