// The POSIX transport on its own: how names become devices, exclusive use, the reader's wait
// and wake-up, a hung-up line, the state after Close, and the one errno mapping.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <thread>

#include "posix/PosixSerial.h"
#include "posix/SerialErrors.h"
#include "serial/SerialTestKit.h"
#include "support/Pty.h"

namespace orlo::test {
namespace {

using namespace std::chrono_literals;

class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        table = TableFor({{"COM3", pty.SlavePath()}, {"COM12", pty.SlavePath()}});
    }
    std::shared_ptr<ISerialTransport> Open(const std::string& name) {
        return backend.Open(name, &result);
    }

    Pty pty;
    FakePortTable table;
    PosixSerialBackend backend{&table};
    SerialOpenResult result;
};

TEST_F(PosixPort, NamesAreResolvedThroughThePortTableOrUsedAsPaths) {
    for (const std::string name : {"COM3", "\\\\.\\COM12", pty.SlavePath().c_str()}) {
        SCOPED_TRACE(name);
        auto port = Open(name);
        ASSERT_TRUE(port) << result.message;
        EXPECT_EQ(result.error, SerialError::None);
        EXPECT_TRUE(result.message.empty());
        ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>("ok"), 2));
        EXPECT_EQ(pty.Read(2), (std::vector<uint8_t>{'o', 'k'}));
        port->Close();
    }
}

TEST_F(PosixPort, UnknownNamesMissingPathsAndOtherDevicesFailWithTheirOwnError) {
    EXPECT_FALSE(Open("COM9"));
    EXPECT_EQ(result.error, SerialError::NotFound);
    EXPECT_EQ(result.message,
              "The serial port COM9 does not exist. It may have been unplugged: plug it in and "
              "try again.");

    EXPECT_FALSE(Open("/nonexistent/ttyUSB0"));
    EXPECT_EQ(result.error, SerialError::NotFound);
    EXPECT_EQ(result.message,
              "The serial port /nonexistent/ttyUSB0 does not exist. It may have been unplugged: "
              "plug it in and try again.");

    EXPECT_FALSE(Open("/dev/null"));
    EXPECT_EQ(result.error, SerialError::NotASerialDevice);
    EXPECT_EQ(result.message, "/dev/null is not a serial device.");

    PosixSerialBackend noTable;
    EXPECT_FALSE(noTable.Open("COM3", &result));
    EXPECT_EQ(result.error, SerialError::NotFound);
}

TEST_F(PosixPort, ThePortIsHeldExclusivelyAndFreedAtOnceByClose) {
    auto first = Open("COM3");
    ASSERT_TRUE(first) << result.message;
    EXPECT_FALSE(Open("COM3"));
    EXPECT_EQ(result.error, SerialError::Busy);
    EXPECT_EQ(result.message,
              "The serial port COM3 (" + pty.SlavePath() + ") is in use by another program.");

    // The reader may still sit in its wait when the port is closed; the port is free anyway.
    ASSERT_TRUE(first->ArmReader());
    auto waiting = std::async(std::launch::async, [&] { return first->WaitForData(); });
    first->Close();
    EXPECT_FALSE(waiting.get());
    auto second = Open("COM3");
    EXPECT_TRUE(second) << result.message;
}

TEST_F(PosixPort, WakeReaderEndsAPendingWaitAndDataEndsItWithTrue) {
    auto port = Open("COM3");
    ASSERT_TRUE(port) << result.message;
    ASSERT_TRUE(port->Configure({115200, 8, 0, 0, 0x11, 0x13, 100, 100}));
    ASSERT_TRUE(port->ArmReader());

    auto woken = std::async(std::launch::async, [&] { return port->WaitForData(); });
    port->WakeReader();
    EXPECT_FALSE(woken.get());

    auto fed = std::async(std::launch::async, [&] { return port->WaitForData(); });
    ASSERT_TRUE(pty.Write({1, 2, 3}));
    EXPECT_TRUE(fed.get());
    ASSERT_TRUE(pty.WaitSlaveInput(3));
    EXPECT_EQ(port->BytesWaiting(), 3);
    uint8_t buffer[8] = {};
    EXPECT_EQ(port->Read(buffer, 2), 2);
    EXPECT_EQ(port->Read(buffer + 2, 8), 1);
    EXPECT_EQ(port->Read(buffer, 8), 0);  // nothing waiting: at once, with nothing
    EXPECT_EQ(buffer[0] + buffer[1] + buffer[2], 6);
    port->Close();
}

