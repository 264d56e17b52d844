// Gang benchmark: the command-line tool against simulated devices that run as separate
// processes (orlo-devsim, one per device, as separate devices would be), started beside this
// program in the build's bin folder.
//
//   (a) gang: N devices paced like 115200 baud 8N1, one `orlo program map` with N --port
//       options writes a 16 KiB image into all of them. Prints wall time over the wire time of
//       one device's run, the extra wall time per device, orlo's CPU seconds and its peak
//       resident memory; with standard output a pipe (-q) and, for the live display, a
//       pseudo-terminal (bytes orlo wrote to it). The largest N runs once more on a terminal
//       that reads only 200 KB a second. Targets: ratio within 1.02 at N = 64; on the slow
//       terminal no slower than with -q (2 %).
//   (b) fixed cost: a one-block user image on an unpaced device, median of 15 runs of orlo.
//       Target: under 0.04 s.
//   (c) read-back: the voice region through `orlo read` on an unpaced device, median of 5.
//       Compare with bench_readback (a), the same stack in-process.
//
// Every device's flash is saved when it stops and compared with the image; a wrong flash, a
// failed orlo run or a wrong read-back file makes the exit code 1.
// Usage: bench_gang [--sizes 1,16,64] [--skip-fixed] [--skip-readback]
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMapBase = 0x1F4000;       // where the map region starts in the flash
constexpr uint32_t kUserBase = 0x3C2000;      // the user region
constexpr uint32_t kVoiceSize = 2048000;      // the voice region, read back whole
constexpr std::size_t kImageSize = 16 * 1024;  // the gang's image: four blocks
constexpr double kBaud = 115200;
constexpr double kSlowTerminalBytesPerSecond = 200e3;

std::string g_binDir;
fs::path g_tmp;

// One device's run of the gang image at 10 bits a byte: start frame and its ACK, four write
// and four verify blocks of 4107 bytes, each answered by a 7-byte ACK, and the run's two check
// exchanges (before the start frame and after the last reply: an 11-byte request and its
// 27-byte answer each).
double WireSeconds(std::size_t imageSize) {
    const double blocks = static_cast<double>((imageSize + 4095) / 4096);
    return (14 + 2 * blocks * (4107 + 7) + 2 * (11 + 27)) * 10 / kBaud;
}

