// SHA-256 (FIPS 180-4) for the run's record: the image written and the bytes read back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orlo::cli {

class Sha256 {
  public:
    Sha256();
    void Update(const uint8_t* data, std::size_t count);
    std::array<uint8_t, 32> Final();
    std::string FinalHex();  // 64 lowercase hex digits

  private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    uint64_t m_length = 0;  // bytes taken so far
};

// The hex digest of a file's bytes; nullopt when it cannot be read to its end.
std::optional<std::string> Sha256OfFile(const std::string& path);

}  // namespace orlo::cli
