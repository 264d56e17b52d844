// The port object over a real pseudo-terminal: reads of at most 80 bytes with one notification
// each, the ring's producer rule, bytes passing unaltered both ways, closing from inside a
// notification, reopening, and the failures of open.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "posix/PosixSerial.h"
#include "serial/SerialTestKit.h"
#include "support/Pty.h"

namespace orlo::test {
namespace {

constexpr uint8_t kPtyPort = 5;  // opened as \\.\COM5, which the table maps to the pty

// A port object on the slave side of a pseudo-terminal, drained by its own window.
class CommOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        table = TableFor({{"COM5", pty.SlavePath()}, {"COM7", "/nonexistent/orlo-tty"}});
        rx.Attach(comm);
        SetDeviceLine(comm, kPtyPort);
    }
    // The window goes first, so a notification still under way returns and the port object
    // can wait for its reader.
    ~CommOverPty() override { rx.window.Destroy(); }

    Pty pty;
    FakePortTable table;
    PosixSerialBackend backend{&table};
    RxWindow rx;
    CComm comm{&backend};
};

TEST_F(CommOverPty, WaitingBytesAreReadEightyAtATimeWithOneNotificationEach) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const std::vector<uint8_t> burst = Pattern(200, 0x30);
    // While the window handles the first notification, 200 more bytes arrive; the reader
    // finds all of them waiting as soon as the notification returns.
    rx.afterDrain = [&](std::size_t n) {
        if (n != 0) return;
        ASSERT_TRUE(pty.Write(burst));
        ASSERT_TRUE(pty.WaitSlaveInput(200));
    };
    ASSERT_TRUE(pty.Write({0xA5}));
    ASSERT_TRUE(rx.PumpBytes(201));

    EXPECT_EQ(rx.readSizes, (std::vector<int>{1, 80, 80, 40}));
    std::vector<uint8_t> expected{0xA5};
    expected.insert(expected.end(), burst.begin(), burst.end());
    EXPECT_EQ(rx.received, expected);
    comm.ClosePort();
}

TEST_F(CommOverPty, RingWrapsFromIndex1000AndKeepsIndicesUpTo1024) {
    // One byte takes the producer index from 999 to 1000; the 80 bytes that are waiting when
    // its notification returns go to 1000..1023 and 0..55.
    comm.m_rxHead = comm.m_rxTail = 999;
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const std::vector<uint8_t> eighty = Pattern(80, 0x11);
    rx.afterDrain = [&](std::size_t n) {
        if (n != 0) return;
        EXPECT_EQ(comm.m_rxTail, 1000);
        ASSERT_TRUE(pty.Write(eighty));
        ASSERT_TRUE(pty.WaitSlaveInput(80));
    };
    ASSERT_TRUE(pty.Write({0x7E}));
    ASSERT_TRUE(rx.PumpBytes(81));
    comm.ClosePort();
    ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));

    EXPECT_EQ(rx.readSizes, (std::vector<int>{1, 80}));
    EXPECT_EQ(rx.tailOnEntry, (std::vector<int>{1000, 56}));
    EXPECT_EQ(comm.m_rxTail, 56);
    EXPECT_EQ(comm.m_rxHead, 56);
    EXPECT_EQ(comm.m_rxRing[999], 0x7E);
    for (int i = 0; i < 80; ++i)
        EXPECT_EQ(comm.m_rxRing[(1000 + i) % RX_RING_SIZE], eighty[static_cast<std::size_t>(i)])
            << "byte " << i;
}