Bytes Pattern(std::size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

void WriteFile(const fs::path& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Device {
    pid_t pid = -1;
    std::string port;
    fs::path flash;
};

// Starts orlo-devsim; its first line of output is the port.
Device StartDevice(int index, bool paced) {
    Device d;
    d.flash = g_tmp / ("flash" + std::to_string(index) + ".bin");
    int out[2];
    if (::pipe(out) != 0) return d;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string exe = g_binDir + "/orlo-devsim";
    std::vector<std::string> args = {exe, "--save-flash", d.flash.string()};
    if (paced) args.insert(args.end(), {"--baud", "115200"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&d.pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        d.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char c;
    while (d.pid > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') d.port += c;
    ::close(out[0]);
    return d;
}

// Stops the device (it saves its flash) and compares `expected` at `base`.
bool StopAndCheck(const Device& d, uint32_t base, const Bytes& expected) {
    if (d.pid <= 0) return false;
    ::kill(d.pid, SIGTERM);
    int status = 0;
    ::waitpid(d.pid, &status, 0);
    const Bytes flash = ReadFile(d.flash);
    std::error_code ec;
    fs::remove(d.flash, ec);
    return flash.size() >= base + expected.size() &&
           std::equal(expected.begin(), expected.end(), flash.begin() + base);
}

struct OrloRun {
    bool ok = false;
    double wall = 0;
    double cpu = 0;           // user + system seconds of orlo
    long maxRssKiB = 0;       // orlo's peak resident memory
    uint64_t terminalBytes = 0;  // written to the pseudo-terminal, when there is one
};

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs orlo with `args`. terminalRate < 0: output to /dev/null; otherwise to a pseudo-terminal
// that reads at most terminalRate bytes a second (0: as fast as it can).
OrloRun RunOrlo(const std::vector<std::string>& args, double terminalRate = -1) {
    OrloRun r;
    int master = -1, slave = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<std::string> env = {"TERM=xterm"};
    if (terminalRate >= 0) {
        winsize size{};
        size.ws_row = 80;
        size.ws_col = 120;
        if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return r;
        posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, master);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    const std::string exe = g_binDir + "/orlo";
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TERM=", 5) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::atomic<bool> done{false};
    std::thread reader;
    if (master >= 0) {
        reader = std::thread([&] {
            const auto start = Clock::now();
            char buffer[4096];
            for (;;) {
                if (terminalRate > 0) {
                    // A terminal that takes at most terminalRate bytes a second.
                    const double due = static_cast<double>(r.terminalBytes) / terminalRate;
                    const auto at = start + std::chrono::duration<double>(due);
                    if (at > Clock::now()) std::this_thread::sleep_until(at);
                }
                pollfd p{master, POLLIN, 0};
                const int ready = ::poll(&p, 1, 20);
                if (ready <= 0) {
                    if (done.load()) return;
                    continue;
                }
                const std::size_t want = terminalRate > 0 ? 1024 : sizeof buffer;
                const ssize_t n = ::read(master, buffer, want);
                if (n <= 0) return;  // EIO once orlo has gone
                r.terminalBytes += static_cast<uint64_t>(n);
            }
        });
    }

    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (slave >= 0) ::close(slave);
    // The child's ru_maxrss would count this process's memory from before the exec: orlo's own
    // high-water mark is read from /proc while it runs (it only grows, so the last reading is
    // its peak but for the last few milliseconds).
    std::atomic<bool> exited{false};
    std::thread sampler([&] {
        const std::string file = "/proc/" + std::to_string(pid) + "/status";
        while (spawned == 0 && !exited.load()) {
            std::ifstream in(file);
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("VmHWM:", 0) == 0) r.maxRssKiB = std::atol(line.c_str() + 6);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int status = 0;
    rusage usage{};
    if (spawned == 0) {
        // Wait without reaping first, so the last readings still find the process.
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        r.wall = std::chrono::duration<double>(Clock::now() - start).count();
        exited = true;
        sampler.join();
        ::wait4(pid, &status, 0, &usage);
    } else {
        exited = true;
        sampler.join();
    }
    done = true;
    if (reader.joinable()) reader.join();
    if (master >= 0) ::close(master);
    r.ok = spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    return r;
}

// One gang run: N fresh paced devices, one orlo command, every flash checked.
OrloRun GangRun(int n, const fs::path& image, const Bytes& data, double terminalRate,
                bool* flashOk) {
    std::vector<Device> devices;
    std::vector<std::string> args = {"program", "map", image.string()};
    if (terminalRate < 0) args.push_back("-q");
    for (int i = 0; i < n; ++i) {
        devices.push_back(StartDevice(i, true));
        args.insert(args.end(), {"--port", devices.back().port});
    }
    const OrloRun r = RunOrlo(args, terminalRate);
    for (const Device& d : devices) *flashOk = StopAndCheck(d, kMapBase, data) && *flashOk;
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::vector<int> ParseSizes(const std::string& text) {
    std::vector<int> sizes;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        sizes.push_back(std::atoi(text.substr(start, end - start).c_str()));
        start = end + 1;
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {1, 16, 64};
    bool fixed = true, readback = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sizes" && i + 1 < argc) sizes = ParseSizes(argv[++i]);
        else if (a == "--skip-fixed") fixed = false;
        else if (a == "--skip-readback") readback = false;
        else {
            std::fprintf(stderr, "usage: bench_gang [--sizes 1,16,64] [--skip-fixed] "
                                 "[--skip-readback]\n");
            return 2;
        }
    }
    char self[PATH_MAX] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 2;
    g_binDir = fs::path(self).parent_path().string();
    g_tmp = fs::temp_directory_path() / ("orlo-bench-gang-" + std::to_string(::getpid()));
    fs::create_directories(g_tmp);
    // A gang of 64 needs two descriptors a device here and a few in orlo for each.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    bool allOk = true;

    const Bytes map = Pattern(kImageSize, 7);
    const fs::path mapImage = g_tmp / "gang.map";
    WriteFile(mapImage, map);
    const double wire = WireSeconds(kImageSize);
    std::printf("(a) gang: 16 KiB map image, devices paced at 115200 baud, one device's wire "
                "time %.3f s\n",
                wire);
    std::printf("%5s  %-8s  %8s  %7s  %12s  %9s  %11s  %14s\n", "N", "output", "wall s",
                "ratio", "ms/device+", "CPU s", "peak MiB", "terminal bytes");
    double wallOne = 0;
    int largest = 0;
    double largestQuiet = 0;
    for (int n : sizes) {
        if (n <= 0) continue;
        for (int pass = 0; pass < 2; ++pass) {
            const bool terminal = pass == 1;
            bool flashOk = true;
            const OrloRun r = GangRun(n, mapImage, map, terminal ? 0 : -1, &flashOk);
            const bool ok = r.ok && flashOk;
            allOk = allOk && ok;
            if (n == 1 && !terminal) wallOne = r.wall;
            if (!terminal && n >= largest) {
                largest = n;
                largestQuiet = r.wall;
            }
            const double perDevice =
                n > 1 && wallOne > 0 ? (r.wall - wallOne) * 1000.0 / (n - 1) : 0;
            std::printf("%5d  %-8s  %8.3f  %7.4f  %12.2f  %9.3f  %11.1f  %14s%s\n", n,
                        terminal ? "terminal" : "-q", r.wall, r.wall / wire, perDevice, r.cpu,
                        static_cast<double>(r.maxRssKiB) / 1024.0,
                        terminal ? std::to_string(r.terminalBytes).c_str() : "-",
                        ok ? "" : (r.ok ? "  FLASH WRONG" : "  ORLO FAILED"));
            std::fflush(stdout);
        }
    }
    if (largest > 0) {
        bool flashOk = true;
        const OrloRun r = GangRun(largest, mapImage, map, kSlowTerminalBytesPerSecond, &flashOk);
        allOk = allOk && r.ok && flashOk;
        std::printf("N = %d on a terminal reading 200 KB/s: %.3f s (%.4f of the -q run), %llu "
                    "bytes%s\n",
                    largest, r.wall, r.wall / largestQuiet,
                    static_cast<unsigned long long>(r.terminalBytes),
                    r.ok && flashOk ? "" : "  FAILED");
    }

    if (fixed) {
        const Bytes user = Pattern(4096, 11);
        const fs::path userImage = g_tmp / "one.dat";
        WriteFile(userImage, user);
        const Device d = StartDevice(1000, false);
        std::vector<double> walls, cpus;
        bool ok = true;
        for (int i = 0; i < 15; ++i) {
            const OrloRun r = RunOrlo({"program", "user", userImage.string(), "--port", d.port});
            ok = ok && r.ok;
            walls.push_back(r.wall);
            cpus.push_back(r.cpu);
        }
        ok = StopAndCheck(d, kUserBase, user) && ok;
        allOk = allOk && ok;
        std::printf("(b) one-block user image, unpaced, 15 runs: median %.4f s (best %.4f), "
                    "CPU %.4f s%s\n",
                    Median(walls), *std::min_element(walls.begin(), walls.end()), Median(cpus),
                    ok ? "" : "  FAILED");
    }

    if (readback) {
        const Bytes voice = Pattern(kVoiceSize, 13);
        const fs::path voiceImage = g_tmp / "voice.adm";
        WriteFile(voiceImage, voice);
        const Device d = StartDevice(2000, false);
        bool ok = RunOrlo({"program", "voice", voiceImage.string(), "-q", "--port", d.port}).ok;
        const fs::path out = g_tmp / "voice-back.bin";
        std::vector<double> walls, cpus;
        for (int i = 0; i < 5 && ok; ++i) {
            const OrloRun r = RunOrlo({"read", "voice", out.string(), "-q", "--port", d.port});
            ok = r.ok && ReadFile(out) == voice;
            walls.push_back(r.wall);
            cpus.push_back(r.cpu);
        }
        ok = StopAndCheck(d, 0, voice) && ok;
        allOk = allOk && ok;
        std::printf("(c) voice read-back through orlo, unpaced, 5 runs: median %.3f s, orlo CPU "
                    "%.3f s%s\n",
                    Median(walls), Median(cpus), ok ? "" : "  FAILED");
    }

    std::error_code ec;
    fs::remove_all(g_tmp, ec);
    return allOk ? 0 : 1;
}
