// Device text lines at full speed: how fast the command line (`orlo log`) and the Qt window take
// them, and how much memory each holds while doing so. A plain program (no test framework).
//
//   bench_log_lines [--lines N] [--skip-cli] [--skip-window]
//
// The lines come from the master side of a pseudo-terminal, written as fast as the reader on
// the other side takes them; the tool opens the slave side as its port (ORLO_EXTRA_PORTS).
//  - CLI: `orlo log --port SLAVE` as a child process, standard output a pipe this program
//    counts lines on. Lines a second from the first line printed to the last; peak memory is
//    the child's largest resident set (wait4). Run with N / 10 and N lines: the peak must not
//    grow with the number of lines.
//  - Window: the Qt window offscreen in this process, with its service panel shown, through
//    the real reader thread and hand-over. Lines a second per tenth of the run (so the rate at
//    every list length shows), then the log-start frame that empties the list, timed until the
//    list widget holds its one start-time line. Peak memory is this process's.
// Exits 1 when a run does not deliver every line.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "GuiSession.h"
#include "QtWindow.h"
#include "app/Resource.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"
#include "protocol/Crc16.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace orlo;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A pseudo-terminal pair: this program writes the device's side.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        int slaveFd = -1;
        char name[128] = {};
        if (::openpty(&master, &slaveFd, name, nullptr, nullptr) != 0) return;
        termios tio{};
        ::tcgetattr(slaveFd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveFd, TCSANOW, &tio);
        ::close(slaveFd);
        slave = name;
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
    bool WriteAll(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
};

// Line i of the device: a status line and an R line in turn, as a chatty device prints them.
std::string DeviceLine(std::size_t i) {
    if (i % 2 == 0) return "status " + std::to_string(i) + " temperature 21 speed 0\r\n";
    return "R 0A,1F,3C," + std::to_string(i % 4096) + ",\r\n";
}

// Writes lines [0, count) in batches of about 4 KiB.
void WriteLines(const Pty& pty, std::size_t count, std::atomic<bool>* failed) {
    std::string batch;
    for (std::size_t i = 0; i < count; ++i) {
        batch += DeviceLine(i);
        if (batch.size() >= 4096 || i + 1 == count) {
            if (!pty.WriteAll(batch)) {
                failed->store(true);
                return;
            }
            batch.clear();
        }
    }
}

// --- the command line -----------------------------------------------------------------------

struct CliRun {
    bool ok = false;
    std::size_t lines = 0;
    double linesPerSecond = 0;
    long peakKiB = 0;
};

CliRun RunCli(const std::string& orlo, std::size_t count) {
    CliRun run;
    Pty pty;
    if (pty.slave.empty()) return run;
    int out[2];
    if (::pipe(out) != 0) return run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(orlo.c_str(), orlo.c_str(), "log", "--port", pty.slave.c_str(), "--timeout", "0",
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    ::close(out[1]);
    // The port is open once the tool has set its line up; then the lines may come.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::atomic<bool> failed{false};
    std::thread writer(WriteLines, std::cref(pty), count, &failed);

    char buffer[65536];
    Clock::time_point first{}, last{};
    const auto deadline = Clock::now() + std::chrono::seconds(300);
    while (run.lines < count && Clock::now() < deadline) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') continue;
            if (run.lines == 0) first = Clock::now();
            ++run.lines;
            last = Clock::now();
        }
    }
    writer.join();
    ::kill(pid, SIGINT);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    ::close(out[0]);
    run.peakKiB = usage.ru_maxrss;
    run.ok = !failed.load() && run.lines == count;
    if (run.lines > 1) run.linesPerSecond = static_cast<double>(run.lines - 1) / Seconds(last - first);
    return run;
}

// --- the Qt window --------------------------------------------------------------------------