TEST_F(CommOverPty, IndexReaches1024AndTheNextByteGoesToZero) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const std::vector<uint8_t> first = Pattern(1024, 0x01);
    ASSERT_TRUE(pty.Write(first));
    ASSERT_TRUE(rx.PumpBytes(1024));
    // The producer reduces its index only before it stores, so after exactly 1024 bytes both
    // indices hold 1024, not 0. (The ring is looked at inside notifications only, as the
    // receive assembler does; outside them the reader may be storing.)
    EXPECT_EQ(rx.indicesAfterDrain.back(), (std::pair<int, int>{1024, 1024}));

    const uint8_t next = static_cast<uint8_t>(first[0] ^ 0xFF);
    ASSERT_TRUE(pty.Write({next}));
    ASSERT_TRUE(rx.PumpBytes(1025));
    comm.ClosePort();
    ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));
    EXPECT_EQ(comm.m_rxRing[0], next);
    EXPECT_EQ(comm.m_rxTail, 1);
    EXPECT_EQ(comm.m_rxHead, 1);
    EXPECT_EQ(std::vector<uint8_t>(rx.received.begin(), rx.received.begin() + 1024), first);
}

TEST_F(CommOverPty, EveryByteValuePassesUnalteredBothWaysOnACookedTerminal) {
    // Precondition: the terminal starts with line editing, echo, CR/LF translation and
    // software flow control on, as a new terminal does.
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    ASSERT_TRUE(before.c_lflag & ECHO);
    ASSERT_TRUE(before.c_iflag & ICRNL);
    ASSERT_TRUE(before.c_oflag & OPOST);

    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    // Every value up and then down again, so CR LF, LF CR and the flow-control characters
    // also meet each other.
    std::vector<uint8_t> twice;
    for (int i = 0; i < 512; ++i) twice.push_back(static_cast<uint8_t>(i < 256 ? i : 511 - i));

    ASSERT_TRUE(pty.Write(twice));
    ASSERT_TRUE(rx.PumpBytes(twice.size()));
    EXPECT_EQ(rx.received, twice);

    ASSERT_TRUE(comm.Write(twice.data(), twice.size()));
    EXPECT_EQ(pty.Read(twice.size()), twice);
    comm.ClosePort();
    // Nothing was echoed back to the device either.
    EXPECT_TRUE(pty.Drain(std::chrono::milliseconds(0)).empty());
}

TEST_F(CommOverPty, ClosingInsideANotificationEndsTheReaderWithoutFurtherNotifications) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    rx.afterDrain = [&](std::size_t n) {
        if (n != 0) return;
        // More bytes are waiting when the close comes; none of them may be delivered.
        ASSERT_TRUE(pty.Write(Pattern(100)));
        ASSERT_TRUE(pty.WaitSlaveInput(100));
        comm.ClosePort();
    };
    ASSERT_TRUE(pty.Write({0x42}));
    ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));

    EXPECT_EQ(rx.readSizes, std::vector<int>{1});
    EXPECT_EQ(comm.m_bConnected.load(), 0);
    EXPECT_FALSE(comm.m_hComm);
}

TEST_F(CommOverPty, AFrameHandedToThePortBeforeTheCloseArrivesInFull) {
    // The application finish frame is written and the port closed straight after; the close
    // must not discard it. With the pair's own slave closed, the port's close is the last.
    pty.CloseSlave();
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const std::vector<uint8_t> finish{0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03};
    const std::vector<uint8_t> block = Pattern(4107, 0x55);
    ASSERT_TRUE(comm.Write(block.data(), block.size()));
    ASSERT_TRUE(comm.Write(finish.data(), finish.size()));
    comm.ClosePort();

    std::vector<uint8_t> expected = block;
    expected.insert(expected.end(), finish.begin(), finish.end());
    const std::vector<uint8_t> got = pty.Read(expected.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(CommOverPty, ALargeWriteIsQueuedWhileTheLineIsFullAndArrivesCompleteAndInOrder) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    // The device reads nothing yet, so the terminal's buffers fill long before this is out;
    // a write that waited for the line would not return until the device reads.
    const std::vector<uint8_t> filler = Pattern(1 << 20, 0x21);
    const std::vector<uint8_t> frame = Pattern(4107, 0x99);
    ASSERT_TRUE(comm.Write(filler.data(), filler.size()));
    ASSERT_TRUE(comm.Write(frame.data(), frame.size()));
    EXPECT_GE(comm.m_hComm->PendingOutput(), frame.size());

    std::vector<uint8_t> expected = filler;
    expected.insert(expected.end(), frame.begin(), frame.end());
    const std::vector<uint8_t> got = pty.Read(expected.size(), std::chrono::seconds(30));
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    comm.ClosePort();
}

TEST_F(CommOverPty, ClosingWhenTheDeviceHasGoneDoesNotHang) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const std::vector<uint8_t> frame = Pattern(4107);
    pty.CloseMaster();
    ASSERT_TRUE(comm.Write(frame.data(), frame.size()));
    comm.ClosePort();  // the writer drops what the vanished device cannot take
    ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));
    EXPECT_TRUE(rx.readSizes.empty());
}

