#include "tools/BitmapConverter.h"

#include <cstdio>
#include <filesystem>
#include <optional>

#include "app/OutputFile.h"

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

std::string CIdentifierFor(std::string_view name, bool continuesIdentifier) {
    std::string out;
    out.reserve(name.size() + 1);
    for (char ch : name) {
        const auto u = static_cast<unsigned char>(ch);
        const bool keep = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                          (u >= '0' && u <= '9') || ch == '_';
        out.push_back(keep ? ch : '_');
    }
    if (!continuesIdentifier && !out.empty() && out[0] >= '0' && out[0] <= '9')
        out.insert(out.begin(), '_');
    return out;
}

std::string FileNameOf(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

namespace {

// Header positions of a file with the 14-byte file header and the 40-byte information header.
constexpr std::size_t kPixelOffsetAt = 10;   // 32-bit pixel-data offset
constexpr std::size_t kInfoSizeAt = 14;      // 32-bit size of the information header
constexpr std::size_t kWidthAt = 18;         // 32-bit width in pixels
constexpr std::size_t kHeightAt = 22;        // 32-bit height in pixels (bottom-up when positive)
constexpr std::size_t kBitCountAt = 28;      // 16-bit bits per pixel
constexpr std::size_t kColourEntry1At = 58;  // colour-table entry 1: blue, green, red, reserved
constexpr std::size_t kPixelDataAt = 62;     // where pixel data begin at the earliest
constexpr uint32_t kPureWhite = 0x00FFFFFF;  // entry 1 white: the pixel bits are inverted
constexpr std::size_t kFileHeaderSize = 14;  // bytes before the information header
constexpr uint32_t kPlainInfoSize = 40;      // the information header read by fixed positions
constexpr std::size_t kCompressionAt = 30;   // 32-bit compression (0: plain rows)
constexpr std::size_t kColoursUsedAt = 46;   // 32-bit colour-table entries (0: 2^bits)
constexpr uint32_t kMaxPaletteEntries = 256;

// Longer information headers begin with the 40-byte layout and add colour masks, colour space
// and profile fields; the colour table follows the whole header. Other sizes (the 12-byte
// header of old files among them) place the fields elsewhere and are not read.
bool IsExtendedInfoSize(uint32_t size) {
    return size == 52 || size == 56 || size == 108 || size == 124;
}

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
    const uint32_t pixelOffset = Le32(file, kPixelOffsetAt);
    const uint32_t infoSize = Le32(file, kInfoSizeAt);

    // Where colour-table entry 1 and the pixel data are. The 40-byte header keeps its fixed
    // positions (the 1-bit converter ignores the pixel-data offset); a longer header moves the
    // colour table behind itself and the pixels behind the colour table.
    uint64_t entry1At = kColourEntry1At;
    uint64_t earliestData = kPixelDataAt;
    if (infoSize != kPlainInfoSize) {
        if (!IsExtendedInfoSize(infoSize)) {
            return Fail(std::move(result), std::string(kBmpLayoutPrefix) +
                                               std::to_string(infoSize) + " bytes");
        }
        if (file.size() < kColoursUsedAt + 4) return Fail(std::move(result), kBmpTruncated);
        if (Le32(file, kCompressionAt) != 0) return Fail(std::move(result), kBmpCompressed);
        const uint32_t fileBits = Le16(file, kBitCountAt);
        const uint32_t used = Le32(file, kColoursUsedAt);
        const uint64_t entries =
            used != 0 ? used : (fileBits >= 1 && fileBits <= 8 ? (1u << fileBits) : 0);
        if (entries < 2 || entries > kMaxPaletteEntries) {
            return Fail(std::move(result), kBmpNoPalette);
        }
        const uint64_t paletteAt = kFileHeaderSize + uint64_t{infoSize};
        entry1At = paletteAt + 4;
        earliestData = paletteAt + 4 * entries;
        if (file.size() < earliestData) return Fail(std::move(result), kBmpTruncated);
    }
    const uint32_t entry1 = Le32(file, static_cast<std::size_t>(entry1At));

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
    const uint64_t dataStart = variant.usesPixelDataOffset && pixelOffset > earliestData
                                   ? uint64_t{pixelOffset}
                                   : earliestData;
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
    std::FILE* f = OpenUtf8(path, "rb");
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
    // Only regular files are opened: a pipe would hold the open for ever, and a header
    // written into a device node is lost.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(Utf8Path(bitmapPath), ec)) {
        tell(std::string(kBmpCannotOpen));
        return result;
    }
    const std::string refusal = OutputRefusal(result.headerPath);
    if (!refusal.empty()) {
        tell("Can not write " + result.headerPath + ": " + refusal);
        return result;
    }
    std::string readError;
    const auto bytes = ReadWholeFile(bitmapPath, &readError);
    if (!bytes) {
        tell(readError);
        return result;
    }
    // The array name must be a C identifier, or the header does not compile. The 4-bit
    // converter's name follows "_4bit", so a leading digit is fine there.
    const std::string fromFile = ArrayNameFor(fileName);
    const std::string arrayName =
        CIdentifierFor(fromFile, variant.declPrefix.back() != ' ');
    BitmapConversion conversion = ConvertBitmapBytes(*bytes, variant, arrayName);
    if (conversion.ok && arrayName != fromFile) {
        conversion.messages.push_back(std::string(kArrayRenamedPrefix) + arrayName + " (" +
                                      fromFile + " is not a C identifier)");
    }
    for (auto& m : conversion.messages) tell(std::move(m));
    if (!conversion.ok) return result;
    result.converted = true;

    // Written beside the header path and renamed into place when complete: a failed write
    // leaves an existing header (or the file a link points to) as it was.
    if (!WriteWholeFile(result.headerPath, WithCrLf(conversion.text))) {
        tell(std::string(kHeaderWriteFailed));
        return result;
    }
    result.written = true;
    return result;
}

}  // namespace orlo
