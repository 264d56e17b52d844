// Station benchmark: `orlo station` against a line of simulated devices (`orlo-devsim --rig`, a
// process of its own), both started from the build's bin folder.
//
//   (a) paced line: N slots, one device each, paced like 115200 baud 8N1; the station programs
//       a 256 KiB map image into every one (--count N). Per device: the seconds from the start
//       of its run to its end, as the station's --json "finished" event gives them, over the
//       device's own wire time. orlo's CPU over the wall time of the whole line, and its peak
//       memory. Targets: every device within 1.02 of its wire time, CPU under 10 % of a core.
//   (b) idle slots: N devices plugged, never programmed (a settle longer than the run); orlo's
//       resident memory with N slots against one slot. Target: under 1 MiB a slot.
//
// A device that does not pass makes the exit code 1.
// Usage: bench_station [--sizes 32,64] [--kib 256] [--skip-idle]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kBaud = 115200;

std::string g_binDir;
fs::path g_tmp;

// One device's run of an image of `size` bytes at 10 bits a byte: start frame and its ACK,
// every block written and verified (4107 bytes each, answered by a 7-byte ACK), and the run's
// two check exchanges (before the start frame and after the last reply: an 11-byte request and
// its 27-byte answer each).
double WireSeconds(std::size_t size) {
    const double blocks = static_cast<double>((size + 4095) / 4096);
    return (14 + 2 * blocks * (4107 + 7) + 2 * (11 + 27)) * 10 / kBaud;
}

pid_t Spawn(const std::vector<std::string>& args, int outFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS"); 0 when gone.
long StatusKiB(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return 0;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

pid_t StartRig(const fs::path& dir, unsigned slots, bool paced) {
    std::vector<std::string> args = {g_binDir + "/orlo-devsim", "--rig", dir.string(), "--slots",
                                     std::to_string(slots), "--devices", std::to_string(slots)};
    if (paced) args.insert(args.end(), {"--baud", "115200"});
    const pid_t pid = Spawn(args, -1);
    // The rig plugs every slot at once; wait for the links.
    for (int i = 0; i < 500; ++i) {
        unsigned links = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) links += e.is_symlink();
        if (links == slots) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

// Stops the rig; its CPU seconds (the simulated devices' pacing is not free either).
double StopRig(pid_t pid) {
    if (pid <= 0) return 0;
    ::kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

struct LineRun {
    bool ok = false;
    double wall = 0, cpu = 0, rigCpu = 0;
    long peakKiB = 0;
    std::vector<double> ratios;
    unsigned passed = 0;
};

LineRun PacedLine(unsigned slots, const fs::path& image, std::size_t size) {
    LineRun r;
    const fs::path dir = g_tmp / ("line" + std::to_string(slots));
    fs::create_directories(dir);
    const pid_t rig = StartRig(dir, slots, true);
    int out[2];
    if (::pipe(out) != 0) return r;
    const auto start = Clock::now();
    const pid_t orlo = Spawn({g_binDir + "/orlo", "--json", "station", "map", image.string(),
                              "--slots-dir", dir.string(), "--count", std::to_string(slots),
                              "--timeout", "30"},
                             out[1]);
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        r.peakKiB = std::max(r.peakKiB, StatusKiB(orlo, "VmHWM"));
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(orlo, &status, 0, &usage);
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    r.rigCpu = StopRig(rig);
    std::istringstream lines(text);
    std::string line;
    const double wire = WireSeconds(size);
    while (std::getline(lines, line)) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || j.value("event", "") != "finished") continue;
        r.ratios.push_back(j.value("seconds", 0.0) / wire);
        r.passed += j.value("outcome", "") == "passed";
    }
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && r.passed == slots;
    fs::remove_all(dir);
    return r;
}

// orlo's resident memory with `slots` devices plugged and never programmed.
long IdleKiB(unsigned slots, const fs::path& image) {
    const fs::path dir = g_tmp / ("idle" + std::to_string(slots));
    fs::create_directories(dir);
    const pid_t rig = StartRig(dir, slots, false);
    const pid_t orlo = Spawn({g_binDir + "/orlo", "station", "map", image.string(), "--slots-dir",
                              dir.string(), "--settle", "100000"},
                             -1);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long kib = StatusKiB(orlo, "VmRSS");
    ::kill(orlo, SIGINT);
    int status = 0;
    ::waitpid(orlo, &status, 0);
    StopRig(rig);
    fs::remove_all(dir);
    return kib;
}

std::vector<unsigned> ParseSizes(const std::string& text) {
    std::vector<unsigned> sizes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) sizes.push_back(static_cast<unsigned>(std::stoul(item)));
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> sizes = {32, 64};
    std::size_t kib = 256;
    bool idle = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sizes" && i + 1 < argc) sizes = ParseSizes(argv[++i]);
        else if (a == "--kib" && i + 1 < argc) kib = std::stoul(argv[++i]);
        else if (a == "--skip-idle") idle = false;
        else {
            std::fprintf(stderr, "usage: bench_station [--sizes 32,64] [--kib 256] [--skip-idle]\n");
            return 2;
        }
    }
    g_binDir = fs::canonical("/proc/self/exe").parent_path().string();
    g_tmp = fs::temp_directory_path() / ("orlo-bench-station-" + std::to_string(::getpid()));
    fs::create_directories(g_tmp);
    const std::size_t size = kib * 1024;
    const fs::path image = g_tmp / "img.map";
    {
        std::mt19937 gen(7);
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(gen());
        std::ofstream(image, std::ios::binary) << bytes;
    }
    int code = 0;
    std::printf("(a) paced line, %zu KiB map image, wire time %.3f s a device\n", kib,
                WireSeconds(size));
    std::printf("| slots | wall | worst ratio | median ratio | CPU (orlo) | CPU share | peak memory | CPU (rig) |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (unsigned n : sizes) {
        LineRun r = PacedLine(n, image, size);
        std::sort(r.ratios.begin(), r.ratios.end());
        const double worst = r.ratios.empty() ? 0 : r.ratios.back();
        const double median = r.ratios.empty() ? 0 : r.ratios[r.ratios.size() / 2];
        std::printf("| %u | %.1f s | %.4f | %.4f | %.2f s | %.1f %% | %.1f MiB | %.1f s |%s\n", n,
                    r.wall, worst, median, r.cpu, 100 * r.cpu / r.wall, r.peakKiB / 1024.0,
                    r.rigCpu, r.ok ? "" : " FAILED");
        std::fflush(stdout);
        if (!r.ok) code = 1;
    }
    if (idle) {
        const long one = IdleKiB(1, image);
        const unsigned many = sizes.empty() ? 64 : sizes.back();
        const long all = IdleKiB(many, image);
        std::printf("(b) idle slots: 1 slot %.1f MiB, %u slots %.1f MiB: %.1f KiB a slot\n",
                    one / 1024.0, many, all / 1024.0,
                    many > 1 ? double(all - one) / (many - 1) : 0.0);
    }
    fs::remove_all(g_tmp);
    return code;
}