TEST_F(CommOverPty, OpeningAPathThatDoesNotExistFailsCleanly) {
    SetDeviceLine(comm, 7);  // \\.\COM7, mapped to a path that does not exist
    comm.m_bConnected = 0;
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.LastOpenResult().error, SerialError::NotFound);
    EXPECT_NE(comm.LastOpenResult().message.find("COM7"), std::string::npos);
    EXPECT_FALSE(comm.m_hComm);
    EXPECT_EQ(comm.m_bConnected.load(), 0);
    EXPECT_EQ(CommTestAccess::RunningReaders(comm), 0);

    // A port number the table does not know fails the same way.
    SetDeviceLine(comm, 3);
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.LastOpenResult().error, SerialError::NotFound);
    EXPECT_NE(comm.LastOpenResult().message.find("COM3"), std::string::npos);
}

TEST_F(CommOverPty, TheLineSettingsReachTheTerminal) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);  // the characters are set, flow control is off
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    comm.ClosePort();

    // A speed the line cannot run at is refused, and nothing stays open or locked.
    comm.m_baudRate = 12345;
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.LastOpenResult().error, SerialError::BadSettings);
    EXPECT_EQ(comm.LastOpenResult().message,
              "The serial port \\\\.\\COM5 refused the line settings.");
    EXPECT_FALSE(comm.m_hComm);
    comm.m_baudRate = 115200;
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    comm.ClosePort();
}

TEST_F(CommOverPty, ASecondOpenWhileConnectedIsRefusedAndKeepsTheFirst) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.m_bConnected.load(), 1);
    ASSERT_TRUE(pty.Write({1, 2, 3}));
    ASSERT_TRUE(rx.PumpBytes(3));
    EXPECT_EQ(rx.received, (std::vector<uint8_t>{1, 2, 3}));
    comm.ClosePort();
}

// Records, per connection, the first and last moment its reader is active: every reader call
// on the transport and every notification it sends. Intervals of two connections must not
// overlap.
class ReaderRecorder {
  public:
    void Mark(int connection) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const long seq = ++m_seq;
        auto [it, added] = m_spans.try_emplace(connection, seq, seq);
        if (!added) it->second.second = seq;
    }
    std::map<int, std::pair<long, long>> Spans() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_spans;
    }
    static thread_local int current;  // the connection whose reader runs on this thread

  private:
    mutable std::mutex m_mutex;
    long m_seq = 0;
    std::map<int, std::pair<long, long>> m_spans;
};
thread_local int ReaderRecorder::current = 0;

class RecordingTransport : public ForwardingTransport {
  public:
    RecordingTransport(std::shared_ptr<ISerialTransport> inner, ReaderRecorder& rec, int id)
        : ForwardingTransport(std::move(inner)), m_rec(rec), m_id(id) {}
    bool ArmReader() override {
        ReaderRecorder::current = m_id;
        return Around([&] { return m_inner->ArmReader(); });
    }
    bool WaitForData() override {
        return Around([&] { return m_inner->WaitForData(); });
    }
    int BytesWaiting() override {
        return Around([&] { return m_inner->BytesWaiting(); });
    }
    int Read(uint8_t* b, int n) override {
        return Around([&] { return m_inner->Read(b, n); });
    }

  private:
    template <typename F>
    auto Around(F f) -> decltype(f()) {
        m_rec.Mark(m_id);
        auto result = f();
        m_rec.Mark(m_id);
        return result;
    }
    ReaderRecorder& m_rec;
    int m_id;
};

