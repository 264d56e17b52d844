// Loading an image file into the staging buffer and the start frame that follows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#if defined(__unix__)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "images/FlashRegion.h"
#include "support/DialogFixture.h"
#include "support/TestSystem.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class TempDir {
  public:
    TempDir() { m_path = MakeTempDir("orlo-images-"); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string Write(const std::string& name, const Bytes& data) const {
        const fs::path p = m_path / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
        return p.string();
    }
    fs::path Path() const { return m_path; }

  private:
    fs::path m_path;
};

Bytes Pattern(std::size_t size, uint32_t seed = 1) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// Number of 0xFF bytes in the staging buffer from `from` to its end.
std::size_t FfFrom(const COrloDlg& dlg, std::size_t from) {
    const std::size_t n = dlg.m_image.GetSize() - from;
    const uint8_t* p = dlg.m_image.Range(from, n);
    return static_cast<std::size_t>(std::count(p, p + n, uint8_t{0xFF}));
}

void Program(COrloDlg& dlg, RegionId id) {
    switch (id) {
        case RegionId::Application:
            dlg.OnProgramApplication();
            break;
        case RegionId::Voice:
            dlg.OnProgramVoice();
            break;
        case RegionId::Map:
            dlg.OnProgramMap();
            break;
        case RegionId::User:
            dlg.OnProgramUser();
            break;
    }
}

struct RegionCase {
    RegionId id;
    int button;
    uint32_t base;
    uint32_t maxSize;
    std::string filter;
    std::string tooBig;
    Bytes startFrame;
};

const RegionCase kRegions[] = {
    {RegionId::Application,
     IDC_PROGRAM_APPLICATION,
     0x3C3000,
     241664,
     "bin file(*.bin), bin file(*.bin)|*.bin;*.bin",
     "Application program is too BIG!!!",
     {0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03}},
    {RegionId::Voice,
     IDC_PROGRAM_VOICE,
     0x000000,
     2048000,
     "adm file(*.adm), adm file(*.adm)|*.adm;*.adm",
     "Voice data is too BIG!!!",
     {0x04, 0x00, 0x07, 0x20, 0xC2, 0xC3, 0x03}},
    {RegionId::Map,
     IDC_PROGRAM_MAP,
     0x1F4000,
     1892352,
     "map file(*.map), map file(*.map)|*.map;*.map",
     "Map data is too BIG!!!",
     {0x04, 0x00, 0x07, 0x30, 0x42, 0xA0, 0x03}},
    {RegionId::User,
     IDC_PROGRAM_USER,
     0x3C2000,
     4096,
     "dat file(*.dat), dat file(*.dat)|*.dat;*.dat",
     "Map data is too BIG!!!",
     {0x04, 0x00, 0x07, 0x40, 0xC3, 0x83, 0x03}},
};

class RegionLoadTest : public ::testing::TestWithParam<RegionCase> {};

TEST_P(RegionLoadTest, ExactMaximumIsStagedAndAnsweredByTheStartFrame) {
    const RegionCase& c = GetParam();
    TempDir dir;
    const Bytes image = Pattern(c.maxSize);
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    f.dlg().m_status = "Programming 42 %";
    f.dlg().m_retryCount = 3;
    f.dlg().m_imageOffset = 8192;
    f.wnd().ProgressSetPos(IDC_PROGRESS, 57);
    f.wnd().QueueFileDialog(dir.Write("image", image));

    // Through the button, as the user presses it.
    f.wnd().Click(c.button);

    ASSERT_EQ(f.wnd().fileDialogs.size(), 1u);
    EXPECT_TRUE(f.wnd().fileDialogs[0].open);
    EXPECT_EQ(f.wnd().fileDialogs[0].filter, c.filter);
    EXPECT_EQ(f.wnd().fileDialogs[0].flags, 0u);
    EXPECT_EQ(f.wnd().fileDialogs[0].defaultExt, "");
    EXPECT_EQ(f.wnd().fileDialogs[0].initialName, "");
    EXPECT_TRUE(f.wnd().boxes.empty());

    const auto& dlg = f.dlg();
    EXPECT_EQ(dlg.m_imageSize, c.maxSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dlg.m_image.Range(0, c.maxSize)));
    EXPECT_EQ(FfFrom(dlg, c.maxSize), dlg.m_image.GetSize() - c.maxSize);
    EXPECT_EQ(dlg.m_imageBase, c.base);
    EXPECT_EQ(dlg.m_imageOffset, 0u);
    EXPECT_EQ(dlg.m_retryCount, 0u);
    EXPECT_EQ(dlg.m_txLen, 7);
    EXPECT_EQ(f.TakeWrites(), (std::vector<Bytes>{c.startFrame}));
    EXPECT_EQ(f.wnd().Control(IDC_PROGRESS).pos, 0);
    EXPECT_EQ(dlg.m_status, "Programming 42 %");  // a load leaves the status line alone
    EXPECT_EQ(f.wnd().GetControlText(IDC_STATUS), "Programming 42 %");
    EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);
}

