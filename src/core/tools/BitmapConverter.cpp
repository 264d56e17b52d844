#include "tools/BitmapConverter.h"

#include <cstdio>
#include <optional>

#include "app/Resource.h"

namespace orlo {

const std::array<BitmapVariant, 2> kBitmapVariants = {{
    {BitmapKind::Mono, IDC_BMP_1BIT, "BMP ( 1Bit )", 1, "Incorrect Mono", 1024, 8, false,
     "const unsigned char ", 180, 256},
    {BitmapKind::Gray, IDC_BMP_4BIT, "BMP ( 4Bit )", 4, "Incorrect Gray", 4096, 2, true,
     "const unsigned char _4bit", 180, 310},
}};

const BitmapVariant& BitmapVariantOf(BitmapKind kind) {
    return kind == BitmapKind::Mono ? kBitmapVariants[0] : kBitmapVariants[1];
}

const BitmapVariant* BitmapVariantForBits(unsigned bits) {
    for (const auto& v : kBitmapVariants) {
        if (v.bitsPerPixel == bits) return &v;
    }
    return nullptr;
}

std::string HeaderPathFor(std::string_view bitmapPath) {
    const std::size_t keep = bitmapPath.size() >= 3 ? bitmapPath.size() - 3 : 0;
    return std::string(bitmapPath.substr(0, keep)) + "h";
}

std::string ArrayNameFor(std::string_view fileName) {
    const std::size_t keep = fileName.size() >= 4 ? fileName.size() - 4 : 0;
    return std::string(fileName.substr(0, keep));
}

std::string FileNameOf(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

namespace {

// Header positions of a file with the 14-byte file header and the 40-byte information header.
constexpr std::size_t kPixelOffsetAt = 10;   // 32-bit pixel-data offset
constexpr std::size_t kWidthAt = 18;         // 32-bit width in pixels
constexpr std::size_t kHeightAt = 22;        // 32-bit height in pixels (bottom-up when positive)
constexpr std::size_t kBitCountAt = 28;      // 16-bit bits per pixel
constexpr std::size_t kColourEntry1At = 58;  // colour-table entry 1: blue, green, red, reserved
constexpr std::size_t kPixelDataAt = 62;     // where pixel data begin at the earliest
constexpr uint32_t kPureWhite = 0x00FFFFFF;  // entry 1 white: the pixel bits are inverted

uint32_t Le16(std::span<const uint8_t> f, std::size_t at) {
    return static_cast<uint32_t>(f[at] | f[at + 1] << 8);
}

uint32_t Le32(std::span<const uint8_t> f, std::size_t at) {
    return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 |
           static_cast<uint32_t>(f[at + 2]) << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}

const char kHexDigits[] = "0123456789abcdef";

BitmapConversion Fail(BitmapConversion result, std::string_view message) {
    result.ok = false;
    result.text.clear();
    result.messages.emplace_back(message);
    return result;
}

}  // namespace

BitmapConversion ConvertBitmapBytes(std::span<const uint8_t> file, const BitmapVariant& variant,
                                    std::string_view arrayName) {
    BitmapConversion result;
    if (file.size() < 2 || file[0] != 'B' || file[1] != 'M') {
        return Fail(std::move(result), kInvalidBmpFormat);
    }
    // The fields are taken in file order; the bit-count warning comes as soon as the count is
    // known, and the conversion goes on as if the count matched.
    if (file.size() < kBitCountAt + 2) return Fail(std::move(result), kBmpTruncated);
    if (Le16(file, kBitCountAt) != variant.bitsPerPixel) {
        result.messages.emplace_back(variant.wrongBits);
    }
    if (file.size() < kPixelDataAt) return Fail(std::move(result), kBmpTruncated);

    const uint32_t width = Le32(file, kWidthAt);
    const uint32_t height = Le32(file, kHeightAt);
    const uint32_t entry1 = Le32(file, kColourEntry1At);
    const uint32_t pixelOffset = Le32(file, kPixelOffsetAt);

    // A negative height marks a top-down bitmap; its rows are not in the order read here.
    if (height > 0x7FFFFFFFu) return Fail(std::move(result), kBmpNegativeHeight);

    // Bytes per output row; the bits of a width that is not a whole number of bytes are
    // dropped. All sizes below are 64-bit, so no product wraps.
    const uint64_t rowBytes = width / variant.pixelsPerByte;
    const uint64_t rows = height;
    if (rowBytes == 0 || rows == 0) return Fail(std::move(result), kBmpEmpty);
    if (rowBytes * rows > variant.bufferSize) {
        return Fail(std::move(result),
                    std::string(kBmpTooBigPrefix) + std::to_string(variant.bufferSize) + " bytes");
    }

    // File rows run bottom-up, each padded to a multiple of 4 bytes. The stride follows the
    // converter's bit count, as the data are read as if the count matched.
    const uint64_t stride = (uint64_t{width} * variant.bitsPerPixel + 31) / 32 * 4;
    const uint64_t dataStart = variant.usesPixelDataOffset && pixelOffset > kPixelDataAt
                                   ? uint64_t{pixelOffset}
                                   : uint64_t{kPixelDataAt};
    // The last data byte read; the padding after the last row is never needed.
    const uint64_t end = dataStart + (rows - 1) * stride + rowBytes;
    if (end > file.size()) return Fail(std::move(result), kBmpTruncated);

    const bool invert = entry1 == kPureWhite;
    const std::size_t c = static_cast<std::size_t>(rowBytes);
    const std::size_t h = static_cast<std::size_t>(rows);
    result.text.reserve(variant.declPrefix.size() + arrayName.size() + 16 + c * h * 5 + h);
    result.text.append(variant.declPrefix);
    result.text.append(arrayName);
    result.text.append("[] = {\n");
    // Output row r (top first) is file row h - 1 - r.
    for (std::size_t r = 0; r < h; ++r) {
        const std::size_t from = static_cast<std::size_t>(dataStart + (h - 1 - r) * stride);
        for (std::size_t k = 0; k < c; ++k) {
            uint8_t b = ReverseBits(file[from + k]);
            if (invert) b = static_cast<uint8_t>(~b);
            if (k > 0) result.text.push_back(',');
            result.text.append("0x");
            result.text.push_back(kHexDigits[b >> 4]);
            result.text.push_back(kHexDigits[b & 0x0F]);
        }
        if (r + 1 < h) result.text.append(",\n");
    }
    result.text.append("};");
    result.ok = true;
    return result;
}

std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char ch : text) {
        if (ch == '\n') out.push_back('\r');
        out.push_back(ch);
    }
    return out;
}

