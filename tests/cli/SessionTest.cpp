// One session in-process, on the fake serial backend with its clock in the test's hands: when
// a run times out, and when it must not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Session.h"
#include "protocol/Crc16.h"
#include "support/FakeSerial.h"

namespace orlo::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<uint8_t> kAck = {0x04, 0x00, 0x07, 0x06, 0x42, 0x14, 0x03};

class SessionTest : public ::testing::Test {
  protected:
    SessionTest() { MakeSession(); }
    void ResetSession() {
        session.reset();
        out.str({});
        err.str({});
        MakeSession();
    }
    void MakeSession() {
        PortEndpoint endpoint;
        endpoint.label = "COM3";
        endpoint.comName = "COM3";
        endpoint.path = "/dev/fakeCOM3";
        endpoint.table = std::make_unique<orlo::test::FakePortTable>(
            orlo::test::FakePortTable::WithNames({"COM3"}));
        auto backend = std::make_unique<orlo::test::FakeSerialBackend>();
        serial = backend.get();
        endpoint.backend = std::move(backend);
        session =
            std::make_unique<Session>(loop, std::move(endpoint), reporter, [this] { return now; });
    }
    ~SessionTest() override {
        session.reset();
        std::error_code ec;
        fs::remove(imagePath, ec);
    }

    orlo::test::FakeTransport* port() { return serial->last.get(); }
    std::size_t Writes() { return port() ? port()->Writes().size() : 0; }
    // Runs the loop until the reader has delivered what was injected and the dialog answered.
    bool PumpUntil(const std::function<bool()>& done) { return loop.RunUntil(done, 10s); }

    EventLoop loop;
    std::ostringstream out, err;
    Reporter reporter{out, err, ReporterOptions{}};
    Session::Clock::time_point now{};
    orlo::test::FakeSerialBackend* serial = nullptr;
    std::unique_ptr<Session> session;
    fs::path imagePath;
};

// A check whose line has settled: the request is on the wire.
void SettleAndSend(Session& session, Session::Clock::time_point& now) {
    now += 10ms;
    session.Poll();
}

// The command line prints every device line as it comes and keeps only the latest list
// entries: memory does not grow with the lines of a device that talks for hours.
TEST_F(SessionTest, LogKeepsABoundedListAndPrintsEveryLine) {
    CommandSpec log;
    log.kind = CommandKind::Log;
    session->Start(log);
    ASSERT_NE(port(), nullptr);
    SettleAndSend(*session, now);
    constexpr int kLines = 1000;
    std::vector<uint8_t> bytes;
    std::string expected;
    for (int i = 0; i < kLines; ++i) {
        const std::string line = "line " + std::to_string(i);
        expected += line + "\n";
        bytes.insert(bytes.end(), line.begin(), line.end());
        bytes.insert(bytes.end(), {'\r', '\n'});
    }
    port()->Inject(bytes);
    ASSERT_TRUE(PumpUntil([&] { return out.str().size() >= expected.size(); }));
    EXPECT_EQ(out.str(), expected);
    const auto items = session->Window().ListItems(IDC_LIST_LOG);
    EXPECT_LE(items.size(), 2 * ConsoleWindow::kLogEntriesKept);
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.back(), "line 999\r\n");
    EXPECT_EQ(session->Window().Control(IDC_LIST_LOG).curSel, static_cast<int>(items.size()) - 1);
}

TEST_F(SessionTest, TheLineSettlesBeforeTheFirstFrameAndTheTimeoutCountsOnlyReplies) {
    CommandSpec check;
    check.kind = CommandKind::Check;
    check.timeout = 10s;
    session->Start(check);
    ASSERT_NE(port(), nullptr);
    EXPECT_EQ(Writes(), 0u);  // settling

    // A check reply left over from an earlier run arrives while the line settles: it is
    // dropped unread and the quiet time starts again.
    std::vector<uint8_t> stale = {0x04, 0x00, 0x1B, 0x1B, 0x00, 0x3F, 0xE0, 0x00};
    stale.resize(24, 0xAA);
    stale.insert(stale.end(), {0x00, 0x00, 0x03});
    now += 8ms;
    port()->Inject(stale);
    ASSERT_TRUE(PumpUntil([&] { return port()->BytesWaiting() == 0; }));
    loop.RunOnce(200ms);  // the reader's notification of those bytes
    now += 8ms;
    session->Poll();
    EXPECT_EQ(Writes(), 0u);
    now += 2ms;
    session->Poll();
    ASSERT_EQ(Writes(), 1u);  // the check request, after 10 ms of quiet
    EXPECT_EQ(session->Dialog().m_checkText, "");

    // A text line is not an answer: the timeout still runs from the request.
    now += 9900ms;
    port()->Inject({'h', 'i', '\r', '\n'});
    ASSERT_TRUE(PumpUntil([&] { return session->Window().ListItems(IDC_LIST_LOG).size() == 1; }));
    now += 100ms;
    session->Poll();
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::Timeout);
    // Each wait is named once after two seconds; the timeout says what to check.
    const std::string waiting = "waiting for the device on COM3 to answer the check request...\n";
    EXPECT_EQ(err.str(), waiting +
                             "orlo: COM3: timeout: the device has not answered for 10 s (the "
                             "check request)\n"
                             "orlo: COM3: check the device's power and cable, that COM3 is its "
                             "port, and that it is ready to be programmed\n");
    session->Close();
    EXPECT_TRUE(port()->Closed());
}