TEST_P(RegionLoadTest, OneByteMoreIsRefusedWithTheRegionsMessage) {
    const RegionCase& c = GetParam();
    TempDir dir;
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    f.wnd().QueueFileDialog(dir.Write("big", Pattern(c.maxSize + 1)));
    Program(f.dlg(), c.id);

    ASSERT_EQ(f.wnd().boxes.size(), 1u);
    EXPECT_EQ(f.wnd().boxes[0].text, c.tooBig);
    EXPECT_EQ(f.wnd().boxes[0].caption, "Orlo");
    EXPECT_EQ(f.wnd().boxes[0].type, MB_OK);
    EXPECT_TRUE(f.TakeWrites().empty());
    // The length is tested before anything is touched.
    EXPECT_EQ(f.dlg().m_imageSize, 0u);
    EXPECT_EQ(f.dlg().m_image.GetAt(0), 0x00);
    EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);
}

INSTANTIATE_TEST_SUITE_P(Regions, RegionLoadTest, ::testing::ValuesIn(kRegions),
                         [](const auto& info) { return std::string(Region(info.param.id).name); });

TEST(ImageLoadingTest, OneByteImageIsPaddedWithFf) {
    TempDir dir;
    DialogFixture f;
    f.OpenFakePort();
    f.wnd().QueueFileDialog(dir.Write("one.map", {0x5A}));
    f.dlg().OnProgramMap();
    EXPECT_EQ(f.dlg().m_imageSize, 1u);
    EXPECT_EQ(f.dlg().m_image.GetAt(0), 0x5A);
    // Only the image's page of the 8 MiB buffer has been paid for.
    EXPECT_EQ(f.dlg().m_image.TouchedBytes(), CByteArray::kPageSize);
    EXPECT_EQ(FfFrom(f.dlg(), 1), f.dlg().m_image.GetSize() - 1);
}

