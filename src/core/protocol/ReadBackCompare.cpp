#include "protocol/ReadBackCompare.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "protocol/Protocol.h"

namespace orlo {

ComparedImage ReadComparedImage(const std::string& path, uint32_t limit) {
    ComparedImage image;
    std::error_code ec;
    const std::filesystem::path p(std::u8string(path.begin(), path.end()));
    const auto status = std::filesystem::status(p, ec);
    if (!std::filesystem::exists(status)) {
        image.error = "cannot read " + path + ": no such file";
        return image;
    }
    // Only a regular file: a pipe or a device could hold the read for ever.
    if (!std::filesystem::is_regular_file(status)) {
        image.error = "cannot read " + path + ": it is not a regular file";
        return image;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        image.error = "cannot read " + path;
        return image;
    }
    constexpr std::size_t kChunk = 1 << 16;
    while (in && image.bytes.size() <= limit) {
        const std::size_t at = image.bytes.size();
        image.bytes.resize(at + kChunk);
        in.read(reinterpret_cast<char*>(image.bytes.data() + at), kChunk);
        image.bytes.resize(at + static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        image.error = "cannot read " + path;
        image.bytes.clear();
    } else if (image.bytes.size() > limit) {
        image.tooBig = true;
        image.error = path + " holds more than the region's " + std::to_string(limit) + " bytes";
        image.bytes.clear();
    } else if (image.bytes.empty()) {
        image.error = "the image file is empty: " + path;
    }
    return image;
}

std::string HexAddress(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
    return text;
}

void BlockComparison::Begin(uint32_t base, std::vector<uint8_t> image) {
    m_base = base;
    m_imageBytes = static_cast<uint32_t>(image.size());
    const std::size_t blocks = (image.size() + BLOCK_SIZE - 1) / BLOCK_SIZE;
    m_padded = std::move(image);
    m_padded.resize(blocks * BLOCK_SIZE, 0xFF);  // as the staging buffer's fill sends it
    m_recorded = 0;
    m_differing = 0;
    m_firstDifference = 0;
    m_holding = false;
    m_held.clear();
}

uint32_t BlockComparison::Blocks() const {
    return static_cast<uint32_t>(m_padded.size() / BLOCK_SIZE);
}

bool BlockComparison::Equal(uint32_t offset, const uint8_t* data) const {
    if (offset + BLOCK_SIZE > m_padded.size()) return false;
    return std::equal(data, data + BLOCK_SIZE, m_padded.begin() + offset);
}

void BlockComparison::Record(uint32_t offset, const uint8_t* data) {
    m_holding = false;
    m_held.clear();
    if (offset + BLOCK_SIZE > m_padded.size()) return;
    ++m_recorded;
    const auto expected = m_padded.begin() + offset;
    const auto mismatch = std::mismatch(expected, expected + BLOCK_SIZE, data);
    if (mismatch.first == expected + BLOCK_SIZE) return;
    if (m_differing++ == 0)
        m_firstDifference = offset + static_cast<uint32_t>(mismatch.first - expected);
}

bool BlockComparison::SecondReadingAgrees(uint32_t offset, const uint8_t* data) {
    if (m_holding && m_heldOffset == offset && std::equal(data, data + BLOCK_SIZE, m_held.begin()))
        return true;
    m_holding = true;
    m_heldOffset = offset;
    m_held.assign(data, data + BLOCK_SIZE);
    return false;
}

std::string BlockComparison::Sentence() const {
    const std::string of = std::to_string(Blocks());
    if (m_differing == 0)
        return Blocks() == 1 ? "the 1 block is equal" : "all " + of + " blocks are equal";
    return std::to_string(m_differing) + " of " + of + " blocks differ; the first difference is at " + HexAddress(m_base + m_firstDifference) +
           " (region offset " + HexAddress(m_firstDifference) + ")";
}

}  // namespace orlo