// After the reply that completes a run, a further reply within the grace means the run's
// replies may have been one step off: not confirmed.
TEST_F(SessionTest, AFurtherReplyWithinTheGraceLeavesTheRunNotConfirmed) {
    std::vector<uint8_t> check = {0x04, 0x00, 0x1B, 0x1B, 0x00, 0x3F, 0xE0, 0x00};
    for (uint8_t b = 0; b < 16; ++b) check.push_back(b);
    check.insert(check.end(), {0x00, 0x00, 0x03});
    SealFrame(check.data(), check.size());
    for (const bool extra : {false, true}) {
        SCOPED_TRACE(extra);
        ResetSession();
        CommandSpec command;
        command.kind = CommandKind::Check;
        command.grace = 10ms;
        session->Start(command);
        SettleAndSend(*session, now);
        ASSERT_EQ(Writes(), 1u);
        now += 100ms;  // 97 ms of it the device's: the grace is 3 ms of line time and three times that
        port()->Inject(check);
        ASSERT_TRUE(PumpUntil([&] { return !session->Dialog().m_checkText.empty(); }));
        now += 290ms;
        if (extra) {
            port()->Inject(kAck);
            ASSERT_TRUE(PumpUntil([&] { return session->Finished(); }));
        }
        session->Poll();
        EXPECT_EQ(session->Finished(), extra);
        now += 10ms;
        session->Poll();
        ASSERT_TRUE(session->Finished());
        session->Close();
        EXPECT_EQ(session->Result().code, extra ? ExitCode::DeviceFailure : ExitCode::Completed);
        EXPECT_EQ(out.str().find("00 01 02") != std::string::npos, !extra);
        EXPECT_EQ(err.str().find("not confirmed") != std::string::npos, extra);
    }
}

TEST_F(SessionTest, TheApplicationCountdownIsNotATimeout) {
    imagePath = fs::temp_directory_path() / ("orlo-session-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(imagePath, std::ios::binary) << 'A';
    auto loopNow = EventLoop::Clock::now();
    loop.SetClock([&] { return loopNow; });

    CommandSpec program;
    program.kind = CommandKind::Program;
    program.region = RegionId::Application;
    program.path = imagePath.string();
    program.timeout = 10s;
    session->Start(program);
    SettleAndSend(*session, now);
    ASSERT_EQ(Writes(), 1u);  // the start frame

    // Start, one write block, one verify block: each answered, then the finish frame.
    for (std::size_t frame = 1; frame <= 3; ++frame) {
        port()->Inject(kAck);
        ASSERT_TRUE(PumpUntil([&] { return Writes() == frame + 1; })) << frame;
    }
    EXPECT_EQ(port()->Writes().back(),
              (std::vector<uint8_t>{0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03}));
    EXPECT_EQ(session->Dialog().m_countdown, 1u);
    // The port stays open for the grace; the finish frame's own ACK is allowed.
    EXPECT_FALSE(port()->Closed());
    port()->Inject(kAck);
    ASSERT_TRUE(PumpUntil([&] { return session->Dialog().m_status == "Ready"; }));
    now += 10ms;
    session->Poll();
    EXPECT_TRUE(port()->Closed());

    // The port is closed by design while the device finishes: no answer is owed.
    now += 60s;
    session->Poll();
    EXPECT_FALSE(session->Finished());

    loopNow += 1s;
    loop.RunOnce(0ms);
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::Completed);
    EXPECT_EQ(session->Result().message,
              "Programming completed of Application data, and Remove Target");
    EXPECT_EQ(err.str(), "");
}

TEST_F(SessionTest, LogRunsForItsDurationWithoutWaitingForAnswers) {
    CommandSpec log;
    log.kind = CommandKind::Log;
    log.timeout = 0s;  // the log's own default: a silent device is waited for
    log.duration = 5s;
    session->Start(log);
    now += 4900ms;
    session->Poll();
    EXPECT_FALSE(session->Finished());
    now += 100ms;
    session->Poll();
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::Completed);
    EXPECT_EQ(Writes(), 0u);  // logging sends nothing
}

TEST_F(SessionTest, AFailedOpenShowsTheWindowsMessageAndTheReason) {
    serial->refuse = {"COM3"};
    CommandSpec check;
    check.kind = CommandKind::Check;
    session->Start(check);
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::PortFailure);
    EXPECT_EQ(session->Result().message, "Can not use COM port!");
    EXPECT_EQ(err.str(), "Can not use COM port!\norlo: COM3: COM3 does not exist.\n");
}

// A reply that stays damaged ends with the window's "Tx Error" and a sentence that says the
// device answered but its reply stayed damaged.
TEST_F(SessionTest, AReplyThatStaysDamagedIsSaidToBeDamaged) {
    CommandSpec check;
    check.kind = CommandKind::Check;
    session->Start(check);
    SettleAndSend(*session, now);
    for (uint8_t attempt = 0; attempt < 5; ++attempt) {
        std::vector<uint8_t> reply = {0x04, 0x00, 0x1B, 0x1B, 0x00, 0x3F, 0xE0, 0x00};
        reply.resize(24, attempt);  // different data each time, and a CRC that never fits
        reply.insert(reply.end(), {0x12, 0x34, 0x03});
        port()->Inject(reply);
        ASSERT_TRUE(PumpUntil([&] { return Writes() == attempt + 2u || session->Finished(); }));
    }
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::DeviceFailure);
    EXPECT_EQ(session->Result().message, "Tx Error");
    EXPECT_NE(err.str().find("the device's reply stayed damaged"), std::string::npos) << err.str();
    EXPECT_EQ(session->Dialog().m_checkText, "");
}

}  // namespace
}  // namespace orlo::cli
