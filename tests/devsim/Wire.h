// Test-side wire helpers, written independently of the tool's codec so that a mistake shared by
// the tool and the device cannot hide: a bit-by-bit CRC-16 (no table), a frame builder, and hex
// literals.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace orlo::devsim::test {

// CRC-16, polynomial 0x8005, initial 0, MSB first, computed one bit at a time.
inline uint16_t BitCrc16(const uint8_t* data, std::size_t n) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x8005)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// "04 00 07 10" -> {0x04, 0x00, 0x07, 0x10}
inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return out;
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A frame around `payload` with its length taken from the payload (or forced by `length`).
inline std::vector<uint8_t> Frame(uint8_t code, const std::vector<uint8_t>& payload,
                                  int length = -1) {
    const std::size_t total = length >= 0 ? static_cast<std::size_t>(length) : payload.size() + 7;
    std::vector<uint8_t> f = {0x04, static_cast<uint8_t>(total >> 8),
                              static_cast<uint8_t>(total & 0xFF), code};
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t crc = BitCrc16(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(0x03);
    return f;
}

inline std::vector<uint8_t> Address(uint32_t a) {
    return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
            static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
}

// Write, verify or read-sized block frames.
inline std::vector<uint8_t> BlockFrame(uint8_t code, uint32_t address,
                                       const std::vector<uint8_t>& data) {
    return Frame(code, Cat(Address(address), data));
}

inline std::vector<uint8_t> ReadRequest(uint8_t code, uint32_t address) {
    return Frame(code, Address(address));
}

// 4096 bytes that differ from block to block and from 0xFF.
inline std::vector<uint8_t> Pattern(uint32_t seed) {
    std::vector<uint8_t> v(4096);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>((i * 31 + seed * 7 + (i >> 8)) % 251);
    return v;
}

const std::vector<uint8_t> kAck = Hex("04 00 07 06 42 14 03");
const std::vector<uint8_t> kNak = Hex("04 00 07 15 C2 7D 03");
const std::vector<uint8_t> kStartApplication = Hex("04 00 07 10 C2 63 03");

}  // namespace orlo::devsim::test
