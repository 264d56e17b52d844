// Microbenchmarks (Google Benchmark) of the two per-byte paths of the tool: the frame CRC, and
// the receive path from the ring through OnCommRx's assembler to the consumers. Both report
// bytes a second; the target for each is at least 100 MB/s.
//
// The receive path runs in-process on one dialog with its port open on a transport that drops
// what is written: the benchmark stores bytes into the ring by the reader's rule, at most 80 per
// notification as the reader does (or 1000, a nearly full ring, for comparison), and calls the
// window procedure with WM_COMM_RX, as the reader's synchronous send ends up doing. (1024 bytes
// in one notification would bring the write index round to the read index: the ring would look
// empty.)
//
//   BM_Crc16Bytes/N         CRC over N bytes (4104: the CRC-covered part of a block frame)
//   BM_SealFrame            the CRC sealed into a 4107-byte block frame
//   BM_ReceiveReadReplies/C 4107-byte read-data replies outside a read-back (assembled and
//                           routed, the consumer refuses them), C bytes a notification
//   BM_ReceiveReadBack/C    the same replies during a read-back into /dev/null: every block
//                           appended to the file and the next request sealed and written
//   BM_ReceiveDeviceLines/C/L device text lines ("R" lines rewritten), logging off; L = 1: a log
//                           start every 100 lines empties the list, L = 0: the benchmark
//                           empties it outside the timing
//   BM_ReceiveAcks/C        ACKs of a programming run: every ACK builds and sends a 4107-byte
//                           block (bytes counted are the received ones)
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

std::vector<uint8_t> Frame(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f = {FRAME_START, 0, 0, code};
    f.insert(f.end(), payload.begin(), payload.end());
    f.resize(f.size() + 3);
    f[1] = static_cast<uint8_t>(f.size() >> 8);
    f[2] = static_cast<uint8_t>(f.size());
    SealFrame(f.data(), f.size());
    return f;
}