namespace {

// The whole file, or nothing with the reason in `message`.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::string* message) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *message = kBmpCannotOpen;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    bool failed = false;
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
        if (bytes.size() + n > kMaxBitmapFileSize) {
            *message = kBmpFileTooBig;
            failed = true;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            if (std::ferror(f)) {
                *message = kBmpCannotOpen;
                failed = true;
            }
            break;
        }
    }
    std::fclose(f);
    if (failed) return std::nullopt;
    return bytes;
}

// Writes the bytes in one write; a file that could not be written whole is removed.
bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (wrote && closed) return true;
    std::remove(path.c_str());
    return false;
}

}  // namespace

BitmapFileResult ConvertBitmapFile(const std::string& bitmapPath, std::string_view fileName,
                                   const BitmapVariant& variant,
                                   const std::function<void(const std::string&)>& show) {
    BitmapFileResult result;
    result.headerPath = HeaderPathFor(bitmapPath);
    auto tell = [&](std::string message) {
        if (show) show(message);
        result.messages.push_back(std::move(message));
    };

    // At least one character must stay for the array name; that also keeps the header path
    // inside the bitmap's own folder.
    if (fileName.size() <= 4 || bitmapPath.size() < fileName.size()) {
        tell(std::string(kBmpNameTooShort));
        return result;
    }
    std::string readError;
    const auto bytes = ReadWholeFile(bitmapPath, &readError);
    if (!bytes) {
        tell(readError);
        return result;
    }
    BitmapConversion conversion = ConvertBitmapBytes(*bytes, variant, ArrayNameFor(fileName));
    for (auto& m : conversion.messages) tell(std::move(m));
    if (!conversion.ok) return result;
    result.converted = true;

    if (!WriteWholeFile(result.headerPath, WithCrLf(conversion.text))) {
        tell(std::string(kHeaderWriteFailed));
        return result;
    }
    result.written = true;
    return result;
}

}  // namespace orlo
