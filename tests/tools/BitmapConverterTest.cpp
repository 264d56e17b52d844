#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "tools/BitmapConverter.h"
#include "tools/BmpBuilder.h"

namespace orlo {
namespace {

using test::ArrowParams;
using test::BmpParams;
using test::BuildBmp;

const BitmapVariant& Mono() {
    return BitmapVariantOf(BitmapKind::Mono);
}
const BitmapVariant& Gray() {
    return BitmapVariantOf(BitmapKind::Gray);
}

std::string TooBig(uint32_t bytes) {
    return "BMP pixel data is larger than " + std::to_string(bytes) + " bytes";
}

// The header text split into its declaration line and its rows of items. Checks the
// separators on the way: every row but the last ends in ",", the last in "};".
struct ParsedHeader {
    std::string declaration;
    std::vector<std::vector<uint8_t>> rows;
};

ParsedHeader Parse(const std::string& text) {
    ParsedHeader parsed;
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    EXPECT_GE(lines.size(), 2u);
    if (lines.size() < 2) return parsed;
    parsed.declaration = lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        const bool last = i + 1 == lines.size();
        const std::string tail = last ? "};" : ",";
        EXPECT_TRUE(line.size() > tail.size() && line.ends_with(tail))
            << "line " << i << ": " << line;
        line.resize(line.size() - tail.size());
        std::vector<uint8_t> items;
        std::size_t p = 0;
        while (p < line.size()) {
            const std::size_t comma = line.find(',', p);
            const std::string item =
                line.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
            EXPECT_EQ(4u, item.size()) << item;
            EXPECT_EQ("0x", item.substr(0, 2)) << item;
            EXPECT_EQ(std::string::npos, item.find_first_not_of("0123456789abcdef", 2)) << item;
            items.push_back(static_cast<uint8_t>(std::stoul(item.substr(2), nullptr, 16)));
            if (comma == std::string::npos) break;
            p = comma + 1;
        }
        parsed.rows.push_back(items);
    }
    return parsed;
}

TEST(ReverseBits, MirrorsTheBitOrder) {
    const std::vector<std::pair<uint8_t, uint8_t>> cases = {
        {0x80, 0x01}, {0x01, 0x80}, {0xF0, 0x0F}, {0x12, 0x48}, {0x00, 0x00}, {0xFF, 0xFF},
        {0x02, 0x40}, {0x04, 0x20}, {0x08, 0x10}, {0xA5, 0xA5}, {0xC8, 0x13}};
    for (const auto& [in, out] : cases) EXPECT_EQ(out, ReverseBits(in)) << int(in);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(b, ReverseBits(ReverseBits(static_cast<uint8_t>(b))));
    }
}

TEST(BitmapNames, HeaderPathAndArrayName) {
    EXPECT_EQ("C:\\img\\arrow.h", HeaderPathFor("C:\\img\\arrow.bmp"));
    EXPECT_EQ("/tmp/img/arrow.h", HeaderPathFor("/tmp/img/arrow.bmp"));
    EXPECT_EQ("/tmp/A.h", HeaderPathFor("/tmp/A.BMP"));
    EXPECT_EQ("x.h", HeaderPathFor("x.bmp"));
    EXPECT_EQ("h", HeaderPathFor("bm"));  // never reaches before the start
    EXPECT_EQ("arrow", ArrayNameFor("arrow.bmp"));
    EXPECT_EQ("a", ArrayNameFor("a.bmp"));
    EXPECT_EQ("Logo", ArrayNameFor("Logo.BMP"));
    EXPECT_EQ("", ArrayNameFor(".bmp"));
    EXPECT_EQ("", ArrayNameFor("bmp"));
    EXPECT_EQ("arrow.bmp", FileNameOf("/tmp/img/arrow.bmp"));
    EXPECT_EQ("arrow.bmp", FileNameOf("C:\\img\\arrow.bmp"));
    EXPECT_EQ("arrow.bmp", FileNameOf("arrow.bmp"));
}

