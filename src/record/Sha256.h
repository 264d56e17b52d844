// SHA-256 of a file or of bytes in memory, from the system's cryptography (libgcrypt on Linux,
// BCrypt on Windows: posix/ or win32/Sha256.cpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orlo::record {

// 64 lowercase hex digits of the file's bytes; nullopt when it cannot be read to its end.
std::optional<std::string> FileSha256(const std::string& path);
// 64 lowercase hex digits of `bytes`.
std::string Sha256Hex(std::string_view bytes);
// The 32 bytes of a digest as 64 lowercase hex digits.
std::string DigestHex(const unsigned char* digest);

}  // namespace orlo::record