class RecordingBackend : public ISerialBackend {
  public:
    RecordingBackend(ISerialBackend& inner, ReaderRecorder& rec) : m_inner(inner), m_rec(rec) {}
    std::shared_ptr<ISerialTransport> Open(const std::string& name,
                                           SerialOpenResult* result) override {
        auto t = m_inner.Open(name, result);
        if (!t) return nullptr;
        return std::make_shared<RecordingTransport>(t, m_rec, ++opened);
    }
    int opened = 0;

  private:
    ISerialBackend& m_inner;
    ReaderRecorder& m_rec;
};

// A window that also marks the notifications on the reader's side of the send.
class RecordingWindow : public ScriptedWindow {
  public:
    RecordingWindow(EventLoop& loop, ReaderRecorder& rec) : ScriptedWindow(loop), m_rec(rec) {}
    intptr_t SendMessage(uint32_t msg, uintptr_t w, intptr_t l) override {
        const bool fromReader = !Loop().InLoopThread();
        if (fromReader) m_rec.Mark(ReaderRecorder::current);
        const intptr_t result = ScriptedWindow::SendMessage(msg, w, l);
        if (fromReader) m_rec.Mark(ReaderRecorder::current);
        return result;
    }

  private:
    ReaderRecorder& m_rec;
};

TEST(CommReopen, CloseAndReopenInALoopNeverRunsTwoReaders) {
    Pty pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    FakePortTable table = TableFor({{"COM5", pty.SlavePath()}});
    PosixSerialBackend posix(&table);
    ReaderRecorder recorder;
    RecordingBackend backend(posix, recorder);
    EventLoop loop;
    RecordingWindow window(loop, recorder);
    std::vector<uint8_t> received;
    int notifications = 0;
    CComm comm(&backend);
    bool closeInside = false;
    window.SetWndProc([&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg != WM_COMM_RX) return 0;
        ++notifications;
        while (comm.m_rxHead != comm.m_rxTail) {
            comm.m_rxHead %= RX_RING_SIZE;
            received.push_back(comm.m_rxRing[comm.m_rxHead]);
            ++comm.m_rxHead;
        }
        if (closeInside) comm.ClosePort();
        return 0;
    });
    comm.m_hNotifyWnd = &window;
    SetDeviceLine(comm, kPtyPort);

    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        // Every other round closes from inside the notification, and the next open follows
        // while that reader may still be on its way out.
        closeInside = round % 2 == 1;
        ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
        const uint8_t value = static_cast<uint8_t>(round);
        ASSERT_TRUE(pty.Write({value}));
        ASSERT_TRUE(loop.RunUntil([&] { return !received.empty(); }, std::chrono::seconds(10)));
        EXPECT_EQ(received, std::vector<uint8_t>{value});
        received.clear();
        if (!closeInside) comm.ClosePort();
    }
    ASSERT_TRUE(loop.RunUntil([&] { return CommTestAccess::RunningReaders(comm) == 0; },
                              std::chrono::seconds(10)));
    window.Destroy();

    const auto spans = recorder.Spans();
    ASSERT_EQ(spans.size(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(notifications, kRounds);
    long lastEnd = 0;
    for (const auto& [connection, span] : spans) {
        EXPECT_GT(span.first, lastEnd) << "the reader of connection " << connection
                                       << " ran while the one before it was still running";
        lastEnd = span.second;
    }
}

TEST(CommFake, AReaderWhoseWakeUpCannotBePreparedSaysSoAndLeavesThePortOpen) {
    FakeSerialBackend backend;
    backend.failArm = true;
    RxWindow rx;
    {
        CComm comm(&backend);
        rx.Attach(comm);
        SetDeviceLine(comm, 3);
        ASSERT_TRUE(comm.OpenPort());
        ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));
        const auto boxes = rx.window.ThreadBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Failed to create event for thread!");
        EXPECT_EQ(boxes[0].caption, "comm Error!");
        EXPECT_EQ(boxes[0].type, MB_ICONWARNING);
        EXPECT_EQ(comm.m_bConnected.load(), 1);
        EXPECT_TRUE(comm.m_hComm);
        comm.ClosePort();
        EXPECT_TRUE(backend.last->Closed());
    }
    EXPECT_EQ(rx.readSizes.size(), 0u);
}