int WindowRun(std::size_t count) {
    Pty pty;
    if (pty.slave.empty()) return 1;
    const std::string slave = pty.slave;
    LinuxPortTable ports(
        [slave](const std::string& name) {
            return name == LinuxPortTable::kExtraPortsVariable ? slave : std::string();
        },
        LinuxPortTable::NoTtys);
    PosixSerialBackend serial(&ports);
    gui::GuiSession session(serial, ports, gui::GuiSession::Options{true, {}});
    gui::QtWindow& layer = session.Layer();
    session.Window().show();
    auto pump = [] { QApplication::processEvents(QEventLoop::AllEvents, 5); };

    layer.Command(IDC_COMBO_PORT, CBN_DROPDOWN);
    layer.ComboSetCurSel(IDC_COMBO_PORT, 1);
    layer.Command(IDC_COMBO_PORT, CBN_SELCHANGE);
    layer.Command(IDC_OPEN, BN_CLICKED);
    if (!session.Dialog() || !session.Dialog()->m_comm.m_bConnected.load()) {
        std::printf("window: the port did not open\n");
        return 1;
    }
    auto* list = qobject_cast<QListWidget*>(layer.Widget(IDC_LIST_LOG));
    if (list == nullptr) return 1;

    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    std::thread writer(WriteLines, std::cref(pty), count, &failed);
    const std::size_t tenth = count / 10 > 0 ? count / 10 : 1;
    std::size_t nextMark = tenth;
    auto markTime = start;
    std::printf("window: lines a second per tenth of the run (list length at its end)\n");
    const auto deadline = start + std::chrono::seconds(300);
    while (layer.ListGetCount(IDC_LIST_LOG) < static_cast<int>(count) && Clock::now() < deadline) {
        pump();
        const auto have = static_cast<std::size_t>(layer.ListGetCount(IDC_LIST_LOG));
        while (have >= nextMark && nextMark <= count) {
            const auto now = Clock::now();
            std::printf("  %7zu  %9.0f lines/s\n", nextMark,
                        static_cast<double>(tenth) / Seconds(now - markTime));
            markTime = now;
            nextMark += tenth;
        }
    }
    writer.join();
    const double total = Seconds(Clock::now() - start);
    layer.FlushLists();
    const int shown = list->count();
    std::printf("window: %zu lines in %.2f s, %.0f lines/s; list widget rows %d\n", count, total,
                static_cast<double>(count) / total, shown);

    // The log start empties the list: frame 04 00 07 00 CRC 03.
    std::string logStart = {0x04, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03};
    SealFrame(reinterpret_cast<uint8_t*>(logStart.data()), logStart.size());
    const auto clearStart = Clock::now();
    pty.WriteAll(logStart);
    while (layer.ListGetCount(IDC_LIST_LOG) != 1 && Clock::now() < clearStart + std::chrono::seconds(60))
        pump();
    layer.FlushLists();
    const double clear = Seconds(Clock::now() - clearStart);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("window: log start emptied %d entries in %.3f s (list widget rows %d)\n",
                shown, clear, list->count());
    std::printf("window: peak memory of the process %ld KiB\n", usage.ru_maxrss);
    session.EndDialog();
    return !failed.load() && shown == static_cast<int>(count) && list->count() == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t lines = 100000;
    bool cli = true, window = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--lines" && i + 1 < argc) lines = std::strtoul(argv[++i], nullptr, 10);
        if (arg == "--skip-cli") cli = false;
        if (arg == "--skip-window") window = false;
    }
    int result = 0;
    if (cli) {
        const std::string self = argv[0];
        const std::string orlo = self.substr(0, self.find_last_of('/') + 1) + "orlo";
        for (std::size_t n : {lines / 10, lines}) {
            const CliRun r = RunCli(orlo, n);
            std::printf("cli: %zu of %zu lines, %.0f lines/s, peak memory %ld KiB%s\n", r.lines, n,
                        r.linesPerSecond, r.peakKiB, r.ok ? "" : "  (NOT ALL LINES ARRIVED)");
            if (!r.ok) result = 1;
        }
    }
    if (window) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QApplication app(argc, argv);
        if (WindowRun(lines) != 0) result = 1;
    }
    return result;
}
