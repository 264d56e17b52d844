// Growable byte array with index-tested access: an index outside 0..size-1 throws
// std::invalid_argument, which the dialog's message dispatch reports like any framework error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace orlo {

class CByteArray {
public:
    void SetSize(std::size_t size) { m_data.assign(size, 0); }
    std::size_t GetSize() const { return m_data.size(); }
    uint8_t GetAt(std::size_t index) const { return m_data[Checked(index)]; }
    void SetAt(std::size_t index, uint8_t value) { m_data[Checked(index)] = value; }
    uint8_t& ElementAt(std::size_t index) { return m_data[Checked(index)]; }
    // Range access for bulk copies: [index, index + count) must lie inside the array.
    uint8_t* Range(std::size_t index, std::size_t count) {
        if (index > m_data.size() || count > m_data.size() - index) Fail();
        return m_data.data() + index;
    }
    const uint8_t* Range(std::size_t index, std::size_t count) const {
        return const_cast<CByteArray*>(this)->Range(index, count);
    }
    void Fill(uint8_t value) { m_data.assign(m_data.size(), value); }

private:
    std::size_t Checked(std::size_t index) const {
        if (index >= m_data.size()) Fail();
        return index;
    }
    [[noreturn]] static void Fail() { throw std::invalid_argument("Invalid argument."); }
    std::vector<uint8_t> m_data;
};

}  // namespace orlo
