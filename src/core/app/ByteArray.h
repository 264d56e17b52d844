// Growable byte array with index-tested access: an index outside 0..size-1 throws
// std::invalid_argument, which the dialog's message dispatch reports like any framework error.
//
// The storage is paid for as it is used. SetSize and Fill only record the value every byte
// holds; a page of the array (kPageSize bytes) takes its memory, and has that value written into
// it, the first time something writes to it or asks for a pointer into it. So the 8 MiB staging
// buffer, filled with 0xFF before every load, costs the pages of the image (and of a block read
// past its end), not 8 MiB; what is never touched is never written and, where the system gives
// memory on first use, never becomes resident. Reading a single byte of an untouched page
// returns the fill value without touching it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace orlo {

class CByteArray {
public:
    static constexpr std::size_t kPageSize = 4096;

    // Every byte is 0 afterwards, as after a resize of the framework's array.
    void SetSize(std::size_t size) {
        m_data.reset(size > 0 ? new uint8_t[size] : nullptr);  // left unwritten on purpose
        m_size = size;
        m_pages.assign((size + kPageSize - 1) / kPageSize, false);
        m_fill = 0;
    }
    std::size_t GetSize() const { return m_size; }
    uint8_t GetAt(std::size_t index) const {
        Checked(index);
        return m_pages[index / kPageSize] ? m_data[index] : m_fill;
    }
    void SetAt(std::size_t index, uint8_t value) { ElementAt(index) = value; }
    uint8_t& ElementAt(std::size_t index) { return *Range(Checked(index), 1); }
    // Range access for bulk copies: [index, index + count) must lie inside the array.
    uint8_t* Range(std::size_t index, std::size_t count) {
        if (index > m_size || count > m_size - index) Fail();
        if (count > 0) Materialise(index / kPageSize, (index + count - 1) / kPageSize);
        return m_data.get() + index;
    }
    const uint8_t* Range(std::size_t index, std::size_t count) const {
        return const_cast<CByteArray*>(this)->Range(index, count);
    }
    void Fill(uint8_t value) {
        m_pages.assign(m_pages.size(), false);
        m_fill = value;
    }
    // Bytes whose memory has been written so far (whole pages).
    std::size_t TouchedBytes() const {
        std::size_t pages = 0;
        for (bool touched : m_pages) pages += touched ? 1 : 0;
        return pages * kPageSize;
    }

private:
    std::size_t Checked(std::size_t index) const {
        if (index >= m_size) Fail();
        return index;
    }
    void Materialise(std::size_t firstPage, std::size_t lastPage) {
        for (std::size_t page = firstPage; page <= lastPage; ++page) {
            if (m_pages[page]) continue;
            const std::size_t begin = page * kPageSize;
            std::memset(m_data.get() + begin, m_fill, std::min(kPageSize, m_size - begin));
            m_pages[page] = true;
        }
    }
    [[noreturn]] static void Fail() { throw std::invalid_argument("Invalid argument."); }

    std::unique_ptr<uint8_t[]> m_data;
    std::size_t m_size = 0;
    std::vector<bool> m_pages;  // page i holds its bytes in m_data; otherwise all are m_fill
    uint8_t m_fill = 0;
};

}  // namespace orlo
