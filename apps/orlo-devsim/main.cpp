// orlo-devsim: the simulated target device on a pseudo-terminal. Prints the port to open, then
// answers the tool's frames until SIGINT or SIGTERM (or until the hang-up fault fires).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "HelpFormat.h"
#include "devsim/Device.h"
#include "devsim/PtyDevice.h"
#include "devsim/Rig.h"
#include "devsim/Trace.h"

namespace {

constexpr std::size_t kShortTrace = 48;  // bytes shown per unit with -v (-vv: all)
constexpr auto kHangUpPoll = std::chrono::milliseconds(100);  // how often to look for a hang-up
constexpr auto kRigPoll = std::chrono::milliseconds(20);      // how often the line moves on

int g_signalPipe[2] = {-1, -1};  // written by the signal handler, read by main

void OnSignal(int) {
    const int saved = errno;
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = saved;
}

bool InstallSignals() {
    if (::pipe(g_signalPipe) != 0) return false;
    for (int fd : g_signalPipe) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(SIGINT, &sa, nullptr) != 0 || ::sigaction(SIGTERM, &sa, nullptr) != 0)
        return false;
    // A reader of our standard output that goes away must not kill us before the flash is saved.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Waits up to `timeout` for SIGINT or SIGTERM.
bool WaitForSignal(std::chrono::milliseconds timeout) {
    pollfd fd{g_signalPipe[0], POLLIN, 0};
    const int r = ::poll(&fd, 1, static_cast<int>(timeout.count()));
    return r > 0 && (fd.revents & POLLIN);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orlo::devsim;

    CLI::App app{
        "orlo-devsim plays a simulated RDX-5812LQ target device on a pseudo-terminal, so that "
        "orlo and orlo-gui have a device to talk to without hardware. It prints the port's path "
        "on the first line of standard output and, on the second, the line to paste into a "
        "shell so that the tool lists the port; then it answers every frame until interrupted "
        "(SIGINT or SIGTERM).\n\n"
        "The fault options make it misbehave in defined ways, for tests. Frame numbers in them "
        "count every frame received but the check requests (0x1B), starting at 1.",
        "orlo-devsim"};
    // Wrapped once, to the terminal's width (80 columns into a pipe or file).
    app.formatter(std::make_shared<orlo::help::Formatter>(orlo::help::HelpColumns(1)));
    orlo::help::SetExamples(
        &app,
        {{"orlo-devsim --baud 115200 --link /tmp/rdx",
          "Serve a device paced like the real 115200-baud line, reachable as /tmp/rdx."},
         {"orlo-devsim -v --nak-frame 3 --nak-count 5",
          "Refuse the second write block five times (the tool then shows Tx Error), and trace "
          "every frame."},
         {"orlo-devsim --flash-in flash.bin --save-flash flash.bin",
          "Keep the flash from one run of the device to the next."}});
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.set_version_flag("--version", "orlo-devsim " ORLO_VERSION, "Print the version and exit");

    int verbosity = 0;
    std::string linkPath, flashIn, saveFlash;
    uint32_t baud = 0;
    DeviceOptions dev;
    std::vector<std::string> printLines;
    bool logStart = false;
    uint32_t everySeconds = 0;
    uint32_t partialTimeoutMs = 1000;

    app.add_flag("-v,--verbose", verbosity,
                 "Print a wire trace: one line per frame received (\"in\") and per unit sent "
                 "(\"out\"), in hex. Units longer than 48 bytes are shortened; -vv prints them "
                 "whole");
    app.add_option("--link", linkPath,
                   "Keep a symbolic link to the port at PATH while serving (a stable name for "
                   "scripts); an existing link is replaced, any other file is left alone")
        ->type_name("PATH");
    app.add_option("--flash-in", flashIn,
                   "Start with the flash loaded from FILE (at most 4 MiB; the rest stays 0xFF). "
                   "Without it the flash is all 0xFF")
        ->type_name("FILE");
    app.add_option("--save-flash", saveFlash, "On exit, write all 4 MiB of flash to FILE")
        ->type_name("FILE");
    std::vector<uint32_t> flipFlash;
    app.add_option("--flip-flash", flipFlash,
                   "Invert the flash byte at ADDRESS (0x... for hex) after --flash-in: a board "
                   "whose flash differs in one place. Repeat for several")
        ->check(CLI::Range(uint32_t{0}, Device::kFlashSize - 1))
        ->type_name("ADDRESS");
    app.add_option("--baud", baud,
                   "Pace both directions like an 8N1 line at N baud (10 bits a byte); 0, the "
                   "default, passes bytes as fast as the pseudo-terminal allows")
        ->type_name("N");
    app.add_option("--sweep-max", dev.sweep.max, "Sweep maximum reported before any sweep set")
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--sweep-min", dev.sweep.min, "Sweep minimum reported before any sweep set")
        ->capture_default_str()
        ->type_name("N");
    app.add_flag("--no-reply-crc", dev.replyCrcUnfilled,
                 "Leave the CRC of every reply 00 00 (a device that does not fill it)");
    app.add_flag("--no-reply-address", dev.replyAddressUnfilled,
                 "Leave the address that read-data and check-data replies echo 00 00 00 00");
    app.add_flag("--strict-regions", dev.strictRegions,
                 "Also NAK a write, verify or read whose block lies outside the region of its "
                 "command family");

    app.add_option("--print-line", printLines,
                   "A text line to print (CR LF is added); repeat for several lines. Printed "
                   "once ahead of the reply to the first frame received, and every --every "
                   "seconds when that is given")
        ->type_name("TEXT");
    app.add_flag("--log-start", logStart,
                 "Send the log-start frame (04 00 07 00 42 00 03) ahead of the --print-line "
                 "lines, at the same moments");
    app.add_option("--every", everySeconds,
                   "Also repeat the --log-start frame and --print-line lines every SEC seconds, "
                   "the first time SEC seconds after start-up")
        ->type_name("SEC");
    app.add_option("--partial-timeout", partialTimeoutMs,
                   "Forget a half-received frame after MS milliseconds of silence (0: never)")
        ->capture_default_str()
        ->type_name("MS");

    Faults& f = dev.faults;
    const std::string faults = "Fault injection";
    app.add_option("--nak-frame", f.nakFrame,
                   "NAK the N-th frame, and its resends until --nak-count NAKs have been sent")
        ->group(faults)
        ->type_name("N");
    app.add_option("--nak-count", f.nakCount, "How many NAKs --nak-frame sends in all")
        ->group(faults)
        ->capture_default_str()
        ->type_name("K");
    app.add_option("--silent-frame", f.silentFrame,
                   "Never answer the N-th frame (it is treated as lost on the line)")
        ->group(faults)
        ->type_name("N");
    app.add_option("--corrupt-frame", f.corruptFrame,
                   "Invert one byte of the reply to the N-th frame (see --corrupt-offset)")
        ->group(faults)
        ->type_name("N");
    app.add_option("--corrupt-offset", f.corruptOffset,
                   "Offset of the byte --corrupt-frame inverts (0 = start byte, 3 = code)")
        ->group(faults)
        ->capture_default_str()
        ->type_name("I");
    app.add_option("--duplicate-reply", f.duplicateFrame,
                   "Send the reply to the N-th frame twice, back to back (one extra ACK)")
        ->group(faults)
        ->type_name("N");
    app.add_flag("--bytewise", f.bytewise,
                 "Deliver replies one byte per write, with a short gap between bytes")
        ->group(faults);
    app.add_option("--line-before-reply", f.lineBeforeReply,
                   "Print this text line (CR LF added) ahead of every reply")
        ->group(faults)
        ->type_name("TEXT");
    app.add_option("--reply-delay", f.replyDelayMs, "Wait MS milliseconds before every answer")
        ->group(faults)
        ->type_name("MS");
    app.add_option("--hang-up-after", f.hangUpAfter,
                   "Answer the N-th frame, then hang up (close the port's master side) and exit")
        ->group(faults)
        ->type_name("N");
    app.add_option("--oversize-frame", f.oversizeFrame,
                   "Ahead of the reply to the N-th frame, send a frame that declares 65535 bytes "
                   "(04 FF FF EE, LF bytes, CRC, 03)")
        ->group(faults)
        ->type_name("N");

    app.add_option("--late-frame", f.lateFrames,
                   "Answer the N-th frame --late-ms late. Nothing is read meanwhile, so the "
                   "frames behind it are answered in order after it: a reply the tool gave up "
                   "on arrives in its next run. Repeat for several")
        ->group(faults)
        ->type_name("N");
    app.add_option("--late-ms", f.lateMs, "How late --late-frame answers")
        ->group(faults)
        ->capture_default_str()
        ->type_name("MS");
    app.add_option("--stray-frame", f.strayFrame,
                   "Ahead of the reply to the N-th frame, send a frame of --stray-code that "
                   "answers nothing")
        ->group(faults)
        ->type_name("N");
    uint32_t strayCode = f.strayCode;
    app.add_option("--stray-code", strayCode,
                   "Code of the stray frame (0x... for hex): 0x51 a sweep report, 0x1B check "
                   "data, 0x1A/0x2A/0x3A/0x4A read data of that region's first block, any other "
                   "code a frame without payload. Default 0x77, a code nobody knows")
        ->group(faults)
        ->check(CLI::Range(0, 255))
        ->type_name("C");
    uint32_t strayEverySeconds = 0;
    app.add_option("--stray-every", strayEverySeconds,
                   "Also send the --stray-code frame every SEC seconds, the first time SEC "
                   "seconds after start-up (a chatty device)")
        ->group(faults)
        ->type_name("SEC");
    app.add_flag("--restart-on-finish", f.restartOnFinish,
                 "Do not answer the finish frame (0x13): restart at once, the flash kept")
        ->group(faults);

    RigOptions rig;
    double lingerSeconds = 1.0, gapSeconds = 0.5;
    const std::string line = "Production line (--rig)";
    app.add_option("--rig", rig.dir,
                   "Play a production line in DIR instead of one device: DIR gets --slots "
                   "links (slot-01, ...), each to a simulated device that is served until it has "
                   "been programmed, then goes away; a fresh one follows. For "
                   "`orlo station --slots-dir DIR`")
        ->group(line)
        ->type_name("DIR");
    app.add_option("--slots", rig.slots, "Slots of the line")
        ->group(line)
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--fail-rate", rig.failRate,
                   "Share of devices (0 to 1) that refuse a block until the tool gives up")
        ->group(line)
        ->check(CLI::Range(0.0, 1.0))
        ->type_name("P");
    app.add_option("--pull-rate", rig.pullRate,
                   "Share of devices (0 to 1) pulled out in the middle of their run")
        ->group(line)
        ->check(CLI::Range(0.0, 1.0))
        ->type_name("P");
    app.add_option("--devices", rig.devices, "Plug this many devices in all, then exit once "
                                             "the last has gone (0: until interrupted)")
        ->group(line)
        ->type_name("N");
    app.add_option("--linger", lingerSeconds,
                   "A programmed device goes away once the tool has been quiet this long")
        ->group(line)
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0))
        ->type_name("SEC");
    app.add_option("--gap", gapSeconds, "A slot stays empty this long before the next device")
        ->group(line)
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0))
        ->type_name("SEC");
    app.add_option("--seed", rig.seed, "Seed of the fault draw (0: from the clock)")
        ->group(line)
        ->type_name("N");

    CLI11_PARSE(app, argc, argv);

    if (!rig.dir.empty()) {
        if (!InstallSignals()) {
            std::fprintf(stderr, "orlo-devsim: cannot set up signal handling\n");
            return 1;
        }
        rig.baud = baud;
        rig.linger = std::chrono::milliseconds(static_cast<long>(lingerSeconds * 1000));
        rig.gap = std::chrono::milliseconds(static_cast<long>(gapSeconds * 1000));
        rig.say = [](const std::string& text) {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        };
        Rig line(rig);
        std::string error;
        if (!line.Start(&error)) {
            std::fprintf(stderr, "orlo-devsim: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "orlo-devsim: a line of %u slots in %s; stop with Ctrl+C\n",
                     rig.slots, rig.dir.c_str());
        while (!line.Finished() && !WaitForSignal(kRigPoll)) line.Poll();
        line.Stop();
        const RigStats stats = line.Stats();
        std::fprintf(stderr,
                     "orlo-devsim: %u devices plugged, %u programmed and removed, %u pulled "
                     "out, %u told to refuse\n",
                     stats.plugged, stats.programmed, stats.pulled, stats.failing);
        return 0;
    }

    f.strayCode = static_cast<uint8_t>(strayCode);
    dev.greetingLogStart = logStart;
    dev.greetingLines = printLines;
    PtyOptions pty;
    pty.baud = baud;
    pty.linkPath = linkPath;
    pty.partialTimeout = std::chrono::milliseconds(partialTimeoutMs);
    if (verbosity > 0) {
        const std::size_t limit = verbosity > 1 ? 0 : kShortTrace;
        pty.trace = [limit](Direction dir, const std::vector<uint8_t>& bytes) {
            std::printf("%s\n", FormatTrace(dir, bytes, limit).c_str());
            std::fflush(stdout);
        };
    }

    PtyDevice sim(dev, pty);
    std::string error;
    if (!flashIn.empty() && !sim.GetDevice().LoadFlash(flashIn, &error)) {
        std::fprintf(stderr, "orlo-devsim: %s\n", error.c_str());
        return 1;
    }
    for (const uint32_t address : flipFlash) {
        const std::vector<uint8_t> byte = sim.GetDevice().ReadFlash(address, 1);
        sim.GetDevice().WriteFlash(address, {static_cast<uint8_t>(~byte.at(0))});
    }
    if (!InstallSignals()) {
        std::fprintf(stderr, "orlo-devsim: cannot set up signal handling\n");
        return 1;
    }
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "orlo-devsim: %s\n", error.c_str());
        return 1;
    }

    const std::string port = linkPath.empty() ? sim.SlavePath() : linkPath;
    std::printf("%s\nexport ORLO_EXTRA_PORTS=%s\n", port.c_str(), port.c_str());
    std::fflush(stdout);
    if (!linkPath.empty())
        std::fprintf(stderr, "orlo-devsim: %s -> %s\n", linkPath.c_str(), sim.SlavePath().c_str());
    std::fprintf(stderr, "orlo-devsim: serving; stop with Ctrl+C\n");

    auto greet = [&] {
        if (logStart) sim.SendLogStart();
        for (const auto& line : printLines) sim.PrintLine(line);
    };
    const auto period = std::chrono::seconds(everySeconds);
    const auto strayPeriod = std::chrono::seconds(strayEverySeconds);
    auto nextGreeting = std::chrono::steady_clock::now() + period;
    auto nextStray = std::chrono::steady_clock::now() + strayPeriod;
    bool hungUp = false;
    for (;;) {
        auto wait = std::chrono::milliseconds(kHangUpPoll);
        const auto now = std::chrono::steady_clock::now();
        if (everySeconds) {
            if (now >= nextGreeting) {
                greet();
                nextGreeting += period;
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(nextGreeting - now));
        }
        if (strayEverySeconds) {
            if (now >= nextStray) {
                sim.SendRaw(sim.GetDevice().StrayFrame(f.strayCode));
                nextStray += strayPeriod;
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(nextStray - now));
        }
        if (WaitForSignal(wait)) break;
        if (!sim.Serving()) {
            hungUp = true;
            break;
        }
    }
    sim.Stop();
    if (hungUp) std::fprintf(stderr, "orlo-devsim: hung up as told\n");

    const DeviceStats stats = sim.GetDevice().Stats();
    std::fprintf(stderr, "orlo-devsim: %llu frames received, %llu ACK, %llu NAK\n",
                 static_cast<unsigned long long>(stats.frames),
                 static_cast<unsigned long long>(stats.acks),
                 static_cast<unsigned long long>(stats.naks));
    if (!saveFlash.empty()) {
        if (!sim.SaveFlash(saveFlash, &error)) {
            std::fprintf(stderr, "orlo-devsim: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "orlo-devsim: flash saved to %s\n", saveFlash.c_str());
    }
    return 0;
}
