#include "images/ImageFormat.h"



namespace orlo {

namespace {

bool IsHex(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// `n` hexadecimal digits at `at`, all within the bytes given.
bool HexRun(const uint8_t* head, std::size_t count, std::size_t at, std::size_t n) {
    if (at + n > count) return false;
    for (std::size_t i = at; i < at + n; ++i)
        if (!IsHex(head[i])) return false;
    return true;
}

// The bytes after the record's start up to the line end (or the end of what was given) are
// all hexadecimal digits, at least `least` of them: a raw image that merely begins with ':' or
// 'S' and a digit is not taken for a text record.
bool HexLine(const uint8_t* head, std::size_t count, std::size_t from, std::size_t least) {
    std::size_t i = from;
    while (i < count && IsHex(head[i])) ++i;
    if (i - from < least) return false;
    return i == count || head[i] == '\r' || head[i] == '\n';
}

}  // namespace

std::optional<ImageFormat> DetectImageFormat(const uint8_t* head, std::size_t count) {
    if (count >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
        return ImageFormat::Elf;
    // Intel HEX: ':', byte count, address, record type 00..05, data, checksum.
    if (count >= 11 && head[0] == ':' && HexRun(head, count, 1, 8) && head[7] == '0' &&
        head[8] >= '0' && head[8] <= '5' && HexLine(head, count, 1, 10))
        return ImageFormat::IntelHex;
    // S-record: 'S', record type 0..9 (4 is reserved), byte count, address, data, checksum.
    if (count >= 10 && head[0] == 'S' && head[1] >= '0' && head[1] <= '9' && head[1] != '4' &&
        HexLine(head, count, 2, 8))
        return ImageFormat::SRecord;
    return std::nullopt;
}

std::string ImageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::IntelHex:
            return "an Intel HEX file";
        case ImageFormat::SRecord:
            return "a Motorola S-record file";
        case ImageFormat::Elf:
            return "an ELF file";
    }
    return "a file of another format";
}

std::string ImageFormatRefusal(const std::string& path, ImageFormat format) {
    return path + " is " + ImageFormatName(format) +
           ", not a raw image: the device would receive its " +
           (format == ImageFormat::Elf ? "headers" : "text") +
           " as flash contents. Convert it to raw bytes (a .bin) first";
}

}  // namespace orlo
