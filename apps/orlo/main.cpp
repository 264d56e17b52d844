// orlo: the command line of the programmer. Every command drives the same dialog as the
// desktop window, on a console window layer, so every text and every byte on the wire is the
// window's own.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "HelpFormat.h"
#include "StationCommand.h"
#include "Version.h"
#include "app/Resource.h"
#include "protocol/Protocol.h"
#include "record/Bundle.h"

namespace {

using namespace orlo;
using namespace orlo::cli;

// The regions by their words: the parser's choices.
const std::map<std::string, RegionId> kRegions = [] {
    std::map<std::string, RegionId> words;
    for (const FlashRegion& r : kFlashRegions) words.emplace(r.word, r.id);
    return words;
}();

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
    "The device: a COM name from `orlo ports` (COM10), a path that leads to it (/dev/ttyUSB0, a "
    "/dev/serial/by-id/... link, a pseudo-terminal such as /dev/pts/3), a kernel name (ttyUSB0) "
    "or serial:NUMBER, the USB serial number of its adapter (serial:A50285BI). Default: the "
    "ORLO_PORT environment variable.";
constexpr const char* kTimeoutHelp =
    "Give up when the device has not answered for SEC seconds: no reply frame came in that "
    "time (text lines the device prints do not count). 0 waits for ever.";

// The longest time --timeout and --duration take: beyond it (or not a number at all) the value
// is a mistake, not a wish to wait for weeks.
constexpr double kMaxSeconds = 1000000;

// A number of seconds from `least` up to kMaxSeconds; NaN, infinity and overflowing values
// are refused as usage errors.
// A --port names a device: an empty value names none.
const CLI::Validator kPortNamed(
    [](std::string& text) -> std::string {
        return text.empty() ? "an empty value names no port" : std::string();
    },
    "");

CLI::Validator Seconds(bool zeroAllowed) {
    return CLI::Validator(
        [zeroAllowed](std::string& text) -> std::string {
            if (text.empty())
                return "SEC must be a number of seconds from " +
                       std::string(zeroAllowed ? "0" : "above 0") + " to 1000000, not empty";
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
            return "SEC must be a number of seconds from " +
                   std::string(zeroAllowed ? "0" : "above 0") + " to 1000000, not " + text;
        },
        "", "Seconds");
}

const std::vector<help::Example> kExamples = {
    {"orlo ports", "List the serial ports, with the USB adapters' serial numbers."},
    {"orlo doctor --port /dev/ttyUSB0", "Check that the port can be used, and say what to do if not."},
    {"orlo program application firmware.bin --port /dev/ttyUSB0",
     "Write firmware.bin into the application region and verify it."},
    {"orlo program voice voice.adm --port COM10 --port COM11", "Program two devices at once."},
    {"orlo read application backup.bin --port /dev/ttyUSB0",
     "Read the application region back into backup.bin."},
    {"orlo verify voice release.adm --port /dev/ttyUSB0",
     "Compare the voice region with release.adm (exit 1 when it differs)."},
    {"orlo dump backup/ --port /dev/ttyUSB0", "Read every region into backup/, with a manifest."},
    {"orlo log --port /dev/ttyUSB0 --output device.log",
     "Print the device's text lines and keep them in device.log."},
};
constexpr const char* kClosing =
    "Exit status: 0 completed, 1 device failure (Tx Error, Check Flash Memory, a run not "
    "confirmed), 2 usage error, 3 the port cannot be opened, 4 timeout, 5 file problem, 130 "
    "interrupted.\n\n"
    "Run 'orlo help COMMAND' or 'orlo COMMAND --help' for a command's options and examples; "
    "'man orlo' has them all.";

struct Device {
    std::vector<std::string> ports;
    std::string port;
    double timeout = 10;
};

const std::map<std::string, ProgressMode> kProgressModes = {
    {"auto", ProgressMode::Auto},
    {"live", ProgressMode::Live},
    {"plain", ProgressMode::Plain},
    {"none", ProgressMode::None},
};

constexpr const char* kLogTimeoutHelp =
    "End the log (exit status 4) when the device has sent no line and no frame for SEC "
    "seconds. 0: wait forever";

// --port and --timeout of a command that talks to one device.
void AddDeviceOptions(CLI::App* cmd, Device& device, const char* timeoutHelp = kTimeoutHelp) {
    cmd->add_option("-p,--port", device.port, kPortHelp)
        ->check(kPortNamed)
        ->required()
        ->envname("ORLO_PORT")
        ->type_name("DEV");
    cmd->add_option("-t,--timeout", device.timeout, timeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");
}

// "usage: orlo read REGION OUTFILE --port DEV [OPTIONS]": of the command that was being
// parsed, or of the program.
std::string OneLineUsage(const CLI::App* app) {
    return "usage: " + help::UsageLine(app);
}

std::vector<std::string> CommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

// The word where the command should stand: the first argument that is neither an option nor
// the value of one of the program's own options.
std::string CommandWord(const CLI::App& app, const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
        if (!a.starts_with("-") || a == "-") return a;
        if (a.find('=') != std::string::npos) continue;
        const CLI::Option* opt = app.get_option_no_throw(a);
        if (opt != nullptr && opt->get_items_expected_min() > 0) ++i;  // its value
    }
    return {};
}

// The usage error on standard error: what was wrong, the one-line usage of the command (or of
// the program) and where to read more.
int UsageError(const std::string& what, const CLI::App* command, const CLI::App& app) {
    const std::size_t width = help::TerminalColumns(2);
    std::cerr << help::Wrap("orlo: " + what, width, 6) << "\n"
              << help::Wrap(OneLineUsage(command != nullptr ? command : &app), width, 4) << "\n"
              << "run 'orlo " << (command != nullptr ? command->get_name() + " " : std::string())
              << "--help' for more\n";
    return ToInt(ExitCode::Usage);
}

// "'prog' is not a command; did you mean 'program'?"
std::string UnknownCommand(const std::string& word, const CLI::App& app) {
    const std::string nearest = help::Nearest(word, CommandNames(app));
    return "'" + word + "' is not a command" +
           (nearest.empty() ? std::string("; 'orlo --help' lists them")
                            : "; did you mean '" + nearest + "'?");
}

// What the parser found wrong, as a clause of the program's messages.
std::string ParseProblem(const CLI::ParseError& e, const CLI::App* command, const CLI::App& app,
                         const std::vector<std::string>& args) {
    if (command == nullptr) {
        const std::string word = CommandWord(app, args);
        if (word.empty()) return "no command given";
        const std::vector<std::string> names = CommandNames(app);
        if (std::find(names.begin(), names.end(), word) == names.end())
            return UnknownCommand(word, app);
    }
    std::string what = e.what();
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
        what.find("--port") != std::string::npos)
        return "no port given: name the device with --port DEV or in the ORLO_PORT environment "
               "variable; 'orlo ports' lists the ports";
    // CLI11 writes sentences ("The following argument was not expected: x"); ours are clauses.
    if (what.size() > 1 && std::isupper(static_cast<unsigned char>(what[0])) &&
        std::islower(static_cast<unsigned char>(what[1])))
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    return what;
}