std::vector<uint8_t> ReadReply(uint8_t code, uint32_t address) {
    std::vector<uint8_t> payload = {
        static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
        static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    for (uint32_t i = 0; i < BLOCK_SIZE; ++i) payload.push_back(static_cast<uint8_t>(i * 31 + 7));
    return Frame(code, payload);
}

void BM_Crc16Bytes(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(Crc16Bytes(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc16Bytes)->Arg(4)->Arg(4104)->Arg(1 << 16);

void BM_SealFrame(benchmark::State& state) {
    std::vector<uint8_t> frame = ReadReply(0x11, 0x3C3000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(SealFrame(frame.data(), frame.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FRAME_MAX_LEN);
}
BENCHMARK(BM_SealFrame);

// --- the receive path --------------------------------------------------------------------

class NullTransport final : public ISerialTransport {
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
    bool Write(const uint8_t*, std::size_t count) override {
        written += count;
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
    std::size_t written = 0;

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_wake = false;
    bool m_closed = false;
};

class NullBackend final : public ISerialBackend {
  public:
    std::shared_ptr<ISerialTransport> Open(const std::string&, SerialOpenResult*) override {
        last = std::make_shared<NullTransport>();
        return last;
    }
    std::shared_ptr<NullTransport> last;
};

class OnePort final : public IPortTable {
  public:
    bool Open() override { return true; }
    std::vector<PortInfo> Enumerate() override { return {PortInfo{"b", "COM3", "", ""}}; }
    std::string Resolve(const std::string&) override { return "/dev/null"; }
};

class QuietWindow final : public WindowBase {
  public:
    using WindowBase::WindowBase;
    int MessageBox(const std::string&, const std::string&, unsigned) override { return IDOK; }
    void ThreadMessageBox(const std::string&, const std::string&, unsigned) override {}
    FileDialogResult DoFileDialog(const FileDialogRequest&) override {
        FileDialogResult r;
        r.ok = !nextPath.empty();
        r.fullPath = nextPath;
        r.fileName = nextPath;
        return r;
    }
    void ShowAboutBox() override {}
    void ClearLogList() { Mutable(IDC_LIST_LOG).items.clear(); }
    std::string nextPath;
};

// One dialog with its port open, fed through its ring.
class ReceiveRig {
  public:
    ReceiveRig() {
        OrloEnvironment env;
        env.window = &m_window;
        env.serial = &m_serial;
        env.ports = &m_ports;
        m_dlg = std::make_unique<COrloDlg>(env);
        m_dlg->OnInitDialog();
        m_dlg->OnPortDropDown();
        m_window.ComboSetCurSel(IDC_COMBO_PORT, 1);
        m_dlg->OnPortSelChange();
        m_dlg->OnOpenPort();
        m_dlg->m_rxExpected = COrloDlg::RX_EXPECT_UNKNOWN;
    }
    ~ReceiveRig() { m_dlg.reset(); }

    COrloDlg& Dlg() { return *m_dlg; }
    QuietWindow& Window() { return m_window; }
    bool Open() const { return m_dlg->m_comm.m_bConnected != 0; }

    // Delivers `stream` in notifications of `chunk` bytes, as the reader does.
    void Deliver(const std::vector<uint8_t>& stream, std::size_t chunk) {
        CComm& comm = m_dlg->m_comm;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t end = std::min(stream.size(), at + chunk);
            for (std::size_t i = at; i < end; ++i) {
                comm.m_rxTail %= RX_RING_SIZE;
                comm.m_rxRing[comm.m_rxTail] = stream[i];
                ++comm.m_rxTail;
            }
            m_window.SendMessage(WM_COMM_RX, 0, 0);
        }
    }

  private:
    EventLoop m_loop;
    QuietWindow m_window{m_loop};
    NullBackend m_serial;
    OnePort m_ports;
    std::unique_ptr<COrloDlg> m_dlg;
};

constexpr int kNearlyFullRing = 1000;  // bytes in one notification, for comparison

std::size_t Chunk(const benchmark::State& state) {
    return static_cast<std::size_t>(state.range(0));
}

void BM_ReceiveReadReplies(benchmark::State& state) {
    ReceiveRig rig;
    std::vector<uint8_t> stream;
    for (int i = 0; i < 16; ++i) {
        const auto r = ReadReply(0x2A, static_cast<uint32_t>(i) * BLOCK_SIZE);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    for (auto _ : state) rig.Deliver(stream, Chunk(state));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReceiveReadReplies)->Arg(RX_READ_MAX)->Arg(kNearlyFullRing);

void BM_ReceiveReadBack(benchmark::State& state) {
    ReceiveRig rig;
    if (!rig.Open()) {
        state.SkipWithError("the port did not open");
        return;
    }
    rig.Window().nextPath = "/dev/null";
    // The voice region: 500 replies, each appended to the file and answered with a request.
    std::vector<uint8_t> stream;
    for (uint32_t i = 0; i < 500; ++i) {
        const auto r = ReadReply(0x2A, i * BLOCK_SIZE);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    for (auto _ : state) {
        state.PauseTiming();
        rig.Dlg().OnReadVoice();  // the request for block 0 and an emptied /dev/null
        state.ResumeTiming();
        rig.Deliver(stream, Chunk(state));
        if (rig.Dlg().m_status != "Ready" || rig.Dlg().m_readBackActive) {
            state.SkipWithError("the read-back did not complete");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReceiveReadBack)
    ->Arg(RX_READ_MAX)
    ->Arg(kNearlyFullRing)
    ->Unit(benchmark::kMillisecond);

void BM_ReceiveDeviceLines(benchmark::State& state) {
    ReceiveRig rig;
    const bool withLogStart = state.range(1) != 0;
    const std::string line = "R 0A,1F,3C,7F,100,2000,\r\n";
    const auto logStart = Frame(RSP_LOG_START, {});
    std::vector<uint8_t> stream;
    if (withLogStart) stream.assign(logStart.begin(), logStart.end());
    for (int i = 0; i < 100; ++i) stream.insert(stream.end(), line.begin(), line.end());
    for (auto _ : state) {
        if (!withLogStart) {
            state.PauseTiming();
            rig.Window().ClearLogList();  // what the log start would do, outside the timing
            state.ResumeTiming();
        }
        rig.Deliver(stream, Chunk(state));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReceiveDeviceLines)->Args({RX_READ_MAX, 1})->Args({RX_READ_MAX, 0});

// The log-start frame after N device lines: the log list is emptied entry by entry from the top.
// Reported as time per log start; the growth with N is the point.
void BM_LogStartAfterLines(benchmark::State& state) {
    ReceiveRig rig;
    const std::string line = "line of the device log\r\n";
    std::vector<uint8_t> lines;
    for (int64_t i = 0; i < state.range(0); ++i)
        lines.insert(lines.end(), line.begin(), line.end());
    const auto logStart = Frame(RSP_LOG_START, {});
    for (auto _ : state) {
        state.PauseTiming();
        rig.Deliver(lines, RX_READ_MAX);
        state.ResumeTiming();
        rig.Deliver(logStart, RX_READ_MAX);
    }
    if (rig.Window().ListGetCount(IDC_LIST_LOG) != 1)
        state.SkipWithError("the log was not emptied");
}
BENCHMARK(BM_LogStartAfterLines)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_ReceiveAcks(benchmark::State& state) {
    ReceiveRig rig;
    if (!rig.Open()) {
        state.SkipWithError("the port did not open");
        return;
    }
    const auto ack = Frame(RSP_ACK, {});
    COrloDlg& dlg = rig.Dlg();
    for (auto _ : state) {
        state.PauseTiming();
        // In the middle of a long voice run: every ACK asks for the next write block.
        dlg.m_txFrame[3] = 0x21;
        dlg.m_imageBase = 0;
        dlg.m_imageOffset = 0;
        dlg.m_imageSize = 400 * BLOCK_SIZE;
        state.ResumeTiming();
        for (int i = 0; i < 100; ++i) rig.Deliver(ack, Chunk(state));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 100 * ack.size()));
    state.counters["acks/s"] = benchmark::Counter(static_cast<double>(state.iterations() * 100),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiveAcks)->Arg(RX_READ_MAX);

}  // namespace

BENCHMARK_MAIN();
