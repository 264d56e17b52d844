// The device log through the dialog: list box entries, the log-start reply, the start-time
// stamp, SaveAs and the bytes of the log file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "support/DialogFixture.h"
#include "support/TestSystem.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DeviceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Stamps are local time; UTC makes them the same on every machine.
        test::SetTimeZone("UTC");
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("orlo-log-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    COrloDlg& dlg() { return f.dlg(); }
    test::ScriptedWindow& wnd() { return f.wnd(); }
    std::vector<std::string> Entries() { return wnd().ListItems(IDC_LIST_LOG); }

    // The device prints a text line.
    void DeviceLine(const std::string& line) {
        f.Feed(std::vector<uint8_t>(line.begin(), line.end()));
    }

    // The device's log-start reply.
    void LogStart() { f.Feed({0x04, 0x00, 0x07, RSP_LOG_START, 0x00, 0x00, 0x03}); }

    void SaveAs(const fs::path& path) {
        wnd().QueueFileDialog(path.string());
        dlg().OnSaveAs();
    }

    test::DialogFixture f;
    fs::path dir;
};

TEST_F(DeviceLogTest, LinesGoToTheListBoxOnlyUntilSaveAs) {
    DeviceLine("R 0A,1F,3C,7\r\n");
    DeviceLine("Flash erased\r\n");
    DeviceLine("r 0A,1F,\r\n");  // lower-case r: copied unchanged
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"10,31,60,\r\n", "Flash erased\r\n", "r 0A,1F,\r\n"}));
    EXPECT_EQ(wnd().Control(IDC_LIST_LOG).curSel, 2);  // the newest entry is selected
    EXPECT_EQ(dlg().m_logEnabled, 0);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(DeviceLogTest, SaveAsDialogArgumentsAndLogFileBytes) {
    const fs::path log = dir / "device.txt";
    SaveAs(log);
    ASSERT_EQ(wnd().fileDialogs.size(), 1u);
    const FileDialogRequest& req = wnd().fileDialogs[0];
    EXPECT_FALSE(req.open);
    EXPECT_EQ(req.defaultExt, "Text file");
    EXPECT_EQ(req.initialName, "*.txt");
    EXPECT_EQ(req.flags, 6u);
    EXPECT_EQ(req.filter, "Text File(*.txt) | *.txt | 모든파일(*.*) | *.*|");
    EXPECT_FALSE(req.ownedByDialog);

    EXPECT_EQ(dlg().m_logEnabled, 1);
    EXPECT_EQ(dlg().m_logPathText, log.string());
    EXPECT_EQ(dlg().m_outputPath, log.string());
    ASSERT_TRUE(fs::exists(log));
    EXPECT_EQ(fs::file_size(log), 0u);

    DeviceLine("OK\r\n");
    DeviceLine("R 0A,1F,3C,7\r\n");
    LogStart();
    DeviceLine("R FFFFFFFF,\r\n");
    // Each LF is stored as CR LF: a CR LF line ends CR CR LF, the stamp line ends CR LF.
    EXPECT_EQ(ReadAll(log),
              "OK\r\r\n"
              "10,31,60,\r\r\n"
              "Start Time : 2013:03:07:14:05:09\r\n"
              "-1,\r\r\n");
}

TEST_F(DeviceLogTest, SaveAsTruncatesAnExistingFileAndSwitchesFiles) {
    const fs::path first = dir / "first.txt";
    const fs::path second = dir / "second.txt";
    std::ofstream(second) << "old contents";
    SaveAs(first);
    DeviceLine("one\r\n");
    SaveAs(second);
    DeviceLine("two\r\n");
    EXPECT_EQ(ReadAll(first), "one\r\r\n");
    EXPECT_EQ(ReadAll(second), "two\r\r\n");
    EXPECT_EQ(dlg().m_logPathText, second.string());
}

TEST_F(DeviceLogTest, CancelledSaveAsKeepsTheLogFile) {
    const fs::path log = dir / "device.txt";
    SaveAs(log);
    wnd().QueueFileDialog("");  // cancelled
    dlg().OnSaveAs();
    DeviceLine("still logged\r\n");
    EXPECT_EQ(dlg().m_outputPath, log.string());
    EXPECT_EQ(dlg().m_logPathText, log.string());
    EXPECT_EQ(ReadAll(log), "still logged\r\r\n");
    EXPECT_TRUE(wnd().boxes.empty());
}

TEST_F(DeviceLogTest, UnwritableLogFileIsReportedAndLoggingStops) {
    const fs::path missing = dir / "no-such-dir" / "device.txt";
    SaveAs(missing);
    const std::string noFolder = "Can not write " + missing.string() + ": No such file or directory";
    EXPECT_EQ(wnd().BoxTexts(), std::vector<std::string>{noFolder});
    EXPECT_EQ(dlg().m_logEnabled, 0);
    EXPECT_TRUE(dlg().m_logPathText.empty());

    // A log file that goes away later: the lines are still shown, the failed write is reported
    // once and logging stops, so no later line is lost without a word.
    const fs::path sub = dir / "sub";
    fs::create_directories(sub);
    SaveAs(sub / "device.txt");
    DeviceLine("first\r\n");
    fs::remove_all(sub);
    DeviceLine("second\r\n");
    EXPECT_EQ(dlg().m_logEnabled, 0);
    LogStart();
    EXPECT_EQ(Entries().size(), 1u);
    DeviceLine("third\r\n");
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"Start Time : 2013:03:07:14:05:09", "third\r\n"}));
    EXPECT_EQ(wnd().BoxTexts(),
              (std::vector<std::string>{noFolder,
                                        "Can not write " + (sub / "device.txt").string()}));
    EXPECT_FALSE(fs::exists(sub));
}

TEST_F(DeviceLogTest, LogStartWithFiftyEntriesLeavesOnlyTheStamp) {
    for (int i = 0; i < 50; ++i) DeviceLine("line " + std::to_string(i) + "\r\n");
    ASSERT_EQ(Entries().size(), 50u);
    LogStart();
    EXPECT_EQ(Entries(), std::vector<std::string>{"Start Time : 2013:03:07:14:05:09"});
    EXPECT_EQ(wnd().Control(IDC_LIST_LOG).curSel, 0);
    EXPECT_EQ(dlg().m_startTime, f.fakeNow);
}

TEST_F(DeviceLogTest, StampAlwaysHasTwoDigitMonthAndDayInLocalTime) {
    auto stamp = [this](std::time_t now) {
        f.fakeNow = now;
        LogStart();
        return Entries().at(0);
    };
    EXPECT_EQ(stamp(1356998400), "Start Time : 2013:01:01:00:00:00");
    EXPECT_EQ(stamp(1388534399), "Start Time : 2013:12:31:23:59:59");
    test::SetTimeZone("KST-9");  // nine hours east of UTC
    EXPECT_EQ(stamp(1362665109), "Start Time : 2013:03:07:23:05:09");
    EXPECT_EQ(stamp(1388534399), "Start Time : 2014:01:01:08:59:59");
}

TEST_F(DeviceLogTest, StampWithoutLocalDateShowsTheSeconds) {
    f.fakeNow = std::numeric_limits<std::time_t>::max();
    LogStart();
    EXPECT_EQ(Entries(), std::vector<std::string>{"Start Time : " + std::to_string(f.fakeNow)});
}

}  // namespace
}  // namespace orlo