// The options that take a value, in every spelling. A value given as the next argument never
// begins with "--" (nor is it one of the short options): "--port --timeout 3" is a --port
// without its value, not a port named "--timeout". A value that does begin so is written
// whole: --port=--odd.
const std::vector<std::string> kValueOptions = {
    "-p", "--port", "-t", "--timeout", "-o", "--output", "-d", "--duration", "-b", "--bits",
    "--progress", "--report", "-n", "--name", "--db", "--since", "--failures", "--match",
    "--slots-dir", "--count", "-m", "--manifest", "--settle", "-l", "--length"};

bool LooksLikeOption(const std::string& arg) {
    if (arg.rfind("--", 0) == 0) return arg.size() > 2;
    return arg.size() == 2 && arg[0] == '-' && std::isalpha(static_cast<unsigned char>(arg[1]));
}

struct MissingValue {
    std::string option;      // as written
    std::string subcommand;  // the command it was given to, if any
};

// The first value option whose value is missing (the arguments end, or an option follows).
std::optional<MissingValue> FindMissingValue(const std::vector<std::string>& args,
                                             const CLI::App& app) {
    std::string subcommand;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") break;  // the rest are positionals
        if (subcommand.empty() && !LooksLikeOption(arg) && arg.rfind('-', 0) != 0) {
            for (const CLI::App* sub : app.get_subcommands({}))
                if (sub->get_name() == arg) subcommand = arg;
        }
        if (std::find(kValueOptions.begin(), kValueOptions.end(), arg) == kValueOptions.end())
            continue;
        if (i + 1 >= args.size() || LooksLikeOption(args[i + 1])) return MissingValue{arg, subcommand};
        ++i;  // the value
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess();
    const std::vector<std::string> arguments = CommandLineArguments(argc, argv);
    std::vector<const char*> argumentPointers;
    for (const std::string& a : arguments) argumentPointers.push_back(a.c_str());

    CLI::App app{
        "orlo programs the 4 MiB serial flash of the RDX-5812LQ target device over a serial "
        "line: it writes an image into a flash region and verifies every block, reads regions "
        "back, and runs the service functions (check block, sweep settings, device log, test "
        "string, bitmap to C header). It drives the same dialog as the desktop window orlo-gui, "
        "so its messages are the window's own texts.\n\n"
        "Start with 'orlo ports' to find the device's port and 'orlo doctor' to check it.",
        "orlo"};
    // Wrapped once, to the terminal's width (80 columns into a pipe or file).
    app.formatter(std::make_shared<help::Formatter>(help::HelpColumns(1)));
    help::SetExamples(&app, kExamples, kClosing);
    // Before the commands are added: they take these texts over.
    app.set_help_flag("-h,--help", "Print this help and exit.");
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("-V,--version", VersionLine(),
                         "Print the version and the commit it was built from, and exit.");

    OutputOptions output;
    output.commandLine = arguments;
    app.add_flag("--json", output.json,
                 "Print one JSON object a line on standard output (events, progress, results) "
                 "for other programs.");
    app.add_flag("-q,--quiet", output.quiet,
                 "Print only errors, warnings and the data a command was asked for.");
    std::string progressMode = "auto";
    app.add_option("--progress", progressMode,
                   "auto: an updating line on a terminal, plain lines elsewhere; live, plain: "
                   "that whatever the output is; none: no progress.")
        ->check(CLI::IsMember(kProgressModes))
        ->type_name("MODE");
    app.add_flag("-v,--verbose", output.verbose,
                 "Print every frame sent (>) and received (<) on standard error: code, flash "
                 "address, length (data left out).");
    app.add_option("--report", output.report,
                   "Write a JSON record of the run to FILE: version, command line, times, "
                   "ports, image and read-back SHA-256, refusals, outcome.")
        ->type_name("FILE");

    // ports
    CLI::App* ports = app.add_subcommand(
        "ports",
        "List the serial ports. Each line gives the COM name, the device, the USB vendor and "
        "product id, serial number, driver, product and maker, and the stable link under "
        "/dev/serial/by-id. Each "
        "of these names a port for --port: the COM name, the device, the link, or "
        "serial:NUMBER. With --json each port is one object with every detail.");
    help::SetExamples(ports, {{"orlo ports", "List the ports."},
                              {"orlo --json ports", "The same, one JSON object a port, for scripts."}});

    // doctor
    std::vector<std::string> doctorPorts;
    CLI::App* doctor = app.add_subcommand(
        "doctor",
        "Check a port for what could stop a run. One line a finding, with what to do about it: "
        "the port exists and is a serial device, you may open it (the port's group, and "
        "whether this login has it yet), no other program has it open, ModemManager leaves it "
        "alone, an FTDI adapter's latency timer, and the line takes 115200 baud 8N1 raw. The "
        "exit status is 0 when nothing blocks a run, else 3.");
    help::SetExamples(doctor, {{"orlo doctor", "Check every listed port."},
                               {"orlo doctor --port /dev/ttyUSB0", "Check one port."}});
    doctor
        ->add_option("-p,--port", doctorPorts,
                     std::string(kPortHelp) + " Repeat for several; without it every listed "
                                              "port is checked.")
        ->check(kPortNamed)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->envname("ORLO_PORT")
        ->type_name("DEV");

    // program
    Device programDevice;
    std::vector<std::string> programImages;
    std::string programManifest, programDb;
    CLI::App* program = app.add_subcommand(
        "program",
        "Write image files into flash regions and verify them. Every block is written, then "
        "sent again for the device to verify. Several REGION FILE pairs are programmed one "
        "after another on one connection, in the order voice, map, user, application whatever "
        "order they are given; --manifest programs the release a manifest pins. A file too big "
        "for its region, or whose extension belongs to another region, is refused before "
        "anything is sent. An application image ends with a countdown of up to 12 seconds, "
        "after which the device may be removed.\n\n"
        "Several --port options program the same images into every device at once (gang "
        "programming), each with its own progress line, and end with a table of the results.");
    help::SetExamples(
        program,
        {{"orlo program application firmware.bin --port /dev/ttyUSB0",
          "Program and verify the application."},
         {"orlo program voice voice.adm application fw.bin --port COM10",
          "Program two regions on one connection, the voice data first."},
         {"orlo program --manifest release-7.json --port serial:A50285BI --db line3.db",
          "Program a pinned release into the device behind that USB adapter, wherever it is "
          "plugged in, and record the run."},
         {"orlo program map city.map --port COM10 --port COM11 --report run.json",
          "Program two devices at once and keep a JSON record of the run."}});
    program
        ->add_option("IMAGES", programImages,
                     "REGION FILE pairs: application (.bin), voice (.adm), map (.map) or user "
                     "(.dat), each followed by its image file (raw bytes, at most the region's "
                     "size).")
        ->allow_extra_args(true)  // the pairs go on after an option (program user --port P FILE)
        ->type_name("REGION FILE ...");
    program->add_option("-m,--manifest", programManifest,
                        "Program the images the manifest FILE names, each only when its SHA-256 "
                        "is the pinned one (orlo manifest writes one).")
        ->type_name("FILE");
    program->add_option("--db", programDb,
                        "Add a row for every device's run to the run database FILE (orlo "
                        "history reads it); created when missing.")
        ->type_name("FILE");
    // One value each time, so --port may stand anywhere on the line (before FILE too).
    program
        ->add_option("-p,--port", programDevice.ports,
                     std::string(kPortHelp) + " Repeat for gang programming.")
        ->check(kPortNamed)
        ->expected(1)
        ->allow_extra_args(false)  // the value after it is the next REGION or FILE
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->required()
        ->envname("ORLO_PORT")
        ->type_name("DEV");
    program->add_option("-t,--timeout", programDevice.timeout, kTimeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");
    bool force = false;
    program->add_flag("-f,--force", force,
                      "Program FILE even when its extension belongs to another region, or when it "
                      "looks like an Intel HEX, S-record or ELF file rather than raw bytes.");

    // read
    Device readDevice;
    std::string readRegion, outFile;
    CLI::App* read = app.add_subcommand(
        "read",
        "Read a flash region, or its first --length bytes, back into a file. The file is "
        "replaced only by a complete read-back: until the last block has arrived the bytes go "
        "into OUTFILE.partial, which is kept, and named, when the run does not complete.");
    help::SetExamples(read, {{"orlo read application backup.bin --port /dev/ttyUSB0",
                              "Read the application region into backup.bin."},
                             {"orlo read voice head.adm --length 60000 --port COM10",
                              "Read the first 60000 bytes of the voice region."},
                             {"orlo read user - --port COM10 | xxd",
                              "Write the user region to standard output."}});
    read->add_option("REGION", readRegion, "application, voice, map or user.")
        ->required()
        ->check(CLI::IsMember(kRegions, CLI::ignore_case));
    read->add_option("OUTFILE", outFile,
                     "The file to write (replaced when it exists); - for standard output.")
        ->required()
        ->type_name("FILE");
    AddDeviceOptions(read, readDevice);
    uint32_t readLength = 0;
    read->add_option("-l,--length", readLength,
                     "Read only the first N bytes of the region (the blocks that hold them); "
                     "the file gets exactly N bytes. Default: the whole region.")
        ->check(CLI::Range(uint32_t{1}, FLASH_SIZE))
        ->type_name("N");

    // verify
    Device verifyDevice;
    std::vector<std::string> verifyPairs;
    std::string verifyManifest;
    CLI::App* verify = app.add_subcommand(
        "verify",
        "Compare the device with image files. Only the blocks each image covers are read, and "
        "they are compared with the image as program writes it (the last block padded with "
        "0xFF). The exit status is 0 when every region is equal and 1 when blocks differ. "
        "Several --port options compare every device at once.");
    help::SetExamples(verify, {{"orlo verify voice release.adm --port /dev/ttyUSB0",
                                "Compare the voice region with release.adm."},
                               {"orlo verify --manifest backup/manifest.json --port COM10",
                                "Compare the device with the images a manifest pins."}});
    verify
        ->add_option("IMAGES", verifyPairs,
                     "REGION FILE pairs: application, voice, map or user, each with its image.")
        ->expected(0, -1)
        ->type_name("REGION FILE ...");
    verify->add_option("-m,--manifest", verifyManifest,
                       "Compare with the images a manifest names (each checked by its SHA-256).")
        ->type_name("FILE");
    verify
        ->add_option("-p,--port", verifyDevice.ports,
                     std::string(kPortHelp) + " Repeat for several devices.")
        ->check(kPortNamed)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->required()
        ->envname("ORLO_PORT")
        ->type_name("DEV");
    verify->add_option("-t,--timeout", verifyDevice.timeout, kTimeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");

    // dump
    Device dumpDevice;
    std::string dumpDir;
    CLI::App* dump = app.add_subcommand(
        "dump",
        "Read every region into DIR (voice.adm, map.map, user.dat, application.bin) and write "
        "DIR/manifest.json beside them, so that the dump can be programmed back or verified "
        "with orlo verify --manifest DIR/manifest.json.");
    help::SetExamples(dump, {{"orlo dump backup --port /dev/ttyUSB0",
                              "Keep everything the device holds in the folder backup."}});
    dump->add_option("DIR", dumpDir, "The folder (made when missing; files in it are replaced).")
        ->required()
        ->type_name("DIR");
    AddDeviceOptions(dump, dumpDevice);

    // check
    Device checkDevice;
    CLI::App* check = app.add_subcommand(
        "check",
        "Print the application check block. These are the 16 bytes at flash address 0x3FE000, "
        "as hex text, as the window shows them.");
    help::SetExamples(check, {{"orlo check --port /dev/ttyUSB0", "Print the check block."}});
    AddDeviceOptions(check, checkDevice);

    // sweep
    Device sweepDevice;
    std::string sweepAction;
    CLI::App* sweep = app.add_subcommand(
        "sweep",
        "Read or step the sweep settings. orlo prints sweep max, sweep min, sweep time and Tm "
        "as written back to the device; 'read' also restores Tm 20000 and sweep time 40 ms.");
    help::SetExamples(sweep, {{"orlo sweep read --port /dev/ttyUSB0", "Show the sweep settings."},
                              {"orlo sweep max+100 --port /dev/ttyUSB0", "Raise sweep max by 100."}});
    sweep
        ->add_option("ACTION", sweepAction,
                     "read, max+100, max-100, max+10, max-10, min+100, min-100, min+10 or "
                     "min-10.")
        ->required()
        // The choices as the type (without CLI11's "TEXT:"), to fit 80 columns.
        ->type_name("{max+10,max+100,max-10,max-100,min+10,min+100,min-10,min-100,read}")
        ->check(CLI::IsMember(kSweepActions, CLI::ignore_case).description(""));
    AddDeviceOptions(sweep, sweepDevice);

    // log
    Device logDevice;
    std::string logFile;
    double duration = 0;
    CLI::App* log = app.add_subcommand(
        "log",
        "Print the text lines the device sends. It runs until Ctrl+C, --duration or --timeout; lines "
        "starting with R are rewritten to decimal, as the window's log does.");
    help::SetExamples(log, {{"orlo log --port /dev/ttyUSB0", "Print the device's lines until Ctrl+C."},
                            {"orlo log --port /dev/ttyUSB0 --output device.log --duration 60",
                             "Keep one minute of lines in device.log, as the window's SaveAs "
                             "writes it."}});
    logDevice.timeout = 0;  // a device may be silent for long: the log waits unless told
    AddDeviceOptions(log, logDevice, kLogTimeoutHelp);
    log->add_option("-o,--output", logFile,
                    "Also write the lines to FILE exactly as the window's SaveAs log file "
                    "(replaced when it exists).")
        ->type_name("FILE");
    log->add_option("-d,--duration", duration, "Stop after SEC seconds (exit status 0).")
        ->check(Seconds(false))
        ->type_name("SEC");

    // test-tx
    Device testDevice;
    CLI::App* testTx = app.add_subcommand(
        "test-tx", "Send the test string \"Hellow\\r\\n\". The 8 bytes go to the device unframed, "
                   "as the window's Test_Tx button sends them.");
    help::SetExamples(testTx, {{"orlo test-tx --port /dev/ttyUSB0", "Send the test string."}});
    AddDeviceOptions(testTx, testDevice);

    // bmp2h
    int bits = 1;
    std::string bitmap;
    CLI::App* bmp2h = app.add_subcommand(
        "bmp2h",
        "Convert a bitmap into a C header. A 1-bit (monochrome) or 4-bit (16-colour) bitmap of "
        "at most 256 x 32 pixels becomes a header beside it (logo.bmp becomes logo.h), as the "
        "window's converters make them.");
    help::SetExamples(bmp2h, {{"orlo bmp2h --bits 1 logo.bmp", "Write logo.h from a monochrome logo.bmp."},
                              {"orlo bmp2h --bits 4 icons/battery.bmp",
                               "Write icons/battery.h from a 16-colour bitmap."}});
    bmp2h->add_option("-b,--bits", bits, "Bits per pixel of the converter: 1 or 4.")
        ->required()
        ->check(CLI::IsMember({1, 4}));
    bmp2h
        ->add_option("FILE", bitmap,
                     "The .bmp file; the header is written beside it with .h in place of .bmp.")
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

    // manifest
    std::vector<std::string> manifestPairs;
    std::string manifestOutput, manifestName;
    CLI::App* manifest = app.add_subcommand(
        "manifest",
        "Write a manifest that pins a release. It names each region's image file with its "
        "SHA-256, in the order they are programmed; 'orlo program --manifest FILE' programs "
        "exactly those files, and refuses the release when any of them has changed.");
    help::SetExamples(manifest,
                      {{"orlo manifest voice voice.adm application fw.bin -o release-7.json",
                        "Pin a release of two images; its runs are recorded as release-7."}});
    manifest
        ->add_option("IMAGES", manifestPairs,
                     "REGION FILE pairs: voice (.adm), map (.map), user (.dat) or application "
                     "(.bin), each followed by its image file.")
        ->required()
        ->allow_extra_args(true)
        ->type_name("REGION FILE ...");
    manifest->add_option("-o,--output", manifestOutput,
                         "The manifest file to write (replaced when it exists); the images are "
                         "named relative to its folder.")
        ->required()
        ->type_name("FILE");
    manifest->add_option("-n,--name", manifestName,
                         "The release's name, kept in every run's record (default: the output's "
                         "file name without its extension).")
        ->type_name("TEXT");

    // history
    std::string historyDb, historySince;
    int historyFailures = 10;
    CLI::App* history = app.add_subcommand(
        "history",
        "Print what the run database holds. That is the runs in all, the yield per slot and "
        "per manifest, and the latest failures with their reasons.");
    help::SetExamples(history, {{"orlo history", "Summarise every run the station recorded."},
                                {"orlo history --since 12h --failures 20",
                                 "The last twelve hours, with up to 20 failures."}});
    history->add_option("--db", historyDb,
                        "The run database (default: $XDG_STATE_HOME/orlo/station.db, "
                        "~/.local/state/orlo/station.db).")
        ->type_name("FILE");
    history->add_option("--since", historySince,
                        "Only runs that ended since TIME: a UTC date or time (2026-12-08, "
                        "2026-12-08T14:00) or a span back from now (90s, 30m, 12h, 7d).")
        ->type_name("TIME");
    history->add_option("--failures", historyFailures, "How many of the latest failures to list.")
        ->check(CLI::Range(0, 10000))
        ->capture_default_str()
        ->type_name("N");

    // station
    StationArgs stationArgs;
    CLI::App* stationCmd = app.add_subcommand(
        "station",
        "Program every device plugged into a slot, once, as it comes. A device stays 0.5 s, is "
        "programmed with the images (voice, map, user, then application, whatever the order "
        "given), shows PASSED or FAILED and waits to be removed. Slots run in parallel.\n\n"
        "Ctrl+C takes no new devices and lets the running ones finish; a second Ctrl+C abandons "
        "them. The exit status is 0 when every device passed, 1 when any failed, 130 when runs "
        "were abandoned.");
    help::SetExamples(
        stationCmd,
        {{"orlo station application fw.bin --match 0403:6001",
          "Program the application into every FTDI adapter's device plugged into the hub."},
         {"orlo station --manifest release-7.json --match 0403:6001 --db line3.db",
          "Program a pinned release and record every device in line3.db."},
         {"orlo station voice v.adm --slots-dir /tmp/rig --count 8",
          "Program the devices of orlo-devsim --rig /tmp/rig, and end after eight."}});
    stationCmd
        ->add_option("IMAGES", stationArgs.images,
                     "REGION FILE pairs: application (.bin), voice (.adm), map (.map), user (.dat).")
        ->type_name("REGION FILE");
    stationCmd
        ->add_option("--match", stationArgs.matches,
                     "Program every serial device with this USB id (and serial number), in the "
                     "slot of its place on the hub (its /dev/serial/by-path link); on Windows a "
                     "COM name too. Repeat for several.")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("VID:PID[:SERIAL]");
    stationCmd
        ->add_option("--slots-dir", stationArgs.slotsDir,
                     "Every entry of DIR that is a link to a serial device is a device in the "
                     "slot of that name; removing the entry is unplugging.")
        ->type_name("DIR");
    stationCmd->add_option("--count", stationArgs.count, "End after N devices have finished.")
        ->type_name("N");
    stationCmd->add_option("--db", stationArgs.db, "The record of every device (SQLite).")
        ->type_name("FILE");
    stationCmd->add_flag("--verify", stationArgs.verify,
                         "Compare every device with the images instead of programming it (a "
                         "quality-control line); a device whose blocks differ fails.");
    stationCmd->add_option("--manifest", stationArgs.manifest, "The images of a release.")
        ->type_name("FILE");
    stationCmd->add_option("-t,--timeout", stationArgs.timeoutSeconds, kTimeoutHelp)
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");
    stationCmd
        ->add_option("--settle", stationArgs.settleSeconds,
                     "How long a device must stay plugged in before it is programmed.")
        ->check(Seconds(true))
        ->capture_default_str()
        ->type_name("SEC");

    // help
    std::string helpTopic;
    CLI::App* helpCommand = app.add_subcommand(
        "help",
        "Show the help of orlo or of one command. A command's help names its arguments and "
        "options and ends with examples.");
    helpCommand->add_option("COMMAND", helpTopic, "The command to explain.");
    help::SetExamples(helpCommand,
                      {{"orlo help program", "Explain orlo program, its options and examples."}});

    if (const auto missing = FindMissingValue(arguments, app)) {
        const CLI::App* sub = missing->subcommand.empty()
                                  ? nullptr
                                  : app.get_subcommand(missing->subcommand);
        return UsageError(missing->option + " needs a value (one that begins with -- is written " +
                              missing->option + "=--VALUE)",
                          sub, app);
    }
    try {
        app.parse(static_cast<int>(argumentPointers.size()), argumentPointers.data());
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // The error, the one-line usage and where to read more: the whole help would bury
        // the one line that matters.
        const auto parsed = app.get_subcommands();
        const CLI::App* sub = parsed.empty() ? nullptr : parsed.front();
        return UsageError(ParseProblem(e, sub, app, arguments), sub, app);
    }
    output.progress = kProgressModes.at(progressMode);
    // REGION FILE pairs are a usage matter: a wrong one is said as the parser's errors are.
    for (auto [sub, pairs] : {std::pair{program, &programImages}, {manifest, &manifestPairs}}) {
        if (!*sub || (sub == program && !programManifest.empty() && programImages.empty()))
            continue;
        std::string error;
        if (sub == program && !programManifest.empty())
            error = "give REGION FILE pairs or --manifest, not both";
        else if (!record::BundleFromPairs(*pairs, &error))
            error = pairs->empty() ? "name a REGION and its FILE, or a --manifest" : error;
        else
            continue;
        return UsageError(error, sub, app);
    }

    auto single = [](const Device& d) {
        DeviceArgs args;
        args.ports = {d.port};
        args.timeoutSeconds = d.timeout;
        return args;
    };
    auto regionOf = [](const std::string& name) { return RegionOfWord(name).value(); };

    if (!output.report.empty() && (*ports || *bmp2h || *manifest || *history)) {
        // A record is of a run on devices; silently writing none would be worse than refusing.
        return UsageError("--report records device commands (program, read, check, sweep, log, "
                          "test-tx)",
                          app.get_subcommands().front(), app);
    }
    if (*helpCommand) {
        if (helpTopic.empty()) {
            std::cout << app.help();
            return ToInt(ExitCode::Completed);
        }
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (sub->get_name() != helpTopic) continue;
            std::cout << sub->help();
            return ToInt(ExitCode::Completed);
        }
        return UsageError(UnknownCommand(helpTopic, app), helpCommand, app);
    }
    if (*ports) return RunPorts(output);
    if (*manifest) return RunManifest(output, manifestPairs, manifestOutput, manifestName);
    if (*history) return RunHistory(output, historyDb, historySince, historyFailures);
    if (*doctor) return RunDoctor(output, doctorPorts);
    if (*program) {
        DeviceArgs args;
        args.ports = programDevice.ports;
        args.timeoutSeconds = programDevice.timeout;
        ProgramArgs what;
        what.pairs = programImages;
        what.manifest = programManifest;
        what.db = programDb;
        what.force = force;
        return RunProgram(output, args, what);
    }
    if (*read) {
        output.toStderr = outFile == "-";  // the region's bytes take standard output
        return RunRead(output, single(readDevice), regionOf(readRegion), outFile, readLength);
    }
    if (*verify) {
        DeviceArgs args;
        args.ports = verifyDevice.ports;
        args.timeoutSeconds = verifyDevice.timeout;
        return RunVerify(output, args, verifyPairs, verifyManifest);
    }
    if (*dump) return RunDump(output, single(dumpDevice), dumpDir);
    if (*check) return RunCheck(output, single(checkDevice));
    if (*sweep) {
        std::string action = sweepAction;
        for (char& c : action) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return RunSweep(output, single(sweepDevice), kSweepActions.at(action));
    }
    if (*log) return RunLog(output, single(logDevice), logFile, duration);
    if (*testTx) return RunTestTx(output, single(testDevice));
    if (*bmp2h) return RunBmp2h(output, bits, bitmap);
    if (*stationCmd) return RunStation(output, stationArgs);
    std::cerr << app.help();
    return ToInt(ExitCode::Usage);
}
