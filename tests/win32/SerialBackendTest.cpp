// The Win32 serial backend: the time-outs and line settings it applies, its error sentences,
// and - against a simulated device on a Wine COM port (ORLO_TEST_COM) - the port object with
// its reader: notifications of at most 80 bytes, closing from inside a notification and while
// the reader waits, and opening again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "protocol/Crc16.h"
#include "protocol/Protocol.h"
#include "serial/SerialTestKit.h"
#include "win32/Win32Errors.h"
#include "win32/Win32Serial.h"

namespace orlo::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(PortTimeouts, ReadsReturnAtOnceAndWritesHaveNoTotalLimitAt115200) {
    const COMMTIMEOUTS t = PortTimeouts(115200);
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);  // 19200 / 115200, truncated
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

TEST(PortTimeouts, TheWriteMultiplierIsTheTruncatedQuotientOf19200) {
    EXPECT_EQ(PortTimeouts(9600).WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(PortTimeouts(19200).WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(PortTimeouts(38400).WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(PortTimeouts(4800).WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(PortTimeouts(0).WriteTotalTimeoutMultiplier, 0u);  // no division by zero
}

TEST(LineSettingsOnDcb, OnlySpeedFormatAndFlowControlCharactersAndLimitsChange) {
    DCB reported;
    std::memset(&reported, 0xA5, sizeof reported);  // every bit as some driver might report it
    reported.DCBlength = sizeof reported;
    DCB applied = reported;
    LineSettings settings;
    settings.baudRate = 115200;
    ApplyLineSettings(settings, &applied);

    EXPECT_EQ(applied.BaudRate, 115200u);
    EXPECT_EQ(applied.ByteSize, 8);
    EXPECT_EQ(applied.Parity, 0);
    EXPECT_EQ(applied.StopBits, 0);
    EXPECT_EQ(applied.XonChar, 0x11);
    EXPECT_EQ(applied.XoffChar, 0x13);
    EXPECT_EQ(applied.XonLim, 100);
    EXPECT_EQ(applied.XoffLim, 100);

    // Everything else - every flag bit, the other characters - is left as reported.
    DCB expected = reported;
    expected.BaudRate = applied.BaudRate;
    expected.ByteSize = applied.ByteSize;
    expected.Parity = applied.Parity;
    expected.StopBits = applied.StopBits;
    expected.XonChar = applied.XonChar;
    expected.XoffChar = applied.XoffChar;
    expected.XonLim = applied.XonLim;
    expected.XoffLim = applied.XoffLim;
    EXPECT_EQ(std::memcmp(&expected, &applied, sizeof applied), 0);
    EXPECT_EQ(applied.fOutX, reported.fOutX);
    EXPECT_EQ(applied.fRtsControl, reported.fRtsControl);
}

TEST(PortDisplayName, TheDeviceNamespacePrefixIsLeftOut) {
    EXPECT_EQ(PortDisplayName("\\\\.\\COM12"), "COM12");
    EXPECT_EQ(PortDisplayName("COM4"), "COM4");
}

struct ErrorCase {
    DWORD err;
    SerialError error;
    const char* message;
};

class SerialErrorFromWin32Test : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SerialErrorFromWin32Test, OneSentenceForEachError) {
    const SerialOpenResult r = SerialErrorFromWin32(GetParam().err, "COM9");
    EXPECT_EQ(r.error, GetParam().error);
    EXPECT_EQ(r.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, SerialErrorFromWin32Test,
    ::testing::Values(ErrorCase{ERROR_SUCCESS, SerialError::None, ""},
                      ErrorCase{ERROR_FILE_NOT_FOUND, SerialError::NotFound,
                                "The serial port COM9 does not exist."},
                      ErrorCase{ERROR_PATH_NOT_FOUND, SerialError::NotFound,
                                "The serial port COM9 does not exist."},
                      ErrorCase{ERROR_ACCESS_DENIED, SerialError::Busy,
                                "The serial port COM9 is in use by another program."},
                      ErrorCase{ERROR_SHARING_VIOLATION, SerialError::Busy,
                                "The serial port COM9 is in use by another program."},
                      ErrorCase{ERROR_INVALID_FUNCTION, SerialError::NotASerialDevice,
                                "COM9 is not a serial device."},
                      ErrorCase{
                          ERROR_GEN_FAILURE, SerialError::NotFound,
                          "The serial port COM9 does not answer: check that it is plugged in."}));

TEST(SerialErrorFromWin32, OtherErrorsCarryTheSystemsOwnText) {
    const SerialOpenResult r = SerialErrorFromWin32(ERROR_NOT_ENOUGH_MEMORY, "COM9", "set up");
    EXPECT_EQ(r.error, SerialError::Other);
    EXPECT_EQ(r.message.rfind("The serial port COM9 could not be set up: ", 0), 0u) << r.message;
    EXPECT_GT(r.message.size(), std::strlen("The serial port COM9 could not be set up: ."))
        << r.message;
    EXPECT_EQ(r.message.back(), '.');
}

TEST(Win32SerialBackend, APortThatDoesNotExistIsNotOpenedAndSaysWhich) {
    Win32SerialBackend backend;
    SerialOpenResult result;
    EXPECT_EQ(backend.Open("\\\\.\\COM250", &result), nullptr);
    EXPECT_EQ(result.error, SerialError::NotFound) << result.message;
    EXPECT_EQ(result.message, "The serial port COM250 does not exist.");
}

TEST(Win32SerialBackend, ADeviceThatIsNoSerialPortRefusesTheLineSettings) {
    Win32SerialBackend backend;
    SerialOpenResult result;
    auto port = backend.Open("NUL", &result);
    ASSERT_NE(port, nullptr) << result.message;
    LineSettings settings;
    settings.baudRate = 115200;
    EXPECT_FALSE(port->Configure(settings));
    port->Close();
    EXPECT_FALSE(port->Configure(settings));  // closed: nothing touches the handle again
    EXPECT_EQ(port->BytesWaiting(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(port->Read(&byte, 1), 0);
    EXPECT_FALSE(port->Write(&byte, 1));
}

TEST(Win32SerialBackend, TheOpenCommandsTransferEventsCanBeCreated) {
    Win32SerialBackend backend;
    EXPECT_NE(backend.CreateTransferEvent(), nullptr);
    EXPECT_NE(backend.CreateTransferEvent(), nullptr);
}

// --- against the simulated device ---------------------------------------------------------

// The COM port number the simulated device answers on, from ORLO_TEST_COM ("COM9"); 0 when
// the variable is not set.
uint8_t DevicePort() {
    const char* name = std::getenv("ORLO_TEST_COM");
    if (name == nullptr || std::strncmp(name, "COM", 3) != 0) return 0;
    return static_cast<uint8_t>(std::atoi(name + 3));
}

Bytes Sealed(Bytes frame) {
    frame[1] = static_cast<uint8_t>(frame.size() >> 8);
    frame[2] = static_cast<uint8_t>(frame.size());
    SealFrame(frame.data(), frame.size());
    return frame;
}

// The start frame of the application region: 04 00 07 10 C2 63 03.
const Bytes kApplicationStart = {0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03};

Bytes ReadRequest(uint32_t address) {
    Bytes frame(READ_REQUEST_LEN, 0);
    frame[0] = FRAME_START;
    frame[3] = RegionCommand(CMD_FAMILY_APPLICATION, CMD_READ);
    frame[4] = static_cast<uint8_t>(address >> 24);
    frame[5] = static_cast<uint8_t>(address >> 16);
    frame[6] = static_cast<uint8_t>(address >> 8);
    frame[7] = static_cast<uint8_t>(address);
    return Sealed(frame);
}

class CommOnWineComPort : public ::testing::Test {
  protected:
    void SetUp() override {
        port = DevicePort();
        if (port == 0) GTEST_SKIP() << "ORLO_TEST_COM does not name a COM port with a device";
        rx.Attach(comm);
        SetDeviceLine(comm, port);
    }
    ~CommOnWineComPort() override {
        rx.window.Destroy();  // a notification under way returns, so the reader can end
    }

    bool WaitForReadersToEnd(std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (CommTestAccess::RunningReaders(comm) > 0) {
            if (std::chrono::steady_clock::now() > end) return false;
            rx.loop.RunOnce(std::chrono::milliseconds(5));
        }
        return true;
    }

    uint8_t port = 0;
    Win32SerialBackend backend;
    RxWindow rx;
    CComm comm{&backend};
};

TEST_F(CommOnWineComPort, TheDeviceAnswersTheStartFrameWithAnAck) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    ASSERT_TRUE(comm.Write(kApplicationStart.data(), kApplicationStart.size()));
    ASSERT_TRUE(rx.PumpBytes(7));
    ASSERT_EQ(rx.received.size(), 7u);
    EXPECT_EQ(rx.received[0], FRAME_START);
    EXPECT_EQ(rx.received[3], RSP_ACK);
    EXPECT_EQ(rx.received[6], FRAME_END);
    comm.ClosePort();
    EXPECT_TRUE(WaitForReadersToEnd(std::chrono::seconds(2)));
}

TEST_F(CommOnWineComPort, ABlockArrivesWholeInNotificationsOfAtMost80Bytes) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    const Bytes request = ReadRequest(0x3C3000);
    ASSERT_TRUE(comm.Write(request.data(), request.size()));
    ASSERT_TRUE(rx.PumpBytes(FRAME_MAX_LEN));
    ASSERT_EQ(rx.received.size(), static_cast<std::size_t>(FRAME_MAX_LEN));
    EXPECT_EQ(rx.received[3], request[3]);  // read data carries the read command's code
    bool ok = false;
    EXPECT_EQ(Crc16(rx.received.data(), rx.received.size(), &ok),
              (rx.received[FRAME_MAX_LEN - 3] << 8) | rx.received[FRAME_MAX_LEN - 2]);
    EXPECT_TRUE(ok);
    EXPECT_GE(rx.readSizes.size(), static_cast<std::size_t>((FRAME_MAX_LEN + 79) / 80));
    for (int n : rx.readSizes) {
        EXPECT_GT(n, 0);
        EXPECT_LE(n, RX_READ_MAX);
    }
    for (const auto& [head, tail] : rx.indicesAfterDrain) {
        EXPECT_EQ(head, tail);  // every notification found the ring drained before it
        EXPECT_LE(tail, RX_RING_SIZE);
    }
    comm.ClosePort();
}

TEST_F(CommOnWineComPort, ClosingInsideANotificationEndsTheReaderWithoutFurtherNotifications) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    rx.afterDrain = [&](std::size_t n) {
        if (n == 0) comm.ClosePort();  // as the programming run does after its finish frame
    };
    const Bytes request = ReadRequest(0x3C3000);
    ASSERT_TRUE(comm.Write(request.data(), request.size()));
    ASSERT_TRUE(rx.Pump([&] { return !rx.readSizes.empty(); }));
    EXPECT_TRUE(WaitForReadersToEnd(std::chrono::seconds(2)));
    rx.loop.RunUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(rx.readSizes.size(), 1u);
    EXPECT_FALSE(comm.m_hComm);
}

TEST_F(CommOnWineComPort, ClosingWhileTheReaderWaitsEndsItAtOnce) {
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader is in its wait
    ASSERT_EQ(CommTestAccess::RunningReaders(comm), 1);
    const auto start = std::chrono::steady_clock::now();
    comm.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(WaitForReadersToEnd(std::chrono::seconds(1)));
    EXPECT_TRUE(rx.readSizes.empty());
}

TEST_F(CommOnWineComPort, ThePortCanBeOpenedAgainAfterTheClose) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(comm.OpenPort()) << "round " << round << ": " << comm.LastOpenResult().message;
        ASSERT_TRUE(comm.Write(kApplicationStart.data(), kApplicationStart.size()));
        ASSERT_TRUE(rx.PumpBytes(7u * (round + 1))) << "round " << round;
        comm.ClosePort();
    }
    EXPECT_TRUE(WaitForReadersToEnd(std::chrono::seconds(2)));
}

// Wine maps a COM port to a Unix device and does not keep it for one opener; a Windows serial
// driver does.
bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST_F(CommOnWineComPort, AnOpenPortIsNotOpenedTwice) {
    if (RunningUnderWine()) GTEST_SKIP() << "Wine does not open a COM port exclusively";
    ASSERT_TRUE(comm.OpenPort()) << comm.LastOpenResult().message;
    Win32SerialBackend other;
    SerialOpenResult result;
    auto second = other.Open(CComm::BuildPortName(port), &result);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(result.error, SerialError::Busy) << result.message;
    if (second) second->Close();
    comm.ClosePort();
}

}  // namespace
}  // namespace orlo::test
