// The comparison of a region's blocks, as the device reads them back, with an image as
// programming writes it: whole 4096-byte blocks from the region's base, the last one padded
// with 0xFF. The read-back feeds it one accepted block at a time, in address order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlo {

class BlockComparison {
  public:
    // Starts over with `image` (not empty) for the region at `base`.
    void Begin(uint32_t base, std::vector<uint8_t> image);

    uint32_t Base() const { return m_base; }
    uint32_t ImageBytes() const { return m_imageBytes; }
    // Bytes the blocks cover: the image rounded up to whole blocks.
    uint32_t PaddedBytes() const { return static_cast<uint32_t>(m_padded.size()); }
    uint32_t Blocks() const;

    // Whether the block at region offset `offset` equals `data` (a whole block).
    bool Equal(uint32_t offset, const uint8_t* data) const;
    // Records the block at `offset` as read; every block is recorded once, in order.
    void Record(uint32_t offset, const uint8_t* data);
    uint32_t BlocksRecorded() const { return m_recorded; }

    // A differing block is read twice when the replies cannot prove themselves (a device that
    // leaves the CRC unfilled): it counts once two readings agree. True when `data` repeats
    // the reading held for `offset`; otherwise `data` becomes the held reading.
    bool SecondReadingAgrees(uint32_t offset, const uint8_t* data);

    uint32_t DifferingBlocks() const { return m_differing; }
    // Region offset of the first byte that differs; meaningful when DifferingBlocks() > 0.
    uint32_t FirstDifference() const { return m_firstDifference; }
    // "N of M blocks differ; the first difference is at 0xADDRESS (region offset 0xOFFSET)",
    // or "all M blocks are equal".
    std::string Sentence() const;

  private:
    uint32_t m_base = 0;
    uint32_t m_imageBytes = 0;
    std::vector<uint8_t> m_padded;
    uint32_t m_recorded = 0;
    uint32_t m_differing = 0;
    uint32_t m_firstDifference = 0;
    bool m_holding = false;
    uint32_t m_heldOffset = 0;
    std::vector<uint8_t> m_held;
};

// An image file read for a comparison: opened once and read to its end (at most `limit` + 1
// bytes), so what is compared is one reading of one file, never a mix of two.
struct ComparedImage {
    std::vector<uint8_t> bytes;
    std::string error;    // why the file cannot be compared with (empty: it can)
    bool tooBig = false;  // it holds more than `limit` bytes
};
ComparedImage ReadComparedImage(const std::string& path, uint32_t limit);

// "0x1F4000": an address or offset as the sentences show it (upper-case hex, at least 6 digits).
std::string HexAddress(uint32_t value);

}  // namespace orlo