TEST(BitmapVariants, LookUpByBitCount) {
    ASSERT_NE(nullptr, BitmapVariantForBits(1));
    ASSERT_NE(nullptr, BitmapVariantForBits(4));
    EXPECT_EQ(BitmapKind::Mono, BitmapVariantForBits(1)->kind);
    EXPECT_EQ(BitmapKind::Gray, BitmapVariantForBits(4)->kind);
    EXPECT_EQ(nullptr, BitmapVariantForBits(8));
    EXPECT_EQ(nullptr, BitmapVariantForBits(0));
}

// --- whole conversions with exact texts ------------------------------------------------------

struct TextCase {
    const char* name;
    BitmapKind kind;
    std::vector<uint8_t> file;
    const char* arrayName;
    std::string text;                   // the header text; empty when no header results
    std::vector<std::string> messages;  // in order
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.name;
}

class ExactText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ExactText, ConvertsOrRefuses) {
    const auto& c = GetParam();
    const BitmapConversion r = ConvertBitmapBytes(c.file, BitmapVariantOf(c.kind), c.arrayName);
    EXPECT_EQ(!c.text.empty(), r.ok);
    EXPECT_EQ(c.text, r.text);
    EXPECT_EQ(c.messages, r.messages);
}

BmpParams BlackArrow() {
    BmpParams s = ArrowParams();
    s.entry0 = 0x00FFFFFF;
    s.entry1 = 0x00000000;
    return s;
}

BmpParams Gray8x1(uint32_t entry1) {
    BmpParams s;
    s.width = 8;
    s.height = 1;
    s.bits = 4;
    s.entry1 = entry1;
    s.rows = {{0x12, 0x00, 0xFF, 0x80}};
    return s;
}

BmpParams WithHeight(BmpParams s, uint32_t height) {
    s.height = height;
    return s;
}

BmpParams WithBits(BmpParams s, uint16_t bits) {
    s.bits = bits;
    return s;
}

