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

// A check data frame with the 16 bytes `fill`, sealed: the answer to a check request.
std::vector<uint8_t> CheckData(uint8_t fill) {
    std::vector<uint8_t> check = {0x04, 0x00, 0x1B, 0x1B, 0x00, 0x3F, 0xE0, 0x00};
    check.resize(24, fill);
    check.insert(check.end(), {0x00, 0x00, 0x03});
    SealFrame(check.data(), check.size());
    return check;
}

const std::vector<uint8_t> kCheckRequest = {0x04, 0x00, 0x0B, 0x1B, 0x00, 0x3F,
                                            0xE0, 0x00, 0xCF, 0xD9, 0x03};

// The command line prints every device line as it comes and keeps only the latest list
// entries: memory does not grow with the lines of a device that talks for hours.
TEST_F(SessionTest, LogKeepsABoundedListAndPrintsEveryLine) {
    CommandSpec log;
    log.kind = CommandKind::Log;
    session->Start(log);
    ASSERT_NE(port(), nullptr);
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

// Before the first frame the run asks for the check block; whatever comes before its answer is
// left over from before and is discarded. Only an answer to the frame awaited restarts the
// timeout: text lines and frames that answer nothing of the run do not.
TEST_F(SessionTest, TheRunIsAlignedByContentAndTheTimeoutCountsOnlyAnswers) {
    CommandSpec check;
    check.kind = CommandKind::Check;
    check.timeout = 10s;
    session->Start(check);
    ASSERT_EQ(Writes(), 1u);
    const std::vector<uint8_t> ownRequest = port()->Writes()[0];
    EXPECT_EQ(ownRequest[3], 0x1B);

    // An ACK and a NAK left on the line by an earlier run drive nothing; as the NAK may also
    // refuse the request itself (damaged on the line), the request is sent once more.
    port()->Inject(kAck);
    port()->Inject({0x04, 0x00, 0x07, 0x15, 0x00, 0x00, 0x03});
    ASSERT_TRUE(PumpUntil([&] { return Writes() == 2u; }));
    EXPECT_EQ(port()->Writes()[1], ownRequest);
    loop.RunOnce(200ms);
    EXPECT_EQ(Writes(), 2u);
    port()->Inject(CheckData(0xAA));  // the answer: the check command's own request goes out
    ASSERT_TRUE(PumpUntil([&] { return Writes() == 3u; }));
    EXPECT_EQ(session->Dialog().m_checkText, "");

    // A text line, a sweep report and a frame of an unknown code answer nothing: the timeout
    // still runs from the request, and no frame is sent for them.
    now += 9900ms;
    port()->Inject({'h', 'i', '\r', '\n'});
    port()->Inject({0x04, 0x00, 0x0B, 0x51, 0x07, 0xD0, 0x03, 0xE8, 0x00, 0x00, 0x03});
    port()->Inject({0x04, 0x00, 0x07, 0x77, 0x00, 0x00, 0x03});
    ASSERT_TRUE(PumpUntil([&] { return session->Window().ListItems(IDC_LIST_LOG).size() == 1; }));
    loop.RunOnce(100ms);
    now += 100ms;
    session->Poll();
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(Writes(), 3u);
    EXPECT_EQ(session->Result().code, ExitCode::Timeout);
    // Each wait is named once after two seconds; the timeout says what to check.
    const std::string waiting =
        "orlo: waiting for the device on COM3 to answer the check request...\n";
    EXPECT_EQ(err.str(), waiting +
                             "orlo: COM3: timeout: the device has not answered for 10 s (the "
                             "check request)\n"
                             "orlo: COM3: check the device's power and cable, that COM3 is its "
                             "port, and that it is ready to be programmed\n");
    session->Close();
    EXPECT_TRUE(port()->Closed());
}

// The last reply of a run counts only once the check request after it is answered first; when
// the frame still in flight answers first, the replies were one step off: not confirmed, and
// nothing of the completion is shown.
TEST_F(SessionTest, AReplyAfterTheLastOneLeavesTheRunNotConfirmed) {
    for (const bool shifted : {false, true}) {
        SCOPED_TRACE(shifted);
        ResetSession();
        CommandSpec command;
        command.kind = CommandKind::Check;
        session->Start(command);
        port()->Inject(CheckData(0x55));  // aligned: the check command's request goes out
        ASSERT_TRUE(PumpUntil([&] { return Writes() == 2u; }));
        std::vector<uint8_t> check = CheckData(0);
        for (uint8_t b = 0; b < 16; ++b) check[8 + b] = b;
        SealFrame(check.data(), check.size());
        port()->Inject(check);  // its answer is held; the check request proves the line
        ASSERT_TRUE(PumpUntil([&] { return Writes() == 3u; }));
        EXPECT_EQ(port()->Writes()[2], kCheckRequest);
        EXPECT_FALSE(session->Finished());
        port()->Inject(shifted ? kAck : CheckData(0x55));
        ASSERT_TRUE(PumpUntil([&] { return session->Finished(); }));
        session->Close();
        EXPECT_EQ(session->Result().code, shifted ? ExitCode::DeviceFailure : ExitCode::Completed);
        EXPECT_EQ(out.str().find("00 01 02") != std::string::npos, !shifted);
        EXPECT_EQ(err.str().find("not confirmed") != std::string::npos, shifted);
    }
}

// A NAK is acted on (the frame sent again) only once the check request after it is answered
// first: a NAK that came for an earlier frame would have the wrong block sent again.
TEST_F(SessionTest, ANakIsActedOnOnlyOnceTheLineIsProvenInStep) {
    imagePath = fs::temp_directory_path() / ("orlo-session-" + std::to_string(::getpid()) + ".dat");
    std::ofstream(imagePath, std::ios::binary) << 'U';
    std::vector<uint8_t> nak = {0x04, 0x00, 0x07, 0x15, 0x00, 0x00, 0x03};
    SealFrame(nak.data(), nak.size());
    for (const bool shifted : {false, true}) {
        SCOPED_TRACE(shifted);
        ResetSession();
        CommandSpec program;
        program.kind = CommandKind::Program;
        program.region = RegionId::User;
        program.path = imagePath.string();
        session->Start(program);
        port()->Inject(CheckData(0x55));
        ASSERT_TRUE(PumpUntil([&] { return Writes() == 2u; }));  // the start frame
        port()->Inject(kAck);
        ASSERT_TRUE(PumpUntil([&] { return Writes() == 3u; }));  // the write block
        port()->Inject(nak);
        ASSERT_TRUE(PumpUntil([&] { return Writes() == 4u; }));
        EXPECT_EQ(port()->Writes()[3], kCheckRequest);  // not yet the block again
        port()->Inject(shifted ? kAck : CheckData(0x55));
        if (shifted) {
            ASSERT_TRUE(PumpUntil([&] { return session->Finished(); }));
            EXPECT_EQ(Writes(), 4u);
            session->Close();
            EXPECT_EQ(session->Result().code, ExitCode::DeviceFailure);
            EXPECT_NE(err.str().find("not confirmed"), std::string::npos);
            EXPECT_EQ(out.str().find("Programming completed"), std::string::npos);
        } else {
            ASSERT_TRUE(PumpUntil([&] { return Writes() == 5u; }));
            EXPECT_EQ(port()->Writes()[4], port()->Writes()[2]);  // the write block again
            EXPECT_FALSE(session->Finished());
        }
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
    port()->Inject(CheckData(0x55));
    ASSERT_TRUE(PumpUntil([&] { return Writes() == 2u; }));  // the start frame

    // Start, one write block, one verify block: each answered; the verify's ACK is proven
    // by the check request before the finish frame goes out.
    for (std::size_t frame = 2; frame <= 4; ++frame) {
        port()->Inject(kAck);
        ASSERT_TRUE(PumpUntil([&] { return Writes() == frame + 1; })) << frame;
    }
    EXPECT_EQ(port()->Writes().back(), kCheckRequest);
    port()->Inject(CheckData(0x55));
    ASSERT_TRUE(PumpUntil([&] { return Writes() == 6u; }));
    EXPECT_EQ(port()->Writes().back(),
              (std::vector<uint8_t>{0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03}));
    EXPECT_EQ(session->Dialog().m_countdown, 1u);
    // The window closes the port after the finish frame, and so does the command line now.
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
    // The port named once, the system's sentence as a clause.
    EXPECT_EQ(err.str(), "Can not use COM port!\norlo: COM3 does not exist\n");
}

// A reply that stays damaged ends with the window's "Tx Error" and a sentence that says the
// device answered but its reply stayed damaged.
TEST_F(SessionTest, AReplyThatStaysDamagedIsSaidToBeDamaged) {
    CommandSpec check;
    check.kind = CommandKind::Check;
    session->Start(check);
    port()->Inject(CheckData(0x55));
    ASSERT_TRUE(PumpUntil([&] { return Writes() == 2u; }));
    for (uint8_t attempt = 0; attempt < 5; ++attempt) {
        std::vector<uint8_t> reply = {0x04, 0x00, 0x1B, 0x1B, 0x00, 0x3F, 0xE0, 0x00};
        reply.resize(24, attempt);  // different data each time, and a CRC that never fits
        reply.insert(reply.end(), {0x12, 0x34, 0x03});
        const std::size_t before = Writes();
        port()->Inject(reply);  // held while the check request proves the line
        ASSERT_TRUE(PumpUntil([&] { return Writes() == before + 1; }));
        port()->Inject(CheckData(0x55));
        ASSERT_TRUE(PumpUntil([&] { return Writes() == before + 2 || session->Finished(); }));
    }
    ASSERT_TRUE(session->Finished());
    EXPECT_EQ(session->Result().code, ExitCode::DeviceFailure);
    EXPECT_EQ(session->Result().message, "Tx Error");
    EXPECT_NE(err.str().find("the device's reply stayed damaged"), std::string::npos) << err.str();
    EXPECT_EQ(session->Dialog().m_checkText, "");
}

}  // namespace
}  // namespace orlo::cli
