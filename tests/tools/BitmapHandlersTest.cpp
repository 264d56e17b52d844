// The converter buttons through the dialog: file dialog, message boxes, the header file on
// disk and the preview paints.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/DialogFixture.h"
#include "support/TestSystem.h"
#include "tools/BitmapConverter.h"
#include "tools/BmpBuilder.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;
using test::ArrowParams;
using test::BmpParams;
using test::BuildBmp;
using test::DialogFixture;
using test::ReadText;
using test::TempDir;
using test::WriteBytes;

const char kArrowFile[] = "const unsigned char arrow[] = {\r\n0xf0,0x0f,\r\n0xfe,0x7f};";

void ExpectPreview(test::ScriptedWindow& w, const std::string& path, int y) {
    ASSERT_EQ(2u, w.paints.size());
    const auto& fill = w.paints[0];
    EXPECT_EQ("fill", fill.what);
    EXPECT_EQ(180, fill.x);
    EXPECT_EQ(256, fill.y);
    EXPECT_EQ(256, fill.w);
    EXPECT_EQ(32, fill.h);
    EXPECT_EQ(0xFFFFFFu, fill.rgb);
    const auto& bitmap = w.paints[1];
    EXPECT_EQ("bitmap", bitmap.what);
    EXPECT_EQ(path, bitmap.path);
    EXPECT_EQ(180, bitmap.x);
    EXPECT_EQ(y, bitmap.y);
    EXPECT_EQ(256, bitmap.w);
    EXPECT_EQ(32, bitmap.h);
}

TEST(BitmapButtons, MonoWritesArrowHeaderAndPreview) {
    TempDir dir;
    const fs::path bmp = dir / "arrow.bmp";
    WriteBytes(bmp, BuildBmp(ArrowParams()));
    DialogFixture f;
    f.wnd().QueueFileDialog(bmp.string());
    f.dlg().OnBmp1Bit();

    ASSERT_EQ(1u, f.wnd().fileDialogs.size());
    const auto& req = f.wnd().fileDialogs[0];
    EXPECT_TRUE(req.open);
    EXPECT_EQ("", req.defaultExt);
    EXPECT_EQ("", req.initialName);
    EXPECT_EQ(0u, req.flags);
    EXPECT_EQ("BitMap file(*.bmp), bmp file(*.bmp)|*.bmp;*.bmp", req.filter);
    EXPECT_FALSE(req.ownedByDialog);

    EXPECT_TRUE(f.wnd().boxes.empty());
    EXPECT_EQ(kArrowFile, ReadText(dir / "arrow.h"));
    EXPECT_EQ(0, f.wnd().WaitCursorDepth());
    ExpectPreview(f.wnd(), bmp.string(), 256);
}

TEST(BitmapButtons, GrayWritesPrefixedHeaderAndPreviewsLower) {
    TempDir dir;
    const fs::path bmp = dir / "dot.bmp";
    BmpParams s;
    s.width = 8;
    s.height = 1;
    s.bits = 4;
    s.entry1 = 0x00FFFFFF;
    s.rows = {{0x12, 0x00, 0xFF, 0x80}};
    WriteBytes(bmp, BuildBmp(s));
    DialogFixture f;
    f.wnd().QueueFileDialog(bmp.string());
    f.dlg().OnBmp4Bit();

    EXPECT_TRUE(f.wnd().boxes.empty());
    EXPECT_EQ("const unsigned char _4bitdot[] = {\r\n0xb7,0xff,0x00,0xfe};",
              ReadText(dir / "dot.h"));
    ExpectPreview(f.wnd(), bmp.string(), 310);
}

// A wrong bit count is a warning: the header is still written and the preview drawn.
TEST(BitmapButtons, WrongBitCountWarnsAndStillConverts) {
    struct Case {
        bool mono;
        uint16_t fileBits;
        const char* warning;
        int previewY;
    };
    for (const Case& c :
         {Case{true, 8, "Incorrect Mono", 256}, Case{false, 8, "Incorrect Gray", 310}}) {
        SCOPED_TRACE(c.warning);
        TempDir dir;
        const fs::path bmp = dir / "pic.bmp";
        BmpParams s;
        s.width = 16;
        s.height = 2;
        s.bits = c.fileBits;
        WriteBytes(bmp, BuildBmp(s));
        DialogFixture f;
        f.wnd().QueueFileDialog(bmp.string());
        if (c.mono) {
            f.dlg().OnBmp1Bit();
        } else {
            f.dlg().OnBmp4Bit();
        }
        ASSERT_EQ(1u, f.wnd().boxes.size());
        EXPECT_EQ(c.warning, f.wnd().boxes[0].text);
        EXPECT_EQ("Orlo", f.wnd().boxes[0].caption);
        EXPECT_EQ(MB_ICONEXCLAMATION, f.wnd().boxes[0].type);
        EXPECT_TRUE(fs::exists(dir / "pic.h"));
        EXPECT_EQ(0, f.wnd().WaitCursorDepth());
        ExpectPreview(f.wnd(), bmp.string(), c.previewY);
    }
}