std::vector<uint8_t> Truncated(BmpParams s, std::size_t size) {
    auto bytes = BuildBmp(s);
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> WithField(std::vector<uint8_t> bytes, std::size_t at, uint32_t value) {
    test::PutLe(bytes, at, value, 4);
    return bytes;
}

const std::string kArrowText = "const unsigned char arrow[] = {\n0xf0,0x0f,\n0xfe,0x7f};";

INSTANTIATE_TEST_SUITE_P(
    Bitmaps, ExactText,
    ::testing::Values(
        // The worked example: entry 1 pure white, so the bits are inverted.
        TextCase{"Arrow", BitmapKind::Mono, BuildBmp(ArrowParams()), "arrow", kArrowText, {}},
        TextCase{"ArrowBlackEntry",
                 BitmapKind::Mono,
                 BuildBmp(BlackArrow()),
                 "arrow",
                 "const unsigned char arrow[] = {\n0x0f,0xf0,\n0x01,0x80};",
                 {}},
        // Entry 1 white but with a non-zero reserved byte is not pure white.
        TextCase{"ArrowWhiteWithReservedByte",
                 BitmapKind::Mono,
                 [] {
                     BmpParams s = ArrowParams();
                     s.entry1 = 0x01FFFFFF;
                     return BuildBmp(s);
                 }(),
                 "arrow",
                 "const unsigned char arrow[] = {\n0x0f,0xf0,\n0x01,0x80};",
                 {}},
        // The last row's padding is never needed: the file may end after its last data byte.
        TextCase{"EndsAfterLastDataByte",
                 BitmapKind::Mono,
                 Truncated(ArrowParams(), 68),
                 "arrow",
                 kArrowText,
                 {}},
        TextCase{"Gray0x12",
                 BitmapKind::Gray,
                 BuildBmp(Gray8x1(0)),
                 "dot",
                 "const unsigned char _4bitdot[] = {\n0x48,0x00,0xff,0x01};",
                 {}},
        TextCase{"Gray0x12White",
                 BitmapKind::Gray,
                 BuildBmp(Gray8x1(0x00FFFFFF)),
                 "dot",
                 "const unsigned char _4bitdot[] = {\n0xb7,0xff,0x00,0xfe};",
                 {}},
        // The mono converter does not read the pixel-data offset: data start at byte 62.
        TextCase{"MonoIgnoresPixelOffset",
                 BitmapKind::Mono,
                 WithField(BuildBmp(ArrowParams()), 10, 200),
                 "arrow",
                 kArrowText,
                 {}},
        // The 4-bit converter takes byte 62 when the header's offset is below it.
        TextCase{"GrayOffsetBelow62",
                 BitmapKind::Gray,
                 [] {
                     BmpParams s;  // a 1-bit file has its rows at 62; relabel it 8 x 1, 4 bits
                     s.width = 32;
                     s.height = 1;
                     s.entry1 = 0;
                     s.rows = {{0x12, 0x00, 0xFF, 0x80}};
                     auto b = WithField(WithField(BuildBmp(s), 18, 8), 10, 54);
                     b[28] = 4;
                     return b;
                 }(),
                 "dot",
                 "const unsigned char _4bitdot[] = {\n0x48,0x00,0xff,0x01};",
                 {}},
        // Width not a whole number of bytes: the partial byte and the padding are skipped.
        TextCase{"Width12",
                 BitmapKind::Mono,
                 [] {
                     BmpParams s;
                     s.width = 12;
                     s.height = 2;
                     s.entry1 = 0;
                     s.rows = {{0x80, 0xF0}, {0x01, 0xF0}};
                     return BuildBmp(s);
                 }(),
                 "w",
                 "const unsigned char w[] = {\n0x80,\n0x01};",
                 {}},
        TextCase{"Width36",
                 BitmapKind::Mono,
                 [] {
                     BmpParams s;
                     s.width = 36;  // 4 whole bytes and 4 bits: a stored row of 8 bytes
                     s.height = 2;
                     s.entry1 = 0;
                     s.rows = {{0x01, 0x02, 0x04, 0x08, 0xF0}, {0x10, 0x20, 0x40, 0x80, 0xF0}};
                     return BuildBmp(s);
                 }(),
                 "w",
                 "const unsigned char w[] = {\n0x08,0x04,0x02,0x01,\n0x80,0x40,0x20,0x10};",
                 {}}),
    [](const auto& info) { return info.param.name; });

// Longer information headers (as image editors write by default): the colour table follows the
// whole header, the pixels follow the colour table. Layouts that cannot be read are refused.
BmpParams WithInfo(BmpParams s, uint32_t infoSize, uint32_t compression = 0) {
    s.infoSize = infoSize;
    s.compression = compression;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExactText,
    ::testing::Values(
        TextCase{"Mono108", BitmapKind::Mono, BuildBmp(WithInfo(ArrowParams(), 108)), "arrow",
                 kArrowText, {}},
        TextCase{"Mono124", BitmapKind::Mono, BuildBmp(WithInfo(ArrowParams(), 124)), "arrow",
                 kArrowText, {}},
        TextCase{"MonoBlackEntry124", BitmapKind::Mono, BuildBmp(WithInfo(BlackArrow(), 124)),
                 "arrow", "const unsigned char arrow[] = {\n0x0f,0xf0,\n0x01,0x80};", {}},
        TextCase{"Gray124",
                 BitmapKind::Gray,
                 [] {
                     BmpParams s;
                     s.width = 8;
                     s.height = 1;
                     s.bits = 4;
                     s.entry1 = 0;
                     s.rows = {{0x12, 0x34, 0x56, 0x78}};
                     return BuildBmp(WithInfo(s, 124));
                 }(),
                 "g",
                 "const unsigned char _4bitg[] = {\n0x48,0x2c,0x6a,0x1e};",
                 {}},
        TextCase{"OtherHeader64", BitmapKind::Mono, BuildBmp(WithInfo(ArrowParams(), 64)), "arrow",
                 "", {"BMP layout is not supported: information header of 64 bytes"}},
        TextCase{"Compressed124", BitmapKind::Mono, BuildBmp(WithInfo(ArrowParams(), 124, 1)),
                 "arrow", "", {"Compressed BMP is not supported"}}),
    [](const auto& info) { return info.param.name; });

TEST(BitmapNames, ArrayNamesAreCIdentifiers) {
    const std::vector<std::tuple<std::string, bool, std::string>> cases = {
        {"arrow", false, "arrow"},           {"Logo_2", false, "Logo_2"},
        {"logo-small", false, "logo_small"}, {"sp ace", false, "sp_ace"},
        {"a\nb", false, "a_b"},              {"1logo", false, "_1logo"},
        {"1logo", true, "1logo"},            {"\xed\x95\x9c", false, "___"}};
    for (const auto& [name, continues, expected] : cases)
        EXPECT_EQ(expected, CIdentifierFor(name, continues)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ExactText,
    ::testing::Values(
        TextCase{"BadSignature",
                 BitmapKind::Mono,
                 [] {
                     auto b = BuildBmp(ArrowParams());
                     b[1] = 'A';
                     return b;
                 }(),
                 "arrow",
                 "",
                 {"Invalid BMP Format"}},
        TextCase{"Empty", BitmapKind::Mono, {}, "x", "", {"Invalid BMP Format"}},
        TextCase{"OnlyB", BitmapKind::Gray, {'B'}, "x", "", {"Invalid BMP Format"}},
        // Too short to hold the bit count: no warning, only the short file.
        TextCase{"EndsBeforeBitCount",
                 BitmapKind::Mono,
                 Truncated(WithBits(ArrowParams(), 8), 29),
                 "x",
                 "",
                 {"BMP file is shorter than its header says"}},
        // The warning comes as soon as the bit count is read, before the file runs out.
        TextCase{"EndsInsideHeader",
                 BitmapKind::Mono,
                 Truncated(WithBits(ArrowParams(), 8), 61),
                 "x",
                 "",
                 {"Incorrect Mono", "BMP file is shorter than its header says"}},
        TextCase{"EndsInsideLastRow",
                 BitmapKind::Mono,
                 Truncated(ArrowParams(), 67),
                 "arrow",
                 "",
                 {"BMP file is shorter than its header says"}},
        TextCase{"PixelOffsetPastTheEnd",
                 BitmapKind::Gray,
                 WithField(BuildBmp(Gray8x1(0)), 10, 0xFFFFFFF0u),
                 "dot",
                 "",
                 {"BMP file is shorter than its header says"}},
        TextCase{"Mono256x33",
                 BitmapKind::Mono,
                 [] {
                     BmpParams s;
                     s.width = 256;
                     s.height = 33;
                     return BuildBmp(s);
                 }(),
                 "big",
                 "",
                 {TooBig(1024)}},
        TextCase{"Gray256x33",
                 BitmapKind::Gray,
                 [] {
                     BmpParams s;
                     s.width = 256;
                     s.height = 33;
                     s.bits = 4;
                     return BuildBmp(s);
                 }(),
                 "big",
                 "",
                 {TooBig(4096)}},
        // Top-down bitmap: the height field read as signed is negative.
        TextCase{"NegativeHeight",
                 BitmapKind::Mono,
                 BuildBmp(WithHeight(ArrowParams(), 0xFFFFFFFEu)),
                 "arrow",
                 "",
                 {"Top-down BMP (negative height) is not supported"}},
        // Products that wrap modulo 2^32 to a small or zero byte count are still too big.
        TextCase{"WidthTimesHeightWrapsToZero",
                 BitmapKind::Mono,
                 WithField(BuildBmp(ArrowParams()), 18, 0x80000000u),
                 "arrow",
                 "",
                 {TooBig(1024)}},
        TextCase{"WidthTimesHeightWrapsSmall",
                 BitmapKind::Gray,
                 WithField(WithField(BuildBmp(Gray8x1(0)), 18, 0x80000008u), 22, 2),
                 "dot",
                 "",
                 {TooBig(4096)}},
        TextCase{"HugeHeight",
                 BitmapKind::Mono,
                 WithField(BuildBmp(ArrowParams()), 22, 0x7FFFFFFFu),
                 "arrow",
                 "",
                 {TooBig(1024)}},
        TextCase{"ZeroHeight",
                 BitmapKind::Mono,
                 BuildBmp(WithHeight(ArrowParams(), 0)),
                 "arrow",
                 "",
                 {"BMP has no pixel rows or is narrower than one byte"}},
        TextCase{"NarrowerThanOneByte",
                 BitmapKind::Mono,
                 WithField(BuildBmp(ArrowParams()), 18, 7),
                 "arrow",
                 "",
                 {"BMP has no pixel rows or is narrower than one byte"}}),
    [](const auto& info) { return info.param.name; });

TEST(ExactText, HeaderFileBytesUseCrLf) {
    const auto r = ConvertBitmapBytes(BuildBmp(ArrowParams()), Mono(), "arrow");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ("const unsigned char arrow[] = {\r\n0xf0,0x0f,\r\n0xfe,0x7f};", WithCrLf(r.text));
    EXPECT_EQ("a\r\n\r\nb", WithCrLf("a\n\nb"));
    EXPECT_EQ("", WithCrLf(""));
}

// --- full-size images: structure and every item ----------------------------------------------

// The item the converter emits for one byte of the file.
uint8_t Expected(uint8_t fileByte, bool white) {
    const uint8_t r = ReverseBits(fileByte);
    return white ? static_cast<uint8_t>(~r) : r;
}

std::vector<std::vector<uint8_t>> PatternRows(uint32_t rows, uint32_t bytesPerRow) {
    std::vector<std::vector<uint8_t>> out(rows, std::vector<uint8_t>(bytesPerRow));
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t k = 0; k < bytesPerRow; ++k) out[r][k] = static_cast<uint8_t>(r * 7 + k * 13);
    }
    return out;
}

