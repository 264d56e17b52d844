// Builds small bitmap files in memory for the converter tests: the 14-byte file header, the
// 40-byte information header, a colour table of 2^bits entries and the pixel rows, bottom-up,
// each padded to a multiple of 4 bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace orlo::test {

struct BmpParams {
    uint32_t width = 16;
    uint32_t height = 2;  // written as is: above 0x7FFFFFFF it reads as a negative height
    uint16_t bits = 1;
    uint32_t entry0 = 0x00000000;         // colour-table entry 0 (blue, green, red, reserved)
    uint32_t entry1 = 0x00FFFFFF;         // colour-table entry 1
    std::optional<uint32_t> pixelOffset;  // the header field; default: where the rows begin
    // Pixel rows in file order (bottom row first), data bytes only. A missing row is filled
    // from `fill`.
    std::vector<std::vector<uint8_t>> rows;
    uint8_t fill = 0x00;
    uint8_t padding = 0xA5;  // row padding bytes: never part of any output
    uint32_t infoSize = 40;  // information header; longer ones add bytes the converter skips
    uint32_t compression = 0;
};

inline void PutLe(std::vector<uint8_t>& out, std::size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Bytes per stored row: the bits of one row, padded to whole 32-bit words.
inline uint32_t BmpStride(uint32_t width, uint16_t bits) {
    return (width * bits + 31) / 32 * 4;
}

inline std::vector<uint8_t> BuildBmp(const BmpParams& s) {
    const uint32_t entries = s.bits <= 8 ? (1u << s.bits) : 0;
    const uint32_t tableAt = 14 + s.infoSize;
    const uint32_t tableEnd = tableAt + 4 * entries;
    const uint32_t stride = BmpStride(s.width, s.bits);
    const uint32_t rowBytes = (s.width * s.bits + 7) / 8;
    const uint32_t storedRows = s.height > 0x7FFFFFFFu ? 0u - s.height : s.height;
    const uint32_t offset = s.pixelOffset.value_or(tableEnd);
    const uint32_t dataAt = offset > tableEnd ? offset : tableEnd;
    std::vector<uint8_t> out(dataAt + stride * storedRows, 0);
    out[0] = 'B';
    out[1] = 'M';
    PutLe(out, 2, static_cast<uint32_t>(out.size()), 4);
    PutLe(out, 10, offset, 4);
    PutLe(out, 14, s.infoSize, 4);
    for (uint32_t i = 54; i < tableAt; ++i) out[i] = 0xEE;  // masks, colour space, profile
    PutLe(out, 30, s.compression, 4);
    PutLe(out, 18, s.width, 4);
    PutLe(out, 22, s.height, 4);
    PutLe(out, 26, 1, 2);
    PutLe(out, 28, s.bits, 2);
    PutLe(out, 34, stride * storedRows, 4);
    PutLe(out, 46, entries, 4);
    // Colour table: entries 0 and 1 as given, the rest distinct, so that reading them as
    // pixel data would show.
    for (uint32_t e = 0; e < entries; ++e) {
        const uint32_t value = e == 0 ? s.entry0 : e == 1 ? s.entry1 : 0x00101010u * e;
        PutLe(out, tableAt + 4 * e, value, 4);
    }
    for (uint32_t i = tableEnd; i < dataAt; ++i) out[i] = 0xCC;  // gap before the pixel data
    for (uint32_t r = 0; r < storedRows; ++r) {
        for (uint32_t k = 0; k < stride; ++k) {
            uint8_t b = s.padding;
            if (k < rowBytes) b = r < s.rows.size() && k < s.rows[r].size() ? s.rows[r][k] : s.fill;
            out[dataAt + r * stride + k] = b;
        }
    }
    return out;
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The arrow of the worked example: 16 x 2, rows 80 01 (bottom) and F0 0F (top).
inline BmpParams ArrowParams() {
    BmpParams s;
    s.width = 16;
    s.height = 2;
    s.bits = 1;
    s.rows = {{0x80, 0x01}, {0xF0, 0x0F}};
    s.padding = 0x00;
    return s;
}

// A folder of its own under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("orlo_bmp_") + info->test_suite_name() + "_" + info->name() +
                           "_" + std::to_string(std::random_device{}());
        for (char& ch : name) {
            if (ch == '/') ch = '_';
        }
        m_path = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

  private:
    std::filesystem::path m_path;
};

}  // namespace orlo::test