TEST_F(PosixPort, AfterCloseEveryCallIsAHarmlessNoOp) {
    auto port = Open("COM3");
    ASSERT_TRUE(port) << result.message;
    ASSERT_TRUE(port->Configure({115200, 8, 0, 0, 0x11, 0x13, 100, 100}));
    ASSERT_TRUE(port->ArmReader());
    ASSERT_TRUE(pty.Write({9, 9}));
    ASSERT_TRUE(pty.WaitSlaveInput(2));
    port->Close();
    const uint8_t byte = 1;
    uint8_t buffer[4];
    EXPECT_FALSE(port->Write(&byte, 1));
    EXPECT_FALSE(port->WaitForData());
    EXPECT_EQ(port->BytesWaiting(), 0);
    EXPECT_EQ(port->Read(buffer, 4), 0);
    EXPECT_FALSE(port->Configure({115200, 8, 0, 0, 0x11, 0x13, 100, 100}));
    EXPECT_EQ(port->PendingOutput(), 0u);
    EXPECT_TRUE(port->FlushOutput(0ms));
    port->WakeReader();
    port->DropDtr();
    port->Purge();
    port->Close();
}

TEST_F(PosixPort, AHungUpLineMakesTheWaitReturnFalseAndRestInsteadOfSpinning) {
    auto port = Open("COM3");
    ASSERT_TRUE(port) << result.message;
    ASSERT_TRUE(port->ArmReader());
    pty.CloseMaster();  // the device is gone

    std::atomic<bool> stop{false};
    std::atomic<int> waits{0};
    std::atomic<int> trues{0};
    std::thread reader([&] {
        while (!stop.load()) {
            if (port->WaitForData()) ++trues;
            ++waits;
        }
    });
    ASSERT_TRUE([&] {
        for (int i = 0; i < 2000 && waits.load() < 3; ++i) std::this_thread::sleep_for(1ms);
        return waits.load() >= 3;
    }());
    std::this_thread::sleep_for(200ms);
    stop = true;
    port->Close();  // ends the rest at once
    reader.join();
    EXPECT_EQ(trues.load(), 0);
    // Each retry rests on the wake-up descriptor; a spinning wait would count in the
    // hundreds of thousands here. Slowness only lowers the count.
    EXPECT_LT(waits.load(), 200);
}

TEST_F(PosixPort, PurgeDropsWhatIsQueuedForTheLine) {
    auto port = Open("COM3");
    ASSERT_TRUE(port) << result.message;
    ASSERT_TRUE(port->Configure({115200, 8, 0, 0, 0x11, 0x13, 100, 100}));
    const std::vector<uint8_t> filler = Pattern(1 << 20);
    ASSERT_TRUE(port->Write(filler.data(), filler.size()));
    EXPECT_GT(port->PendingOutput(), 0u);
    port->Purge();
    EXPECT_TRUE(port->FlushOutput(5s));
    EXPECT_EQ(port->PendingOutput(), 0u);
    const std::size_t arrived = pty.Drain(100ms).size();
    EXPECT_LT(arrived, filler.size());
    port->Close();
}

struct FormatCase {
    uint8_t byteSize, parity, stopBits;
    tcflag_t expected;  // CSIZE, PARENB, PARODD, CMSPAR and CSTOPB bits
};

class LineFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(LineFormat, CharacterFormatCodesBecomeTermiosBitsOnARawLine) {
    // Start from a terminal with every processing and flow-control flag on.
    termios tio{};
    tio.c_iflag = ~tcflag_t{0};
    tio.c_oflag = ~tcflag_t{0};
    tio.c_lflag = ~tcflag_t{0};
    tio.c_cflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL;
    const FormatCase& c = GetParam();
    ASSERT_TRUE(
        ApplyLineSettings({115200, c.byteSize, c.parity, c.stopBits, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.expected);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | HUPCL),
              static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                IXOFF | IXANY | INPCK));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN));
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
}

INSTANTIATE_TEST_SUITE_P(PosixSerial, LineFormat,
                         ::testing::Values(FormatCase{8, 0, 0, CS8},  // 8N1, the device line
                                           FormatCase{7, 2, 0, CS7 | PARENB},           // 7E1
                                           FormatCase{7, 1, 0, CS7 | PARENB | PARODD},  // 7O1
                                           FormatCase{8, 3, 0,
                                                      CS8 | PARENB | PARODD | CMSPAR},  // mark
                                           FormatCase{8, 4, 0, CS8 | PARENB | CMSPAR},  // space
                                           FormatCase{5, 0, 2, CS5 | CSTOPB},    // two stop bits
                                           FormatCase{6, 0, 1, CS6 | CSTOPB}));  // one and a half

TEST(LineSpeeds, KnownSpeedsAreSetAndOthersRefused) {
    termios tio{};
    ASSERT_TRUE(ApplyLineSettings({9600, 8, 0, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    ASSERT_TRUE(ApplyLineSettings({921600, 8, 0, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B921600));
    EXPECT_FALSE(ApplyLineSettings({0, 8, 0, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_FALSE(ApplyLineSettings({12345, 8, 0, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_FALSE(ApplyLineSettings({115200, 9, 0, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_FALSE(ApplyLineSettings({115200, 8, 5, 0, 0x11, 0x13, 100, 100}, &tio));
    EXPECT_FALSE(ApplyLineSettings({115200, 8, 0, 3, 0x11, 0x13, 100, 100}, &tio));
}

struct ErrnoCase {
    int err;
    SerialError error;
    const char* message;
};

class ErrnoMapping : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoMapping, EachErrnoBecomesOneSentenceNamingTheDevice) {
    const SerialOpenResult r = SerialErrorFromErrno(GetParam().err, "COM3 (/dev/ttyUSB0)");
    EXPECT_EQ(r.error, GetParam().error);
    EXPECT_EQ(r.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    SerialErrors, ErrnoMapping,
    ::testing::Values(
        ErrnoCase{ENOENT, SerialError::NotFound,
                  "The serial port COM3 (/dev/ttyUSB0) does not exist."},
        ErrnoCase{ENODEV, SerialError::NotFound,
                  "The serial port COM3 (/dev/ttyUSB0) does not exist."},
        ErrnoCase{EACCES, SerialError::PermissionDenied,
                  "Permission denied for the serial port COM3 (/dev/ttyUSB0): add your user to "
                  "the dialout group and log in again."},
        ErrnoCase{EBUSY, SerialError::Busy,
                  "The serial port COM3 (/dev/ttyUSB0) is in use by another program."},
        ErrnoCase{EWOULDBLOCK, SerialError::Busy,
                  "The serial port COM3 (/dev/ttyUSB0) is in use by another program."},
        ErrnoCase{ENOTTY, SerialError::NotASerialDevice,
                  "COM3 (/dev/ttyUSB0) is not a serial device."},
        ErrnoCase{EIO, SerialError::Other,
                  "The serial port COM3 (/dev/ttyUSB0) could not be opened: Input/output "
                  "error."},
        ErrnoCase{0, SerialError::None, ""}));

}  // namespace
}  // namespace orlo::test