// Every refusal: one exclamation box with its reason, no header file, no preview, and a
// header file already there is left as it was.
TEST(BitmapButtons, RefusalsLeaveNoHeader) {
    struct Case {
        const char* name;
        const char* fileName;
        std::vector<uint8_t> bytes;
        std::vector<std::string> boxes;
    };
    auto badSignature = BuildBmp(ArrowParams());
    badSignature[0] = 'X';
    BmpParams tall;
    tall.width = 256;
    tall.height = 33;
    BmpParams topDown = ArrowParams();
    topDown.height = 0xFFFFFFFEu;
    auto shortFile = BuildBmp(ArrowParams());
    shortFile.resize(64);
    auto eightBitShort = BuildBmp([] {
        BmpParams s = ArrowParams();
        s.bits = 8;
        return s;
    }());
    eightBitShort.resize(40);
    const std::vector<Case> cases = {
        {"BadSignature", "arrow.bmp", badSignature, {"Invalid BMP Format"}},
        {"TooTall", "tall.bmp", BuildBmp(tall), {"BMP pixel data is larger than 1024 bytes"}},
        {"TopDown",
         "down.bmp",
         BuildBmp(topDown),
         {"Top-down BMP (negative height) is not supported"}},
        {"Short", "short.bmp", shortFile, {"BMP file is shorter than its header says"}},
        {"ShortAndWrongBits",
         "short.bmp",
         eightBitShort,
         {"Incorrect Mono", "BMP file is shorter than its header says"}},
        {"NameIsOnlySuffix",
         ".bmp",
         BuildBmp(ArrowParams()),
         {"BMP file name is too short for an array name"}},
        {"NameShorterThanSuffix",
         "bmp",
         BuildBmp(ArrowParams()),
         {"BMP file name is too short for an array name"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path bmp = dir / c.fileName;
        WriteBytes(bmp, c.bytes);
        const fs::path header = HeaderPathFor(bmp.string());
        DialogFixture f;
        f.wnd().QueueFileDialog(bmp.string());
        f.dlg().OnBmp1Bit();
        EXPECT_EQ(c.boxes, f.wnd().BoxTexts());
        for (const auto& box : f.wnd().boxes) EXPECT_EQ(MB_ICONEXCLAMATION, box.type);
        EXPECT_FALSE(fs::exists(header)) << header;
        EXPECT_TRUE(f.wnd().paints.empty());
        EXPECT_EQ(0, f.wnd().WaitCursorDepth());

        // A header from an earlier run stays untouched.
        WriteBytes(header, {'o', 'l', 'd'});
        f.wnd().QueueFileDialog(bmp.string());
        f.dlg().OnBmp1Bit();
        EXPECT_EQ("old", ReadText(header));
    }
}

TEST(BitmapButtons, MissingFileIsReported) {
    TempDir dir;
    DialogFixture f;
    f.wnd().QueueFileDialog((dir / "gone.bmp").string());
    f.dlg().OnBmp1Bit();
    EXPECT_EQ(std::vector<std::string>{"Can not open BMP file!"}, f.wnd().BoxTexts());
    EXPECT_FALSE(fs::exists(dir / "gone.h"));
    EXPECT_TRUE(f.wnd().paints.empty());
    EXPECT_EQ(0, f.wnd().WaitCursorDepth());
}

TEST(BitmapButtons, UnwritableHeaderIsReported) {
    TempDir dir;
    const fs::path bmp = dir / "arrow.bmp";
    WriteBytes(bmp, BuildBmp(ArrowParams()));
    fs::create_directory(dir / "arrow.h");  // a folder where the header should go
    DialogFixture f;
    f.wnd().QueueFileDialog(bmp.string());
    f.dlg().OnBmp1Bit();
    EXPECT_EQ(std::vector<std::string>{"Can not write " + (dir / "arrow.h").string() +
                                       ": it is a directory"},
              f.wnd().BoxTexts());
    EXPECT_TRUE(fs::is_directory(dir / "arrow.h"));
    EXPECT_TRUE(f.wnd().paints.empty());
}

// What is at the header path decides how it is written: a new header or a replaced one (a link
// keeps pointing at its file, which gets the header); a pipe or device is refused at once.
TEST(BitmapButtons, HeaderPathKindsAndArrayNames) {
    struct Case {
        const char* bitmap;
        const char* setup;  // "", "old", "link", "fifo", "device"
        std::string header;  // expected header text; empty: refused
        std::vector<std::string> boxes;
    };
    const std::string renamed = "const unsigned char logo_small[] = {\r\n0xf0,0x0f,\r\n0xfe,0x7f};";
    const std::vector<Case> cases = {
        {"arrow.bmp", "old", kArrowFile, {}},
        {"arrow.bmp", "link", kArrowFile, {}},
        {"arrow.bmp", "fifo", "", {"Can not write %h: it is not a regular file"}},
        {"arrow.bmp", "device", "", {"Can not write %h: it is not a regular file"}},
        {"logo-small.bmp",
         "",
         renamed,
         {"Array name changed to logo_small (logo-small is not a C identifier)"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path bmp = dir / c.bitmap;
        const fs::path header = HeaderPathFor(bmp.string());
        WriteBytes(bmp, BuildBmp(ArrowParams()));
        const std::string setup = c.setup;
        if (setup == "old") std::ofstream(header) << "old header";
        if (setup == "link") {
            std::ofstream(dir / "real.h") << "old header";
            std::error_code ec;
            fs::create_symlink("real.h", header, ec);
            if (ec) continue;  // no symbolic links for this user on this system
        }
        if (setup == "fifo" && !test::MakeFifo(header.string())) continue;  // no pipes here
        if (setup == "device") {
            std::error_code ec;
            fs::create_symlink("/dev/null", header, ec);
            if (ec || !fs::exists(header)) continue;
        }
        DialogFixture f;
        f.wnd().QueueFileDialog(bmp.string());
        f.dlg().OnBmp1Bit();
        std::vector<std::string> boxes = c.boxes;
        for (auto& b : boxes)
            if (b.find("%h") != std::string::npos) b.replace(b.find("%h"), 2, header.string());
        EXPECT_EQ(boxes, f.wnd().BoxTexts()) << c.bitmap << " " << setup;
        if (c.header.empty()) {
            EXPECT_TRUE(f.wnd().paints.empty()) << setup;
            continue;
        }
        EXPECT_EQ(c.header, ReadText(header)) << setup;
        EXPECT_EQ(setup == "link", fs::is_symlink(header));
        // Nothing is left beside the header.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}),
                  setup == "link" ? 3 : 2);
    }
}

TEST(BitmapButtons, CancelledDialogDoesNothing) {
    DialogFixture f;
    f.dlg().OnBmp1Bit();  // empty queue: cancelled
    f.wnd().QueueFileDialog("");
    f.dlg().OnBmp4Bit();
    EXPECT_EQ(2u, f.wnd().fileDialogs.size());
    EXPECT_TRUE(f.wnd().boxes.empty());
    EXPECT_TRUE(f.wnd().paints.empty());
    EXPECT_EQ(0, f.wnd().WaitCursorDepth());
}

// Two dialogs side by side convert independently.
TEST(BitmapButtons, TwoDialogsSideBySide) {
    TempDir dir;
    WriteBytes(dir / "arrow.bmp", BuildBmp(ArrowParams()));
    auto bad = BuildBmp(ArrowParams());
    bad[1] = 'Z';
    WriteBytes(dir / "bad.bmp", bad);
    DialogFixture one;
    DialogFixture two;
    one.wnd().QueueFileDialog((dir / "arrow.bmp").string());
    two.wnd().QueueFileDialog((dir / "bad.bmp").string());
    two.dlg().OnBmp1Bit();
    one.dlg().OnBmp1Bit();
    EXPECT_TRUE(one.wnd().boxes.empty());
    EXPECT_EQ(std::vector<std::string>{"Invalid BMP Format"}, two.wnd().BoxTexts());
    EXPECT_EQ(2u, one.wnd().paints.size());
    EXPECT_TRUE(two.wnd().paints.empty());
    EXPECT_EQ(kArrowFile, ReadText(dir / "arrow.h"));
    EXPECT_FALSE(fs::exists(dir / "bad.h"));
}

// The command-line entry: path and variant in, header file and messages out, no window.
TEST(BitmapFile, ConvertsWithoutWindow) {
    TempDir dir;
    const fs::path bmp = dir / "arrow.bmp";
    WriteBytes(bmp, BuildBmp(ArrowParams()));
    std::vector<std::string> shown;
    const auto r =
        ConvertBitmapFile(bmp.string(), FileNameOf(bmp.string()), *BitmapVariantForBits(1),
                          [&](const std::string& m) { shown.push_back(m); });
    EXPECT_TRUE(r.converted);
    EXPECT_TRUE(r.written);
    EXPECT_EQ((dir / "arrow.h").string(), r.headerPath);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(kArrowFile, ReadText(dir / "arrow.h"));

    BmpParams eight = ArrowParams();
    eight.bits = 8;
    WriteBytes(bmp, BuildBmp(eight));
    const auto w = ConvertBitmapFile(bmp.string(), "arrow.bmp", *BitmapVariantForBits(4));
    EXPECT_TRUE(w.written);
    EXPECT_EQ(std::vector<std::string>{"Incorrect Gray"}, w.messages);
}

}  // namespace
}  // namespace orlo
