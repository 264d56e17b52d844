// Read-back benchmark: the dialog, the POSIX serial backend and the Linux port table read a
// region of the simulated device back into a file on a pseudo-terminal, exactly as a user's run
// does (the Read button, the save dialog answered with a path, the completion message).
//
//   (a) the full 2048000-byte voice region as fast as the pseudo-terminal allows: seconds, MB/s
//       and CPU seconds of the whole process (tool and device); target under 2 s;
//   (b) the 241664-byte application region with the device pacing the line like 115200 baud
//       8N1: the measured time against the pure wire time of every request and reply byte at
//       10 bits a byte; target within 1 %;
//   (c) a 60 KB voice image compared with the device (verify), paced the same way: 15 read
//       exchanges, the measured time against their wire time; target within 2 %.
//
// Every run checks that the file holds exactly the region's flash bytes.
// Usage: bench_readback [--runs N] [--skip-paced]
// Exit code 0 when every file was right, 1 otherwise.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/OrloDlg.h"
#include "devsim/LinePacer.h"
#include "devsim/PtyDevice.h"
#include "images/FlashRegion.h"
#include "protocol/ReadBack.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"
#include "window/WindowBase.h"

namespace {

namespace fs = std::filesystem;
using namespace orlo;
using Clock = std::chrono::steady_clock;

constexpr int kReadButtonVoice = IDC_READ_VOICE;
constexpr int kReadButtonApplication = IDC_READ_APPLICATION;
constexpr uint64_t kRequestLen = 11;  // bytes of a read request
constexpr uint64_t kReplyLen = 4107;  // bytes of a read-data reply

class BenchWindow : public WindowBase {
  public:
    using WindowBase::WindowBase;
    int MessageBox(const std::string& text, const std::string&, unsigned) override {
        boxes.push_back(text);
        return IDOK;
    }
    void ThreadMessageBox(const std::string& text, const std::string&, unsigned) override {
        std::fprintf(stderr, "reader: %s\n", text.c_str());
    }
    FileDialogResult DoFileDialog(const FileDialogRequest&) override {
        FileDialogResult r;
        r.ok = !nextPath.empty();
        r.fullPath = nextPath;
        r.fileName = fs::path(nextPath).filename().string();
        return r;
    }
    void ShowAboutBox() override {}