TEST(CommFake, RefusedSettingsCloseThePortAndStartNoReader) {
    FakeSerialBackend backend;
    backend.failConfigure = true;
    RxWindow rx;
    CComm comm(&backend);
    rx.Attach(comm);
    SetDeviceLine(comm, 12);
    comm.m_bConnected = 1;  // the refusal clears the flag
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.m_bConnected.load(), 0);
    EXPECT_FALSE(comm.m_hComm);
    EXPECT_TRUE(backend.last->Closed());
    EXPECT_EQ(CommTestAccess::RunningReaders(comm), 0);
    EXPECT_EQ(backend.opened, std::vector<std::string>{"\\\\.\\COM12"});
    const LineSettings s = backend.last->Settings();
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.xonChar, 0x11);
    EXPECT_EQ(s.xoffChar, 0x13);
    EXPECT_EQ(s.xonLim, 100);
    EXPECT_EQ(s.xoffLim, 100);
}

TEST(CommFake, AFailedOpenLeavesTheConnectedFlagAsItWas) {
    FakeSerialBackend backend;
    backend.refuse = {"COM4"};
    CComm comm(&backend);
    SetDeviceLine(comm, 4);
    comm.m_bConnected = 1;  // only a refused setting clears it; a failed open does not
    EXPECT_FALSE(comm.OpenPort());
    EXPECT_EQ(comm.m_bConnected.load(), 1);
    EXPECT_FALSE(comm.m_hComm);
    comm.m_bConnected = 0;
}

TEST(CommFake, ClosingWithNoPortOpenOnlyReleasesTheTransferEvents) {
    FakeSerialBackend backend;
    CComm comm(&backend);
    comm.m_olRead.hEvent = backend.CreateTransferEvent();
    comm.m_olWrite.hEvent = backend.CreateTransferEvent();
    comm.ClosePort();
    EXPECT_FALSE(comm.m_olRead.hEvent);
    EXPECT_FALSE(comm.m_olWrite.hEvent);
    EXPECT_EQ(backend.last, nullptr);
    comm.ClosePort();  // and again, with nothing left at all
}

TEST(CommFake, AWriteWithNoPortOpenIsRefused) {
    FakeSerialBackend backend;
    CComm comm(&backend);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_FALSE(comm.Write(bytes, sizeof bytes));

    SetDeviceLine(comm, 3);
    RxWindow rx;
    rx.Attach(comm);
    ASSERT_TRUE(comm.OpenPort());
    auto transport = backend.last;
    comm.ClosePort();
    EXPECT_FALSE(comm.Write(bytes, sizeof bytes));
    EXPECT_TRUE(transport->Writes().empty());
    EXPECT_TRUE(transport->DtrDropped());
    ASSERT_TRUE(rx.Pump([&] { return CommTestAccess::RunningReaders(comm) == 0; }));
    rx.window.Destroy();
}

struct PortNameCase {
    int port;
    const char* name;
};

class PortNames : public ::testing::TestWithParam<PortNameCase> {};

TEST_P(PortNames, ShortNamesUpToFourDeviceNamespaceFromFive) {
    EXPECT_EQ(CComm::BuildPortName(static_cast<uint8_t>(GetParam().port)), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(CComm, PortNames,
                         ::testing::Values(PortNameCase{0, "COM0"}, PortNameCase{1, "COM1"},
                                           PortNameCase{4, "COM4"}, PortNameCase{5, "\\\\.\\COM5"},
                                           PortNameCase{12, "\\\\.\\COM12"},
                                           PortNameCase{255, "\\\\.\\COM255"}));

}  // namespace
}  // namespace orlo::test