// A load, a read-back or a check during a run, and any of them with no port open, is refused
// before its dialog opens, and a too-big file is refused before anything is touched: the run's
// image, counters and frame stay as they were.
TEST(ImageLoadingTest, NothingChosenDuringARunOrWithoutAPortAndNoTooBigFileTouchesTheRun) {
    TempDir dir;
    const std::string good = dir.Write("good.dat", Pattern(100, 3));
    const std::string big = dir.Write("big.dat", Pattern(4097));
    enum After { Run, Close, Reopen };
    const struct {
        const char* name;
        After after;
        std::string file;
        void (COrloDlg::*press)();
        std::string message;
    } cases[] = {
        {"good file during the run", Run, good, &COrloDlg::OnProgramUser, COrloDlg::kRunUnderWay},
        {"too big file during the run", Run, big, &COrloDlg::OnProgramUser,
         COrloDlg::kRunUnderWay},
        {"read-back during the run", Run, good, &COrloDlg::OnReadUser, COrloDlg::kRunUnderWay},
        {"check during the run", Run, good, &COrloDlg::OnCheckApplication,
         COrloDlg::kRunUnderWay},
        {"good file after Close", Close, good, &COrloDlg::OnProgramUser, COrloDlg::kNoPortOpen},
        {"read-back after Close", Close, good, &COrloDlg::OnReadUser, COrloDlg::kNoPortOpen},
        {"check after Close", Close, good, &COrloDlg::OnCheckApplication, COrloDlg::kNoPortOpen},
        {"too big file after Close and Open", Reopen, big, &COrloDlg::OnProgramUser,
         "Map data is too BIG!!!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DialogFixture f;
        f.OpenFakePort();
        f.wnd().QueueFileDialog(dir.Write("run.bin", Pattern(5000)));
        f.dlg().OnProgramApplication();
        f.dlg().m_imageOffset = 4096;  // as if a block had gone out
        const auto frame = f.dlg().m_txFrame;
        const Bytes staged(f.dlg().m_image.Range(0, 8192), f.dlg().m_image.Range(0, 8192) + 8192);
        if (c.after != Run) f.dlg().OnClosePort();
        if (c.after == Reopen) f.OpenFakePort();
        f.TakeWrites();
        const std::size_t dialogs = f.wnd().fileDialogs.size();

        f.wnd().QueueFileDialog(c.file);
        (f.dlg().*c.press)();
        EXPECT_EQ(f.wnd().BoxTexts(), (std::vector<std::string>{c.message}));
        EXPECT_EQ(f.wnd().fileDialogs.size(), dialogs + (c.after == Reopen ? 1 : 0));
        EXPECT_EQ(f.dlg().m_imageSize, 5000u);
        EXPECT_TRUE(Bytes(f.dlg().m_image.Range(0, 8192), f.dlg().m_image.Range(0, 8192) + 8192) ==
                    staged);
        EXPECT_EQ(f.dlg().m_imageBase, 0x3C3000u);
        EXPECT_EQ(f.dlg().m_imageOffset, 4096u);
        EXPECT_EQ(f.dlg().m_txFrame, frame);
        EXPECT_TRUE(f.TakeWrites().empty());
    }
}

#if defined(__unix__)
TEST(ImageLoadingTest, AProcessOutOfDescriptorsIsToldSoNotThatTheImageIsBad) {
    TempDir dir;
    const std::string path = dir.Write("one.map", {0x5A});
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    // The lowest free descriptor number as the limit: no file can be opened.
    const int lowest = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    f.wnd().QueueFileDialog(path);
    f.dlg().OnProgramMap();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(f.wnd().BoxTexts(),
              (std::vector<std::string>{"Can not open " + path + ": Too many open files"}));
    EXPECT_TRUE(f.TakeWrites().empty());
}
#endif

TEST(ImageLoadingTest, CancelledDialogChangesNothing) {
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    f.dlg().m_image.SetAt(0, 0x11);
    f.dlg().m_imageSize = 123;
    f.wnd().QueueFileDialog("");
    f.dlg().OnProgramVoice();
    EXPECT_EQ(f.wnd().fileDialogs.size(), 1u);
    EXPECT_EQ(f.dlg().m_image.GetAt(0), 0x11);
    EXPECT_EQ(f.dlg().m_imageSize, 123u);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_TRUE(f.wnd().boxes.empty());
}

// Files that cannot be used are refused before anything is touched: no staged byte, counter,
// frame or progress position changes.
TEST(ImageLoadingTest, UnopenableUnreadableAndEmptyFilesAreRefusedBeforeAnythingChanges) {
    TempDir dir;
    const std::string missing = (dir.Path() / "missing.bin").string();
    const std::string folder = (dir.Path() / "folder.bin").string();
    fs::create_directory(folder);
    const std::string pipe = (dir.Path() / "pipe.bin").string();
    // Opening it would wait for a writer.
    if (!MakeFifo(pipe)) GTEST_SKIP() << "no named pipes in this system's file system";
    const std::string empty = dir.Write("empty.bin", {});
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {missing, "Can not open " + missing},
        {folder, "Can not read " + folder},
        {pipe, "Can not read " + pipe},
        {empty, "The image file is empty: " + empty},
    };
    for (const auto& c : cases) {
        DialogFixture f;
        f.OpenFakePort();
        f.TakeWrites();
        auto& dlg = f.dlg();
        dlg.m_image.SetAt(0, 0x11);
        dlg.m_imageSize = 321;
        dlg.m_imageOffset = 4096;
        dlg.m_imageBase = 0x1F4000;
        dlg.m_retryCount = 2;
        dlg.m_txLen = 4107;
        dlg.m_txFrame[3] = 0x31;
        f.wnd().ProgressSetPos(IDC_PROGRESS, 40);
        f.wnd().QueueFileDialog(c.path);
        dlg.OnProgramApplication();

        EXPECT_EQ(f.wnd().BoxTexts(), (std::vector<std::string>{c.message}));
        EXPECT_TRUE(f.TakeWrites().empty()) << c.path;
        EXPECT_EQ(dlg.m_image.GetAt(0), 0x11) << c.path;
        EXPECT_EQ(dlg.m_image.GetAt(1), 0x00) << c.path;  // no 0xFF fill either
        EXPECT_EQ(dlg.m_imageSize, 321u);
        EXPECT_EQ(dlg.m_imageOffset, 4096u);
        EXPECT_EQ(dlg.m_imageBase, 0x1F4000u);
        EXPECT_EQ(dlg.m_retryCount, 2u);
        EXPECT_EQ(dlg.m_txLen, 4107);
        EXPECT_EQ(dlg.m_txFrame[3], 0x31);
        EXPECT_EQ(f.wnd().Control(IDC_PROGRESS).pos, 40);
        EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);
    }
}

