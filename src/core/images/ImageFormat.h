// What an image file is, told by its first bytes. The device takes raw bytes: a file in one of
// the common firmware container formats would be programmed as its text or headers, so it is
// recognised and refused (unless the user insists). Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orlo {

enum class ImageFormat {
    IntelHex,     // ":10000000..." records
    SRecord,      // Motorola S-records: "S0...", "S1...", ...
    Elf,          // 0x7F 'E' 'L' 'F'
};

// The format whose first bytes `head` holds; nullopt for anything else (raw bytes). `head` is
// the start of the file (the first 64 bytes are enough; fewer are judged as they are).
std::optional<ImageFormat> DetectImageFormat(const uint8_t* head, std::size_t count);

// "an Intel HEX file", "a Motorola S-record file", "an ELF file".
std::string ImageFormatName(ImageFormat format);

// The sentence that refuses `path` in that format: what it is, that the device takes raw bytes
// and what to do (how to insist is the caller's to add).
std::string ImageFormatRefusal(const std::string& path, ImageFormat format);

}  // namespace orlo