struct FullCase {
    const char* name;
    BitmapKind kind;
    uint32_t width;
    uint32_t height;
    uint16_t bits;
    uint32_t entry1;
    std::size_t expectedPixelOffset;  // where the builder put the rows
    const char* declaration;
};

void PrintTo(const FullCase& c, std::ostream* os) {
    *os << c.name;
}

class FullImage : public ::testing::TestWithParam<FullCase> {};

TEST_P(FullImage, EveryRowFlippedAndTransformed) {
    const auto& c = GetParam();
    const auto& v = BitmapVariantOf(c.kind);
    const uint32_t rowBytes = c.width / v.pixelsPerByte;
    BmpParams s;
    s.width = c.width;
    s.height = c.height;
    s.bits = c.bits;
    s.entry1 = c.entry1;
    s.rows = PatternRows(c.height, (c.width * c.bits + 7) / 8);
    const auto file = BuildBmp(s);
    ASSERT_EQ(c.expectedPixelOffset, file[10] | file[11] << 8);

    const auto r = ConvertBitmapBytes(file, v, "NAME");
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.messages.empty());
    const ParsedHeader parsed = Parse(r.text);
    EXPECT_EQ(c.declaration, parsed.declaration);
    ASSERT_EQ(c.height, parsed.rows.size());
    for (uint32_t row = 0; row < c.height; ++row) {
        ASSERT_EQ(rowBytes, parsed.rows[row].size()) << "row " << row;
        const auto& fileRow = s.rows[c.height - 1 - row];
        for (uint32_t k = 0; k < rowBytes; ++k) {
            ASSERT_EQ(Expected(fileRow[k], c.entry1 == 0x00FFFFFF), parsed.rows[row][k])
                << "row " << row << " item " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FullImage,
    ::testing::Values(
        // Fills the 1024-byte buffer exactly: 32 lines of 32 items.
        FullCase{"Mono256x32", BitmapKind::Mono, 256, 32, 1, 0x00FFFFFF, 62,
                 "const unsigned char NAME[] = {"},
        // Rows of 7 data bytes, each followed by 1 padding byte (0xA5) that must not show.
        FullCase{"Mono56x5", BitmapKind::Mono, 56, 5, 1, 0, 62, "const unsigned char NAME[] = {"},
        FullCase{"Mono24x3", BitmapKind::Mono, 24, 3, 1, 0x00FFFFFF, 62,
                 "const unsigned char NAME[] = {"},
        FullCase{"Mono8x4", BitmapKind::Mono, 8, 4, 1, 0, 62, "const unsigned char NAME[] = {"},
        // 4096 bytes, 32 lines of 128 items; the pixel data at 118 behind 16 colour entries.
        FullCase{"Gray256x32", BitmapKind::Gray, 256, 32, 4, 0, 118,
                 "const unsigned char _4bitNAME[] = {"},
        FullCase{"Gray256x32White", BitmapKind::Gray, 256, 32, 4, 0x00FFFFFF, 118,
                 "const unsigned char _4bitNAME[] = {"},
        FullCase{"Gray8x3", BitmapKind::Gray, 8, 3, 4, 0, 118,
                 "const unsigned char _4bitNAME[] = {"}),
    [](const auto& info) { return info.param.name; });

TEST(FullImage, Mono256x32LineShape) {
    BmpParams s;
    s.width = 256;
    s.height = 32;
    const auto r = ConvertBitmapBytes(BuildBmp(s), Mono(), "logo");
    ASSERT_TRUE(r.ok);
    const std::string item = "0xff,";  // fill 0x00 with entry 1 white
    std::string line;
    for (int i = 0; i < 32; ++i) line += item;
    std::string expected = "const unsigned char logo[] = {\n";
    for (int row = 0; row < 31; ++row) expected += line + "\n";
    expected += line.substr(0, line.size() - 1) + "};";
    EXPECT_EQ(expected, r.text);
}

// A 4-bit file whose gap between colour table and pixel data is not pixel data: the offset
// field decides where the rows begin.
TEST(FullImage, GrayHonoursLargerPixelOffset) {
    BmpParams s = Gray8x1(0);
    s.pixelOffset = 200;  // rows at 200; bytes 118..199 hold 0xCC
    const auto r = ConvertBitmapBytes(BuildBmp(s), Gray(), "dot");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ("const unsigned char _4bitdot[] = {\n0x48,0x00,0xff,0x01};", r.text);
}

// An 8-bit file through the mono converter: the warning, then the data read as 1-bit rows.
TEST(FullImage, EightBitFileThroughMonoConverterWarnsAndConverts) {
    BmpParams s;
    s.width = 16;
    s.height = 2;
    s.bits = 8;
    s.entry1 = 0;
    const auto file = BuildBmp(s);
    const auto r = ConvertBitmapBytes(file, Mono(), "eight");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(std::vector<std::string>{"Incorrect Mono"}, r.messages);
    // Read as 1-bit rows of 2 data bytes in a 4-byte stride from byte 62 (the colour table).
    std::string expected = "const unsigned char eight[] = {\n";
    auto hex = [](uint8_t b) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", b);
        return std::string(buf);
    };
    expected += hex(ReverseBits(file[66])) + "," + hex(ReverseBits(file[67])) + ",\n";
    expected += hex(ReverseBits(file[62])) + "," + hex(ReverseBits(file[63])) + "};";
    EXPECT_EQ(expected, r.text);
}

}  // namespace
}  // namespace orlo
