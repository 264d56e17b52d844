// Fuzz target: any byte stream through the receive ring into OnCommRx, with every consumer
// live (ACK and NAK steps of a programming run, read-back, check, sweep report, log start, device
// lines) and the port open, so that replies send further frames.
//
// Input: an 8-byte header that sets up the run the bytes arrive in, then the received bytes.
//   [0] the command of the last frame sent (m_txFrame[3]): an index into kLastCommands, or the
//       byte itself when it is beyond the table
//   [1] image size in blocks (1..16) of the programming or read-back run
//   [2] blocks already done (m_imageOffset / 4096), taken modulo the size + 1
//   [3] flags: bit 0 read-back active, bit 1 logging on, bit 2 first unit after Open (250),
//       bit 3 sweep reset pending, bits 4..5 resends already made
//   [4] bytes per notification: 1 + [4] % 80 (the reader takes at most 80 a read)
//   [5] region family of the run (0x10 << ([5] % 4))
//   [6..7] sweep steps in force, signed, in tens
//
// One dialog serves every input (its staging buffer is 8 MiB); the receive state, the counters,
// the log list and the port are put back before each input, so a run depends on its input only.
//
// Checks beyond the sanitizers': after every notification the receive state is well-formed (the
// count inside the accumulator, a length that is unknown or a frame still being collected, the
// ring drained), the progress is at most 100, and every frame the dialog sends in answer is a
// whole frame: start byte, its own length, a CRC that matches, end byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/OrloDlg.h"
#include "app/Resource.h"
#include "protocol/Crc16.h"
#include "protocol/Protocol.h"
#include "serial/PortTable.h"
#include "serial/SerialTransport.h"
#include "window/EventLoop.h"
#include "window/WindowBase.h"

namespace {

using namespace orlo;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Every frame the dialog puts on the wire must be one the device can take whole.
void CheckSentFrame(const uint8_t* data, std::size_t count) {
    Check(count >= static_cast<std::size_t>(FRAME_MIN_LEN) &&
          count <= static_cast<std::size_t>(FRAME_MAX_LEN));
    Check(data[0] == FRAME_START);
    Check((static_cast<std::size_t>(data[1]) << 8 | data[2]) == count);
    const uint16_t crc = Crc16Bytes(data, count - FRAME_OVERHEAD);
    Check(data[count - 3] == static_cast<uint8_t>(crc >> 8));
    Check(data[count - 2] == static_cast<uint8_t>(crc));
    Check(data[count - 1] == FRAME_END);
}

// The open port: the reader finds nothing to read (the harness fills the ring itself), and every
// write is checked and dropped.
class FuzzTransport final : public ISerialTransport {
  public:
    bool Configure(const LineSettings&) override { return true; }
    bool ArmReader() override { return true; }
    bool WaitForData() override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_wake || m_closed; });
        m_wake = false;
        return false;
    }
    int BytesWaiting() override { return 0; }
    int Read(uint8_t*, int) override { return 0; }
    bool Write(const uint8_t* data, std::size_t count) override {
        CheckSentFrame(data, count);
        ++writes;
        return true;
    }
    void WakeReader() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_wake = true;
        }
        m_cv.notify_all();
    }
    bool FlushOutput(std::chrono::milliseconds) override { return true; }
    void DropDtr() override {}
    void Purge() override {}
    void Close() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_cv.notify_all();
    }

    uint64_t writes = 0;

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_wake = false;
    bool m_closed = false;
};

class FuzzBackend final : public ISerialBackend {
  public:
    std::shared_ptr<ISerialTransport> Open(const std::string&, SerialOpenResult* result) override {
        if (result) *result = SerialOpenResult{};
        return std::make_shared<FuzzTransport>();
    }
};

class FuzzPorts final : public IPortTable {
  public:
    bool Open() override { return true; }
    std::vector<PortInfo> Enumerate() override {
        return {PortInfo{"fuzz0", "COM3", "/dev/null", "fuzz"},
                PortInfo{"fuzz1", "COM4", "/dev/null", "fuzz"}};
    }
    std::string Resolve(const std::string&) override { return "/dev/null"; }
};

