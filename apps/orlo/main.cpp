// orlo: the command line of the programmer. Every command drives the same dialog as the
// desktop window, on a console window layer, so every text and every byte on the wire is the
// window's own.
#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <map>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "app/Resource.h"

namespace {

using namespace orlo;
using namespace orlo::cli;

const std::map<std::string, RegionId> kRegions = {
    {"application", RegionId::Application},
    {"voice", RegionId::Voice},
    {"map", RegionId::Map},
    {"user", RegionId::User},
};

// The sweep actions and the buttons that carry them out.
const std::map<std::string, int> kSweepActions = {
    {"read", IDC_SWEEP_READ},
    {"max+100", IDC_SWEEP_MAX_PLUS100},
    {"max-100", IDC_SWEEP_MAX_MINUS100},
    {"max+10", IDC_SWEEP_MAX_PLUS10},
    {"max-10", IDC_SWEEP_MAX_MINUS10},
    {"min+100", IDC_SWEEP_MIN_PLUS100},
    {"min-100", IDC_SWEEP_MIN_MINUS100},
    {"min+10", IDC_SWEEP_MIN_PLUS10},
    {"min-10", IDC_SWEEP_MIN_MINUS10},
};

constexpr const char* kPortHelp =
    "The device: a path that leads to it (/dev/ttyUSB0, a /dev/serial/by-id/... link, a "
    "relative path, a pseudo-terminal such as /dev/pts/3), a kernel name (ttyUSB0), a COM name "
    "from `orlo ports` (COM10) or serial:NUMBER, the USB serial number of its adapter "
    "(serial:A50285BI). Default: $ORLO_PORT";
constexpr const char* kTimeoutHelp =
    "Give up when the device has not answered for SEC seconds: no reply frame came in that "
    "time (text lines the device prints do not count). 0: wait forever";

// The longest time --timeout and --duration take: beyond it (or not a number at all) the value
// is a mistake, not a wish to wait for weeks.
constexpr double kMaxSeconds = 1000000;

// A number of seconds from `least` up to kMaxSeconds; NaN, infinity and overflowing values
// are refused as usage errors.
CLI::Validator Seconds(bool zeroAllowed) {
    return CLI::Validator(
        [zeroAllowed](std::string& text) -> std::string {
            double value = 0;
            std::size_t used = 0;
            try {
                value = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            const bool ok = used == text.size() && std::isfinite(value) &&
                            (zeroAllowed ? value >= 0 : value > 0) && value <= kMaxSeconds;
            if (ok) return {};
            return "SEC must be a number of seconds from " + std::string(zeroAllowed ? "0" : "above 0") +
                   " to 1000000, not " + text;
        },
        "SEC", "Seconds");
}

constexpr const char* kFooter =
    "Exit status: 0 completed, 1 device failure (Tx Error, Check Flash Memory, ...), 2 usage\n"
    "error, 3 port cannot be opened, 4 timeout, 5 file problem, 130 interrupted.\n"
    "\n"
    "Examples:\n"
    "  orlo ports\n"
    "  orlo doctor --port /dev/ttyUSB0\n"
    "  orlo program application firmware.bin --port /dev/ttyUSB0\n"
    "  orlo program voice voice.adm --port COM10 --port COM11     (both at once)\n"
    "  orlo read application backup.bin --port /dev/ttyUSB0\n"
    "  orlo check --port /dev/ttyUSB0\n"
    "  orlo log --port /dev/ttyUSB0 --output device.log\n"
    "  orlo bmp2h --bits 1 logo.bmp                               (writes logo.h)\n"
    "\n"
    "`orlo COMMAND --help` explains each command.";

struct Device {
    std::vector<std::string> ports;
    std::string port;
    double timeout = 10;
};

// --port and --timeout of a command that talks to one device.
void AddDeviceOptions(CLI::App* cmd, Device& device) {
    cmd->add_option("-p,--port", device.port, kPortHelp)
        ->required()
        ->envname("ORLO_PORT")
        ->type_name("DEV");
    cmd->add_option("-t,--timeout", device.timeout, kTimeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");
}

// The help of the command that was being parsed, or of the whole program.
std::string UsageOf(CLI::App& app) {
    for (CLI::App* sub : app.get_subcommands()) return sub->help();
    return app.help();
}

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess();

    CLI::App app{
        "orlo programs the 4 MiB serial flash of the RDX-5812LQ target device over a serial\n"
        "line, and runs its service functions: read-back, check block, sweep settings, device\n"
        "log, test string and the bitmap to C-header converter. It drives the same dialog as\n"
        "the desktop window: the message texts are the window's own, printed verbatim.",
        "orlo"};
    app.footer(kFooter);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "orlo 1.0.0");

    OutputOptions output;
    app.add_flag("--json", output.json,
                 "Print one JSON object a line on standard output (events, progress, results) "
                 "for other programs");
    app.add_flag("-q,--quiet", output.quiet,
                 "Print only errors, warnings and the data a command was asked for");

    // ports
    CLI::App* ports = app.add_subcommand(
        "ports",
        "List the serial ports in columns: COM name, device, USB vendor:product, serial number,\n"
        "driver, product and maker, stable link (/dev/serial/by-id); --json gives every detail");

    // doctor
    std::vector<std::string> doctorPorts;
    CLI::App* doctor = app.add_subcommand(
        "doctor",
        "Check before a run what could stop it, one line a finding with what to do: the port\n"
        "exists and is a serial device, you may open it (group dialout), no other program has it\n"
        "open, ModemManager leaves it alone, an FTDI adapter's latency timer, and the line takes\n"
        "115200 baud 8N1 raw. Exit status 0 when nothing blocks a run, else 3.");
    doctor
        ->add_option("-p,--port", doctorPorts,
                     std::string(kPortHelp) + ". Repeat for several; default: every listed port")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->envname("ORLO_PORT")
        ->type_name("DEV");

    // program
    Device programDevice;
    std::string programRegion, image;
    CLI::App* program = app.add_subcommand(
        "program",
        "Write an image file into a flash region, block by block, then verify every block.\n"
        "Application images end with a countdown after which the device may be removed.\n"
        "Several --port options program the same image into every device at once.");
    program
        ->add_option("REGION", programRegion,
                     "application (.bin), voice (.adm), map (.map) "
                     "or user (.dat)")
        ->required()
        ->check(CLI::IsMember(kRegions, CLI::ignore_case));
    program->add_option("FILE", image, "The image file (raw bytes, at most the region's size)")
        ->required()
        ->type_name("FILE");
    // One value each time, so --port may stand anywhere on the line (before FILE too).
    program
        ->add_option("-p,--port", programDevice.ports,
                     std::string(kPortHelp) + ". Repeat for gang programming")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->required()
        ->envname("ORLO_PORT")
        ->type_name("DEV");
    program->add_option("-t,--timeout", programDevice.timeout, kTimeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");

    // read
    Device readDevice;
    std::string readRegion, outFile;
    CLI::App* read = app.add_subcommand(
        "read",
        "Read a whole flash region back into a file (kept, and reported as partial, "
        "when the run does not complete)");
    read->add_option("REGION", readRegion, "application, voice, map or user")
        ->required()
        ->check(CLI::IsMember(kRegions, CLI::ignore_case));
    read->add_option("OUTFILE", outFile, "The file to write (replaced when it exists)")
        ->required()
        ->type_name("FILE");
    AddDeviceOptions(read, readDevice);

    // check
    Device checkDevice;
    CLI::App* check = app.add_subcommand(
        "check", "Read the 16-byte application check block and print it as hex text");
    AddDeviceOptions(check, checkDevice);

    // sweep
    Device sweepDevice;
    std::string sweepAction;
    CLI::App* sweep = app.add_subcommand(
        "sweep",
        "Read or step the sweep settings, then print sweep max, sweep min, sweep time and Tm\n"
        "as written back to the device. `read` also restores Tm 20000 and sweep time 40 ms.");
    sweep
        ->add_option("ACTION", sweepAction,
                     "read, max+100, max-100, max+10, max-10, min+100, min-100, min+10 or "
                     "min-10")
        ->required()
        ->check(CLI::IsMember(kSweepActions, CLI::ignore_case));
    AddDeviceOptions(sweep, sweepDevice);

    // log
    Device logDevice;
    std::string logFile;
    double duration = 0;
    CLI::App* log = app.add_subcommand(
        "log",
        "Print the text lines the device sends (lines starting with R rewritten to "
        "decimal) until Ctrl+C or --duration");
    AddDeviceOptions(log, logDevice);
    log->add_option("-o,--output", logFile,
                    "Also write the lines to FILE exactly as the window's SaveAs log file "
                    "(replaced when it exists)")
        ->type_name("FILE");
    log->add_option("-d,--duration", duration, "Stop after SEC seconds (exit status 0)")
        ->check(Seconds(false))
        ->type_name("SEC");

    // test-tx
    Device testDevice;
    CLI::App* testTx =
        app.add_subcommand("test-tx", "Send the 8-byte test string \"Hellow\\r\\n\" (unframed)");
    AddDeviceOptions(testTx, testDevice);

    // bmp2h
    int bits = 1;
    std::string bitmap;
    CLI::App* bmp2h = app.add_subcommand(
        "bmp2h",
        "Convert a 1-bit (monochrome) or 4-bit (16-colour) bitmap of at most 256 x 32\n"
        "pixels into a C header beside it (logo.bmp -> logo.h)");
    bmp2h->add_option("-b,--bits", bits, "Bits per pixel of the converter: 1 or 4")
        ->required()
        ->check(CLI::IsMember({1, 4}));
    bmp2h
        ->add_option("FILE", bitmap,
                     "The .bmp file; the header is written beside it with .h in place of .bmp")
        ->required()
        ->type_name("FILE.bmp")
        ->check(CLI::Validator(
            [](std::string& path) -> std::string {
                std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : "";
                for (char& c : tail)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                return tail == ".bmp" ? std::string() : path + " does not end in .bmp";
            },
            "", "BMP"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "orlo: " << e.what() << "\n\n" << UsageOf(app);
        return ToInt(ExitCode::Usage);
    }

    auto single = [](const Device& d) {
        DeviceArgs args;
        args.ports = {d.port};
        args.timeoutSeconds = d.timeout;
        return args;
    };
    auto regionOf = [](std::string name) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return kRegions.at(name);
    };

    if (*ports) return RunPorts(output);
    if (*doctor) return RunDoctor(output, doctorPorts);
    if (*program) {
        DeviceArgs args;
        args.ports = programDevice.ports;
        args.timeoutSeconds = programDevice.timeout;
        return RunProgram(output, args, regionOf(programRegion), image);
    }
    if (*read) return RunRead(output, single(readDevice), regionOf(readRegion), outFile);
    if (*check) return RunCheck(output, single(checkDevice));
    if (*sweep) {
        std::string action = sweepAction;
        for (char& c : action) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return RunSweep(output, single(sweepDevice), kSweepActions.at(action));
    }
    if (*log) return RunLog(output, single(logDevice), logFile, duration);
    if (*testTx) return RunTestTx(output, single(testDevice));
    if (*bmp2h) return RunBmp2h(output, bits, bitmap);
    std::cerr << app.help();
    return ToInt(ExitCode::Usage);
}