// A file the system measures as 0 bytes but that yields bytes when read (the files of /proc)
// is read as a stream: staged whole when it fits, refused as too big when it does not.
TEST(ImageLoadingTest, AFileMeasuredAsEmptyIsReadAsAStream) {
    const std::string proc = "/proc/self/status";
    std::error_code ec;
    if (!fs::is_regular_file(proc, ec) || fs::file_size(proc, ec) != 0)
        GTEST_SKIP() << "no /proc on this system";
    for (const bool fits : {true, false}) {
        DialogFixture f;
        f.OpenFakePort();
        f.TakeWrites();
        f.wnd().QueueFileDialog(fits ? proc : "/proc/self/smaps");
        if (fits)
            f.dlg().OnProgramApplication();  // a few hundred bytes
        else
            f.dlg().OnProgramUser();  // the memory map of any program passes 4096 bytes
        if (fits) {
            EXPECT_TRUE(f.wnd().boxes.empty());
            EXPECT_GT(f.dlg().m_imageSize, 0u);
            EXPECT_EQ(f.dlg().m_image.GetAt(0), 'N');  // "Name:"
            EXPECT_EQ(f.TakeWrites().size(), 1u);       // the start frame
        } else {
            EXPECT_EQ(f.wnd().BoxTexts(), std::vector<std::string>{"Map data is too BIG!!!"});
            EXPECT_TRUE(f.TakeWrites().empty());
        }
    }
}

// Without a port the Program button says so before its file dialog: nothing is staged, and no
// port (never opened, or closed) is written to.
TEST(ImageLoadingTest, WithNoPortOpenNothingIsChosenStagedOrWritten) {
    TempDir dir;
    DialogFixture f;
    f.wnd().QueueFileDialog(dir.Write("a.bin", Pattern(100)));
    f.dlg().OnProgramApplication();
    EXPECT_EQ(f.transport(), nullptr);  // no port was ever opened, so no descriptor exists
    EXPECT_EQ(f.wnd().BoxTexts(), (std::vector<std::string>{COrloDlg::kNoPortOpen}));
    EXPECT_TRUE(f.wnd().fileDialogs.empty());
    EXPECT_EQ(f.dlg().m_imageSize, 0u);
    EXPECT_EQ(f.dlg().m_txFrame[3], 0x00);

    f.OpenFakePort();
    auto* port = f.transport();
    f.dlg().OnClosePort();
    const std::size_t before = port->Writes().size();
    f.dlg().OnProgramApplication();
    EXPECT_EQ(port->Writes().size(), before);
    EXPECT_TRUE(f.wnd().fileDialogs.empty());
    EXPECT_EQ(f.dlg().m_imageSize, 0u);
}

TEST(ImageLoadingTest, NewLoadRestartsARunAtTheStartState) {
    TempDir dir;
    DialogFixture f;
    f.OpenFakePort();
    f.wnd().QueueFileDialog(dir.Write("a.adm", Pattern(9000, 7)));
    f.dlg().OnProgramVoice();
    f.dlg().m_imageOffset = 8192;
    f.dlg().m_retryCount = 4;
    f.dlg().m_txFrame[3] = 0x22;
    f.dlg().OnClosePort();  // Close ends the run; a new load starts afresh
    f.OpenFakePort();
    f.wnd().QueueFileDialog(dir.Write("b.map", Pattern(10, 8)));
    f.dlg().OnProgramMap();
    EXPECT_EQ(f.dlg().m_imageOffset, 0u);
    EXPECT_EQ(f.dlg().m_retryCount, 0u);
    EXPECT_EQ(f.dlg().m_imageSize, 10u);
    EXPECT_EQ(f.dlg().m_txFrame[3], 0x30);
    EXPECT_EQ(FfFrom(f.dlg(), 10), f.dlg().m_image.GetSize() - 10);  // the old tail is gone
}

}  // namespace
}  // namespace orlo::test