// The window: message boxes are answered OK at once, file dialogs are cancelled.
class FuzzWindow final : public WindowBase {
  public:
    explicit FuzzWindow(EventLoop& loop) : WindowBase(loop) {}
    int MessageBox(const std::string&, const std::string&, unsigned) override {
        ++boxes;
        return IDOK;
    }
    void ThreadMessageBox(const std::string&, const std::string&, unsigned) override {}
    FileDialogResult DoFileDialog(const FileDialogRequest&) override { return {}; }
    void ShowAboutBox() override {}
    void ClearLogList() { Mutable(IDC_LIST_LOG).items.clear(); }

    uint64_t boxes = 0;
};

// Commands whose replies drive the consumers: starts, writes, verifies, finish, reads, check,
// sweep query and set.
constexpr uint8_t kLastCommands[] = {0x10, 0x20, 0x30, 0x40, 0x11, 0x21, 0x31, 0x41, 0x12, 0x22,
                                     0x32, 0x42, 0x13, 0x1A, 0x2A, 0x3A, 0x4A, 0x1B, 0x50, 0x52};
constexpr std::size_t kHeaderLen = 8;

struct Rig {
    EventLoop loop;  // constructed on the fuzzing thread, which thus is the UI thread
    FuzzWindow window{loop};
    FuzzBackend serial;
    FuzzPorts ports;
    std::unique_ptr<COrloDlg> dlg;
    std::string folder;  // a temporary folder of the rig's own, removed at exit

