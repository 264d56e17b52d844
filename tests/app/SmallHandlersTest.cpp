// The window's own small handlers: icon position, Read Log and Save, and the dialog's end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/OrloDlg.h"
#include "support/DialogFixture.h"
#include "support/TestSystem.h"

namespace orlo::test {
namespace {

TEST(IconOffset, CentresWithSignedDivisionTruncatedTowardZero) {
    struct Case {
        int client, icon, offset;
    };
    const Case cases[] = {
        {100, 32, 34},                                         // 69 / 2
        {33, 32, 1},   {32, 32, 0}, {31, 32, 0}, {30, 32, 0},  // -1 / 2 truncates to 0, not -1
        {10, 32, -10},                                         // -21 / 2 truncates to -10, not -11
        {0, 48, -23},                                          // -47 / 2
        {-4, 0, -1},                                           // -3 / 2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.client) + " " + std::to_string(c.icon));
        EXPECT_EQ(COrloDlg::IconOffset(c.client, c.icon), c.offset);
    }
}

class ReadLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = test::MakeTempDir("orlo-readlog-");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Everything a read could change: members and the screen.
    struct Snapshot {
        std::string status, outputPath, logPathText, lineText;
        int32_t logEnabled;
        uint32_t imageSize;
        std::size_t texts, boxes, listEntries;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot Take() {
        const COrloDlg& d = f.dlg();
        return {d.m_status,
                d.m_outputPath,
                d.m_logPathText,
                d.m_lineText,
                d.m_logEnabled,
                d.m_imageSize,
                f.wnd().textLog.size(),
                f.wnd().boxes.size(),
                f.wnd().ListItems(IDC_LIST_LOG).size()};
    }

    std::filesystem::path m_dir;
    DialogFixture f;
};

TEST_F(ReadLogTest, EmptyFileReadsNothingAndShowsNothing) {
    const auto path = m_dir / "empty.csv";
    std::ofstream(path).close();
    const Snapshot before = Take();
    f.wnd().QueueFileDialog(path.string());
    f.dlg().OnReadLogAndSave();
    EXPECT_TRUE(Take() == before);
    EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);
}

TEST_F(ReadLogTest, FileWithContentIsReadThroughAndNothingKept) {
    const auto path = m_dir / "data.csv";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 20000; ++i) out << i << ",R12 34\r\n";
    }
    const Snapshot before = Take();
    f.wnd().QueueFileDialog(path.string());
    f.dlg().OnReadLogAndSave();
    EXPECT_TRUE(Take() == before);
    EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);
}

TEST_F(ReadLogTest, MissingFileOrCancelChangesNothingButStillRefreshes) {
    const Snapshot before = Take();
    f.wnd().QueueFileDialog((m_dir / "missing.csv").string());
    f.dlg().OnReadLogAndSave();
    f.wnd().QueueFileDialog("");  // cancelled
    f.dlg().OnReadLogAndSave();
    EXPECT_TRUE(Take() == before);
    EXPECT_EQ(f.wnd().fileDialogs.size(), 2u);
    EXPECT_EQ(f.wnd().WaitCursorDepth(), 0);

    f.dlg().m_status = "member only";  // every ending writes the members out
    f.dlg().OnReadLogAndSave();
    EXPECT_EQ(f.wnd().GetControlText(IDC_STATUS), "member only");
}

TEST(DialogEnd, APendingNotificationReturnsWhenTheDialogGoes) {
    EventLoop loop;
    ScriptedWindow window{loop};
    FakeSerialBackend serial;
    FakePortTable ports = FakePortTable::WithNames({"COM3"});
    OrloEnvironment env;
    env.window = &window;
    env.serial = &serial;
    env.ports = &ports;
    auto dlg = std::make_unique<COrloDlg>(env);
    dlg->OnInitDialog();

    // A reader-like thread notifies while the user-interface thread is busy tearing down.
    std::promise<intptr_t> result;
    std::thread notifier([&] { result.set_value(window.SendMessage(WM_COMM_RX, 0, 0)); });
    dlg.reset();  // the loop is never run: only the window's end can release the sender
    auto future = result.get_future();
    const bool returned = future.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!returned) window.Destroy();
    notifier.join();
    ASSERT_TRUE(returned);
    EXPECT_EQ(future.get(), 0);
    EXPECT_FALSE(window.IsWindow());
}

}  // namespace
}  // namespace orlo::test
