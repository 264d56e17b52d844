// Programming benchmark: the dialog, the POSIX serial backend and the Linux port table program
// the simulated device on a pseudo-terminal, exactly as a user's run does.
//
//   (a) the full 2048000-byte voice region, written and verified as fast as the pseudo-terminal
//       allows: seconds, MB/s of image and CPU seconds of the whole process (tool and device);
//   (b) a smaller image with the device pacing the line like 115200 baud 8N1: the measured time
//       against the pure wire time of every frame and reply byte at 10 bits a byte.
//
// Usage: bench_programming [--runs N] [--paced-blocks N] [--skip-paced]
// Exit code 0 when every run left the device's flash equal to the image, 1 otherwise.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/OrloDlg.h"
#include "devsim/LinePacer.h"
#include "devsim/PtyDevice.h"
#include "images/FlashRegion.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"
#include "window/WindowBase.h"

namespace {

namespace fs = std::filesystem;
using namespace orlo;
using Clock = std::chrono::steady_clock;

// A window with no screen: file dialogs answer with the queued path, message boxes are kept.
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

// One device, one dialog, one open port; programs images through the Program button.
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

    // Programs and verifies `image` into `region`; the time runs from the button press to the
    // completion message.
    RunResult Program(const FlashRegion& region, const std::vector<uint8_t>& image) {
        const fs::path file = m_dir / "image";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        m_wnd.boxes.clear();
        m_wnd.nextPath = file.string();

        RunResult r;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        m_wnd.Click(region.programButton);
        const bool done =
            m_loop.RunUntil([&] { return !m_wnd.boxes.empty(); }, std::chrono::minutes(10));
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        r.cpuSeconds = CpuSeconds() - cpu0;

        const auto flash = m_sim.Flash();
        const bool landed = std::equal(image.begin(), image.end(), flash.begin() + region.base);
        r.ok = done && landed && m_wnd.boxes.size() == 1 &&
               m_wnd.boxes[0].rfind("Programming completed", 0) == 0;
        if (!r.ok)
            std::fprintf(stderr, "run failed: %s, flash %s\n",
                         m_wnd.boxes.empty() ? "no completion" : m_wnd.boxes[0].c_str(),
                         landed ? "equal" : "differs");
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

std::vector<uint8_t> Pattern(std::size_t size) {
    std::mt19937 gen(12345);
    std::vector<uint8_t> b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// Bytes on the wire for a run of `blocks` blocks: start frame and its ACK, then every write and
// verify block (4107 bytes) with its ACK (7 bytes).
uint64_t WireBytes(uint64_t blocks) {
    return (7 + 7) + 2 * blocks * (4107 + 7);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    int pacedBlocks = 8;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--paced-blocks" && i + 1 < argc) {
            pacedBlocks = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--skip-paced") {
            paced = false;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--paced-blocks N] [--skip-paced]\n",
                         argv[0]);
            return 2;
        }
    }
    bool allOk = true;

    // (a) The full voice region, unpaced.
    {
        const FlashRegion& voice = Region(RegionId::Voice);
        const auto image = Pattern(voice.maxSize);
        Rig rig(0);
        if (!rig.Connect()) {
            std::fprintf(stderr, "cannot connect to the simulated device\n");
            return 1;
        }
        std::vector<RunResult> results;
        for (int i = 0; i < runs; ++i) results.push_back(rig.Program(voice, image));
        for (const auto& r : results) allOk = allOk && r.ok;
        std::sort(results.begin(), results.end(),
                  [](const RunResult& x, const RunResult& y) { return x.seconds < y.seconds; });
        const RunResult& median = results[results.size() / 2];
        const RunResult& best = results.front();
        const double mb = voice.maxSize / 1e6;
        std::printf(
            "(a) voice region %u bytes, 500 write + 500 verify blocks, unpaced pty, %d runs\n",
            voice.maxSize, runs);
        std::printf("    median %.3f s  %.2f MB/s of image  %.3f CPU s (tool + device)\n",
                    median.seconds, mb / median.seconds, median.cpuSeconds);
        std::printf("    best   %.3f s  %.2f MB/s of image  %.3f CPU s\n", best.seconds,
                    mb / best.seconds, best.cpuSeconds);
        std::printf("    target under 1 s: %s\n", median.seconds < 1.0 ? "met" : "MISSED");
    }

    // (b) A smaller image on a line paced at 115200 baud.
    if (paced) {
        const FlashRegion& map = Region(RegionId::Map);
        const auto image = Pattern(static_cast<std::size_t>(pacedBlocks) * 4096);
        Rig rig(LINE_BAUD);
        if (!rig.Connect()) {
            std::fprintf(stderr, "cannot connect to the simulated device\n");
            return 1;
        }
        const RunResult r = rig.Program(map, image);
        allOk = allOk && r.ok;
        const double wire =
            std::chrono::duration<double>(devsim::WireTime(WireBytes(pacedBlocks), LINE_BAUD))
                .count();
        std::printf("(b) map image %zu bytes (%d blocks), device paced at %u baud 8N1\n",
                    image.size(), pacedBlocks, LINE_BAUD);
        std::printf("    measured %.3f s  wire time %.3f s (%llu bytes)  ratio %.4f  %.3f CPU s\n",
                    r.seconds, wire, static_cast<unsigned long long>(WireBytes(pacedBlocks)),
                    r.seconds / wire, r.cpuSeconds);
        std::printf("    target ratio under 1.01: %s\n",
                    r.seconds / wire < 1.01 ? "met" : "MISSED");
    }
    return allOk ? 0 : 1;
}