    std::string nextPath;
    std::vector<std::string> boxes;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct RunResult {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
};

std::vector<uint8_t> Pattern(std::size_t size) {
    std::mt19937 gen(5812);
    std::vector<uint8_t> b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// One device with recognisable flash, one dialog, one open port.
class Rig {
  public:
    explicit Rig(uint32_t baud)
        : m_sim({}, MakePtyOptions(baud)),
          m_ports(
                  [this](const std::string& name) {
                      return name == LinuxPortTable::kExtraPortsVariable ? m_sim.SlavePath()
                                                                         : std::string();
                  }),
          m_serial(&m_ports) {
        std::string pattern = (fs::temp_directory_path() / "orlo-bench-XXXXXX").string();
        m_dir = mkdtemp(pattern.data());
    }
    ~Rig() {
        m_dlg.reset();
        m_sim.Stop();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    bool Connect() {
        m_sim.GetDevice().WriteFlash(0, Pattern(devsim::Device::kFlashSize));
        std::string error;
        if (!m_sim.Start(&error)) {
            std::fprintf(stderr, "simulated device: %s\n", error.c_str());
            return false;
        }
        OrloEnvironment env;
        env.window = &m_wnd;
        env.serial = &m_serial;
        env.ports = &m_ports;
        m_dlg = std::make_unique<COrloDlg>(env);
        m_dlg->OnInitDialog();
        m_dlg->OnPortDropDown();
        const auto items = m_wnd.ListItems(IDC_COMBO_PORT);
        const auto it = std::find(items.begin(), items.end(), "COM80");
        if (it == items.end()) return false;
        m_wnd.ComboSetCurSel(IDC_COMBO_PORT, static_cast<int>(it - items.begin()));
        m_dlg->OnPortSelChange();
        m_wnd.Click(IDC_OPEN);
        return m_dlg->m_comm.m_bConnected.load() != 0;
    }

    // Reads `region` back through its Read button; the time runs from the button press to the
    // completion message.
    RunResult Read(const FlashRegion& region, int button) {
        const fs::path file = m_dir / "readback.bin";
        m_wnd.boxes.clear();
        m_wnd.nextPath = file.string();

        RunResult r;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        m_wnd.Click(button);
        const bool done =
            m_loop.RunUntil([&] { return !m_wnd.boxes.empty(); }, std::chrono::minutes(10));
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        r.cpuSeconds = CpuSeconds() - cpu0;

        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
        const auto expected = m_sim.GetDevice().ReadFlash(region.base, region.maxSize);
        const bool same = got == expected;
        r.ok = done && same && m_wnd.boxes.size() == 1 &&
               m_wnd.boxes[0].rfind("Reading completed", 0) == 0;
        if (!r.ok)
            std::fprintf(stderr, "run failed: %s, file %s (%zu bytes)\n",
                         m_wnd.boxes.empty() ? "no completion" : m_wnd.boxes[0].c_str(),
                         same ? "equal" : "differs", got.size());
        return r;
    }

    // Compares `region` with the device's own first `bytes` bytes (so every block is equal);
    // the time runs from the start to the completion message.
    RunResult Verify(const FlashRegion& region, uint32_t bytes) {
        m_wnd.boxes.clear();
        RunResult r;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        m_dlg->StartVerify(ReadBackRowFor(region.id), m_sim.GetDevice().ReadFlash(region.base, bytes));
        const bool done =
            m_loop.RunUntil([&] { return !m_wnd.boxes.empty(); }, std::chrono::minutes(10));
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        r.cpuSeconds = CpuSeconds() - cpu0;
        r.ok = done && m_wnd.boxes.size() == 1 && m_wnd.boxes[0].rfind("Verify completed", 0) == 0 &&
               m_dlg->m_verify.DifferingBlocks() == 0 &&
               m_dlg->m_verify.BlocksRecorded() == (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
        if (!r.ok)
            std::fprintf(stderr, "verify failed: %s, %s\n",
                         m_wnd.boxes.empty() ? "no completion" : m_wnd.boxes[0].c_str(),
                         m_dlg->m_verify.Sentence().c_str());
        return r;
    }

  private:
    static devsim::PtyOptions MakePtyOptions(uint32_t baud) {
        devsim::PtyOptions o;
        o.baud = baud;
        return o;
    }

    EventLoop m_loop;
    BenchWindow m_wnd{m_loop};
    devsim::PtyDevice m_sim;
    LinuxPortTable m_ports;
    PosixSerialBackend m_serial;
    std::unique_ptr<COrloDlg> m_dlg;
    fs::path m_dir;
};

// Bytes on the wire for a read-back of `blocks` blocks: a request and its reply per block.
uint64_t WireBytes(uint64_t blocks) {
    return blocks * (kRequestLen + kReplyLen);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--skip-paced") {
            paced = false;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--skip-paced]\n", argv[0]);
            return 2;
        }
    }
    bool allOk = true;

    // (a) The full voice region, unpaced.
    {
        const FlashRegion& voice = Region(RegionId::Voice);
        Rig rig(0);
        if (!rig.Connect()) {
            std::fprintf(stderr, "cannot connect to the simulated device\n");
            return 1;
        }
        std::vector<RunResult> results;
        for (int i = 0; i < runs; ++i) results.push_back(rig.Read(voice, kReadButtonVoice));
        for (const auto& r : results) allOk = allOk && r.ok;
        std::sort(results.begin(), results.end(),
                  [](const RunResult& x, const RunResult& y) { return x.seconds < y.seconds; });
        const RunResult& median = results[results.size() / 2];
        const RunResult& best = results.front();
        const double mb = voice.maxSize / 1e6;
        std::printf(
            "(a) voice region %u bytes read back into a file, 500 requests, unpaced pty, "
            "%d runs\n",
            voice.maxSize, runs);
        std::printf("    median %.3f s  %.2f MB/s  %.3f CPU s (tool + device)\n", median.seconds,
                    mb / median.seconds, median.cpuSeconds);
        std::printf("    best   %.3f s  %.2f MB/s  %.3f CPU s\n", best.seconds, mb / best.seconds,
                    best.cpuSeconds);
        std::printf("    target under 2 s: %s\n", median.seconds < 2.0 ? "met" : "MISSED");
    }

    // (b) The application region on a line paced at 115200 baud.
    if (paced) {
        const FlashRegion& application = Region(RegionId::Application);
        const uint64_t blocks = application.maxSize / BLOCK_SIZE;
        Rig rig(LINE_BAUD);
        if (!rig.Connect()) {
            std::fprintf(stderr, "cannot connect to the simulated device\n");
            return 1;
        }
        const RunResult r = rig.Read(application, kReadButtonApplication);
        allOk = allOk && r.ok;
        const double wire =
            std::chrono::duration<double>(devsim::WireTime(WireBytes(blocks), LINE_BAUD)).count();
        std::printf("(b) application region %u bytes (%llu blocks), device paced at %u baud 8N1\n",
                    application.maxSize, static_cast<unsigned long long>(blocks), LINE_BAUD);
        std::printf("    measured %.3f s  wire time %.3f s (%llu bytes)  ratio %.4f  %.3f CPU s\n",
                    r.seconds, wire, static_cast<unsigned long long>(WireBytes(blocks)),
                    r.seconds / wire, r.cpuSeconds);
        std::printf("    target ratio under 1.01: %s\n",
                    r.seconds / wire < 1.01 ? "met" : "MISSED");
    }
    // (c) A 60 KB voice image compared with the device, paced: only its 15 blocks are read.
    if (paced) {
        const FlashRegion& voice = Region(RegionId::Voice);
        const uint32_t bytes = 60 * 1024;
        const uint64_t blocks = (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
        Rig rig(LINE_BAUD);
        if (!rig.Connect()) {
            std::fprintf(stderr, "cannot connect to the simulated device\n");
            return 1;
        }
        const RunResult r = rig.Verify(voice, bytes);
        allOk = allOk && r.ok;
        const double wire =
            std::chrono::duration<double>(devsim::WireTime(WireBytes(blocks), LINE_BAUD)).count();
        std::printf("(c) verify of a %u-byte voice image (%llu read exchanges), device paced at "
                    "%u baud 8N1\n",
                    bytes, static_cast<unsigned long long>(blocks), LINE_BAUD);
        std::printf("    measured %.3f s  wire time %.3f s (%llu bytes)  ratio %.4f  %.3f CPU s\n",
                    r.seconds, wire, static_cast<unsigned long long>(WireBytes(blocks)),
                    r.seconds / wire, r.cpuSeconds);
        std::printf("    target ratio under 1.02: %s\n", r.seconds / wire < 1.02 ? "met" : "MISSED");
    }
    return allOk ? 0 : 1;
}
