// Bitmap to C-array converter: a monochrome (1 bit per pixel) or 16-colour (4 bits per pixel)
// bitmap file becomes a C header that declares its pixel bytes, top row first, as a constant
// byte array. The conversion itself is a pure function of the file bytes, so the dialog, the
// command line and the fuzzer share it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orlo {

enum class BitmapKind { Mono, Gray };

// The two converters differ only in these values.
struct BitmapVariant {
    BitmapKind kind;
    int button;                   // control id of the (hidden) button
    std::string_view label;       // its caption
    uint16_t bitsPerPixel;        // bit count the converter expects
    std::string_view wrongBits;   // warning when the file's bit count differs
    uint32_t bufferSize;          // most pixel bytes the converter takes
    uint32_t pixelsPerByte;       // output bytes per row = width / pixelsPerByte
    bool usesPixelDataOffset;     // pixel data at the header's offset when above byte 62
    std::string_view declPrefix;  // text before the array name
    int previewX;                 // where the preview is drawn (client coordinates)
    int previewY;
};

// In table order: 1-bit, 4-bit.
extern const std::array<BitmapVariant, 2> kBitmapVariants;

const BitmapVariant& BitmapVariantOf(BitmapKind kind);
// The converter for a bit count (1 or 4); nullptr for any other count.
const BitmapVariant* BitmapVariantForBits(unsigned bits);

// Open-dialog filter of both converters, handed over unchanged.
constexpr std::string_view kBitmapFilter = "BitMap file(*.bmp), bmp file(*.bmp)|*.bmp;*.bmp";
// The white rectangle cleared before every preview (both converters use the same one).
constexpr int kPreviewFillX = 180;
constexpr int kPreviewFillY = 256;
constexpr int kPreviewWidth = 256;  // pixels
constexpr int kPreviewHeight = 32;  // pixels
constexpr uint32_t kPreviewFillColour = 0xFFFFFF;

// Messages of the converter (shown with an exclamation icon).
constexpr std::string_view kInvalidBmpFormat = "Invalid BMP Format";
constexpr std::string_view kBmpNameTooShort = "BMP file name is too short for an array name";
constexpr std::string_view kBmpCannotOpen = "Can not open BMP file!";
constexpr std::string_view kBmpFileTooBig = "BMP file is too big to read";
constexpr std::string_view kBmpTruncated = "BMP file is shorter than its header says";
constexpr std::string_view kBmpNegativeHeight = "Top-down BMP (negative height) is not supported";
constexpr std::string_view kBmpEmpty = "BMP has no pixel rows or is narrower than one byte";
// Followed by the converter's buffer size and " bytes".
constexpr std::string_view kBmpTooBigPrefix = "BMP pixel data is larger than ";
constexpr std::string_view kHeaderWriteFailed = "Can not write header file!";
// Followed by the size of the information header and " bytes".
constexpr std::string_view kBmpLayoutPrefix = "BMP layout is not supported: information header of ";
constexpr std::string_view kBmpCompressed = "Compressed BMP is not supported";
constexpr std::string_view kBmpNoPalette = "BMP has no usable colour table";
// Followed by the name used and why: the file name was not a C identifier.
constexpr std::string_view kArrayRenamedPrefix = "Array name changed to ";

// Largest bitmap file the converter reads; anything the converters accept is far smaller.
constexpr uint64_t kMaxBitmapFileSize = 64u << 20;  // bytes

// Bit k of the input becomes bit 7 - k of the output.
constexpr uint8_t ReverseBits(uint8_t b) {
    uint8_t r = 0;
    for (int k = 0; k < 8; ++k) {
        if (b & (1u << k)) r |= static_cast<uint8_t>(0x80u >> k);
    }
    return r;
}

// The header path: the bitmap's full path without its last 3 characters, followed by "h".
std::string HeaderPathFor(std::string_view bitmapPath);
// The array name: the file name without its last 4 characters.
std::string ArrayNameFor(std::string_view fileName);
// `name` as a C identifier: every character other than a letter, digit or '_' becomes '_'
// (each byte of a multi-byte character), and a leading digit gets a '_' in front unless the
// name continues an identifier (`continuesIdentifier`). A valid name comes back unchanged.
std::string CIdentifierFor(std::string_view name, bool continuesIdentifier);
// The name part of a path (after the last '/' or '\\').
std::string FileNameOf(std::string_view path);

struct BitmapConversion {
    bool ok = false;                    // `text` holds the header
    std::string text;                   // the header text, lines ending in "\n"
    std::vector<std::string> messages;  // what the user is shown, in order
};

// Converts the bytes of a bitmap file. A bit count other than the variant's adds its warning
// and the conversion goes on; every other fault ends it with one message and no text.
BitmapConversion ConvertBitmapBytes(std::span<const uint8_t> file, const BitmapVariant& variant,
                                    std::string_view arrayName);

// Each "\n" as CR LF, as the header file stores it on every platform.
std::string WithCrLf(std::string_view text);

struct BitmapFileResult {
    bool converted = false;             // the bitmap was read and converted
    bool written = false;               // the header file was written
    std::string headerPath;             // where it was (or would have been) written
    std::vector<std::string> messages;  // what the user was shown, in order
};

// Reads the bitmap at `bitmapPath`, converts it and writes the header file next to it. Each
// message is passed to `show` (when given) at the point it arises, before the header file is
// written. No header file is left behind unless the whole conversion succeeded.
BitmapFileResult ConvertBitmapFile(const std::string& bitmapPath, std::string_view fileName,
                                   const BitmapVariant& variant,
                                   const std::function<void(const std::string&)>& show = {});

}  // namespace orlo