    Rig() {
        char pattern[] = "/tmp/orlo-fuzz-receive-XXXXXX";
        Check(::mkdtemp(pattern) != nullptr);
        folder = pattern;
        static std::string made;  // the rig lives to the end of the process: removed at exit
        made = folder;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(made, ec);
        });
        OrloEnvironment env;
        env.window = &window;
        env.serial = &serial;
        env.ports = &ports;
        env.now = [] { return std::time_t{1362665109}; };
        dlg = std::make_unique<COrloDlg>(env);
        dlg->OnInitDialog();
        // A recognisable image rather than the erased fill.
        for (uint32_t i = 0; i < 16 * BLOCK_SIZE; ++i)
            dlg->m_image.SetAt(i, static_cast<uint8_t>(i * 7 + (i >> 12)));
    }

    // Opens the port again when the last input closed it (the end of an application run).
    void EnsureOpen() {
        if (dlg->m_comm.m_bConnected) return;
        dlg->OnPortDropDown();
        window.ComboSetCurSel(IDC_COMBO_PORT, 1);
        dlg->OnPortSelChange();
        dlg->OnOpenPort();
        Check(dlg->m_comm.m_bConnected != 0);
    }

    void Prime(const uint8_t* h) {
        EnsureOpen();
        window.KillTimer(COUNTDOWN_TIMER_ID);
        window.ClearLogList();
        COrloDlg& d = *dlg;
        const uint8_t family = static_cast<uint8_t>(0x10 << (h[5] % 4));
        uint8_t last = h[0] < std::size(kLastCommands) ? kLastCommands[h[0]] : h[0];
        if ((last & 0xF0) != 0x50 && last != CMD_FINISH && last != CMD_CHECK)
            last = static_cast<uint8_t>(family | (last & 0x0F));
        const uint32_t blocks = 1 + h[1] % 16u;

        // The last frame sent, as its sender built it.
        std::fill(d.m_txFrame.begin(), d.m_txFrame.end(), uint8_t{0});
        d.m_txFrame[0] = FRAME_START;
        d.m_txFrame[3] = last;
        int length = FRAME_MIN_LEN;
        if (IsReadCommand(last) || last == CMD_CHECK) length = READ_REQUEST_LEN;
        if ((last & 0x0F) == CMD_WRITE || (last & 0x0F) == CMD_VERIFY) length = FRAME_MAX_LEN;
        if (last == CMD_SWEEP_SET) length = SWEEP_SET_LEN;
        d.m_txFrame[1] = static_cast<uint8_t>(length >> 8);
        d.m_txFrame[2] = static_cast<uint8_t>(length);
        d.m_txFrame[static_cast<std::size_t>(length - 1)] = FRAME_END;
        d.m_txLen = length;

        d.m_imageBase = family == CMD_FAMILY_APPLICATION ? 0x3C3000u : 0u;
        d.m_imageSize = blocks * BLOCK_SIZE;
        d.m_imageOffset = (h[2] % (blocks + 1)) * BLOCK_SIZE;
        d.m_retryCount = (h[3] >> 4) & 3u;
        d.m_readBackActive = (h[3] & 1) != 0;
        // The read-back and log files are the rig's own, emptied for every input, in its own
        // folder: nothing the dialog does to them can reach a file of the system.
        const auto readBack = OpenEmptied(folder + "/readback.bin", nullptr);
        const auto logFile = OpenEmptied(folder + "/device.log", nullptr);
        Check(readBack && logFile);
        d.m_readBackPath = readBack->path;
        d.m_readBackId = readBack->id;
        d.m_readBackTarget = folder + "/readback-done.bin";
        d.m_logEnabled = (h[3] & 2) ? 1 : 0;
        d.m_outputPath = logFile->path;
        d.m_logFileId = logFile->id;
        d.m_sweepReset = (h[3] & 8) ? 1 : 0;
        d.m_maxDelta = static_cast<int8_t>(h[6]) * 10;
        d.m_minDelta = static_cast<int8_t>(h[7]) * 10;
        d.m_countdown = 0;
        d.m_progress = 0;
        d.m_status = "Ready";

        // Receive state as Open leaves it, or as after a completed unit.
        d.m_comm.m_rxHead = d.m_comm.m_rxTail = 0;
        d.m_rxLen = 0;
        d.m_rxExpected = (h[3] & 4) ? COrloDlg::RX_EXPECT_AFTER_OPEN : COrloDlg::RX_EXPECT_UNKNOWN;
        d.m_lineText.clear();
        d.UpdateData(false);
    }

    // Puts bytes into the ring by the reader's rule and notifies the window, as the reader does.
    void Deliver(const uint8_t* data, std::size_t n) {
        CComm& comm = dlg->m_comm;
        for (std::size_t i = 0; i < n; ++i) {
            comm.m_rxTail %= RX_RING_SIZE;
            comm.m_rxRing[comm.m_rxTail] = data[i];
            ++comm.m_rxTail;
        }
        window.SendMessage(WM_COMM_RX, 0, 0);
        CheckWellFormed();
    }

    void CheckWellFormed() const {
        const COrloDlg& d = *dlg;
        Check(d.m_comm.m_rxHead == d.m_comm.m_rxTail);
        Check(d.m_rxLen >= 0 && d.m_rxLen < FRAME_MAX_LEN);
        const bool unknown = d.m_rxExpected == COrloDlg::RX_EXPECT_UNKNOWN;
        const bool afterOpen = d.m_rxExpected == COrloDlg::RX_EXPECT_AFTER_OPEN &&
                               d.m_rxLen < 250 &&
                               (d.m_rxLen == 0 || d.m_rxFrame[0] != FRAME_START || d.m_rxLen < 3);
        const bool frameInProgress = d.m_rxLen >= 3 &&
                                     d.m_rxExpected > static_cast<uint32_t>(d.m_rxLen) &&
                                     d.m_rxExpected <= static_cast<uint32_t>(FRAME_MAX_LEN);
        Check(unknown || afterOpen || frameInProgress);
        Check(d.m_progress <= 100);
        Check(d.m_imageOffset <= d.m_imageSize + BLOCK_SIZE);
    }
};

Rig& TheRig() {
    static Rig* rig = new Rig();  // kept to the end of the process: the reader may still wait
    return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < kHeaderLen) return 0;
    Rig& rig = TheRig();
    rig.Prime(data);
    const std::size_t chunk = 1 + data[4] % RX_READ_MAX;
    for (std::size_t at = kHeaderLen; at < size; at += chunk)
        rig.Deliver(data + at, std::min(chunk, size - at));
    return 0;
}
