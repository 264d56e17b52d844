#include "StationCommand.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Interrupt.h"
#include "PlatformPorts.h"
#include "Session.h"
#include "StationBoard.h"
#include "Version.h"
#include "WireWatch.h"
#include "protocol/Protocol.h"
#include "record/Manifest.h"
#include "record/RunDatabase.h"
#include "station/Station.h"
#include "station/StationRecord.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

constexpr auto kLoopSlice = std::chrono::milliseconds(50);  // longest wait between turns

std::string RegionWord(RegionId region) {
    return std::string(record::RegionWord(region));
}

// The bundle's images with their sizes, in programming order.
struct StationImages {
    record::Bundle bundle;
    std::vector<uint64_t> sizes;
};

// A stream that takes everything and keeps nothing: the station's runs report through the
// board, not through a reporter of their own.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
};

// One device's run: each region in turn through a session on the slot's port.
class SessionRun : public station::IDeviceRun {
  public:
    SessionRun(EventLoop& loop, const StationImages& images, const station::SlotDevice& device,
               std::chrono::milliseconds timeout)
        : m_loop(loop),
          m_images(images.bundle.images),
          m_sizes(images.sizes),
          m_device(device),
          m_timeout(timeout),
          m_null(&m_nullBuffer),
          m_reporter(m_null, m_null, QuietOptions()) {
        for (uint64_t size : m_sizes) m_totalBytes += std::max<uint64_t>(size, 1);
        StartRegion();
    }
    ~SessionRun() override {
        if (m_session) m_session->Close();
    }

    void Poll() override {
        if (m_done || !m_session) return;
        m_session->Poll();
        if (!m_session->Finished()) return;
        EndRegion();
    }
    station::Clock::duration TimeToNextPoll() const override {
        return m_session && !m_done ? m_session->TimeToNextPoll() : station::Clock::duration::max();
    }
    bool Finished() const override { return m_done; }

    station::RunProgress Progress() const override {
        station::RunProgress p;
        if (!m_session || m_done) {
            p.fraction = m_done && m_result.passed ? 1.0 : m_doneBytes / double(m_totalBytes);
            return p;
        }
        const COrloDlg& dlg = m_session->Dialog();
        const uint8_t code = dlg.m_txFrame[3];
        double within = 0;  // of this region: writing is the first half, verifying the second
        switch (code & 0x0F) {
            case 0x1:
                within = dlg.m_progress / 200.0;
                break;
            case 0x2:
                within = 0.5 + dlg.m_progress / 200.0;
                break;
            case 0x3:
                within = 1.0;
                break;
            default:
                break;
        }
        const double regionBytes = double(std::max<uint64_t>(m_sizes[m_index], 1));
        p.fraction = std::min(1.0, (m_doneBytes + within * regionBytes) / double(m_totalBytes));
        p.text = RegionWord(m_images[m_index].region) + ": " + dlg.m_status;
        return p;
    }

    void Abandon(const std::string& why, bool byOperator) override {
        if (m_done) return;
        if (m_session) {
            m_session->Interrupt();
            const Outcome outcome = m_session->Result();
            CountRefusals();
            m_session->Close();
            // An operator who gives up during the application's countdown loses nothing: every
            // block was written and verified. A device pulled out is failed whatever its phase.
            if (byOperator && outcome.code == ExitCode::Completed) {
                RegionDone(true, outcome.detail);
                if (m_index == m_images.size()) {
                    Done(true, {}, outcome.detail);
                    return;
                }
            } else {
                RegionDone(false, why);
            }
        }
        m_result.abandoned = byOperator;
        Done(false, why, why);
    }

    station::RunResult Result() const override { return m_result; }

  private:
    static ReporterOptions QuietOptions() {
        ReporterOptions o;
        o.quiet = true;
        o.progress = false;
        return o;
    }

    void StartRegion() {
        Endpoints named = MakeEndpoints({m_device.path});
        if (named.ports.empty() || !named.ports.front()) {
            const std::string why = named.errors.empty() ? named.usageError
                                                         : named.errors.front().sentence;
            Done(false, why.empty() ? "the port cannot be opened" : why, why);
            return;
        }
        PortEndpoint endpoint = std::move(*named.ports.front());
        m_watch = std::make_shared<WireWatch>();
        endpoint.backend = std::make_unique<WatchedBackend>(std::move(endpoint.backend), m_watch);
        m_session = std::make_unique<Session>(m_loop, std::move(endpoint), m_reporter);
        CommandSpec command;
        command.kind = CommandKind::Program;
        command.region = m_images[m_index].region;
        command.path = m_images[m_index].path;
        command.timeout = m_timeout;
        m_session->Start(command);
        if (m_session->Finished()) EndRegion();
    }

    void CountRefusals() {
        if (!m_watch) return;
        const auto refusals = m_watch->Refusals();
        m_result.naks += static_cast<unsigned>(refusals.size());
        m_watch.reset();
    }

    void RegionDone(bool passed, const std::string& message) {
        m_result.regions.push_back({RegionWord(m_images[m_index].region), passed, message});
        m_doneBytes += std::max<uint64_t>(m_sizes[m_index], 1);
        ++m_index;
    }

    void EndRegion() {
        const Outcome outcome = m_session->Result();
        CountRefusals();
        m_session->Close();
        m_session.reset();
        const bool passed = outcome.code == ExitCode::Completed;
        // The message box's text when the device refused, else our own sentence.
        std::string reason = !outcome.message.empty() ? outcome.message : outcome.detail;
        if (reason.empty() && !passed) reason = std::string(ExitName(outcome.code));
        std::string message = reason;
        if (!outcome.message.empty() && !outcome.detail.empty())
            message += " (" + outcome.detail + ")";
        if (passed && message.empty())
            message = std::string(ProgramCompletedText(m_images[m_index].region));
        RegionDone(passed, message);
        if (!passed) {
            Done(false, reason, RegionWord(m_images[m_index - 1].region) + ": " + message);
            return;
        }
        if (m_index == m_images.size()) {
            Done(true, {}, "Programming completed");
            return;
        }
        StartRegion();
    }

    void Done(bool passed, const std::string& reason, const std::string& message) {
        m_done = true;
        m_result.passed = passed;
        m_result.reason = reason;
        m_result.message = message;
        // A NAK is answered by a resend unless it was the last word of a failed run.
        m_result.resends = m_result.naks - (!passed && m_result.naks > 0 ? 1 : 0);
    }

    EventLoop& m_loop;
    const std::vector<record::BundleImage>& m_images;
    const std::vector<uint64_t>& m_sizes;
    station::SlotDevice m_device;
    std::chrono::milliseconds m_timeout;
    NullBuffer m_nullBuffer;
    std::ostream m_null;
    Reporter m_reporter;
    std::unique_ptr<Session> m_session;
    std::shared_ptr<WireWatch> m_watch;
    std::size_t m_index = 0;
    uint64_t m_totalBytes = 0;
    uint64_t m_doneBytes = 0;
    bool m_done = false;
    station::RunResult m_result;
};

std::chrono::milliseconds Millis(double seconds) {
    if (seconds <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

// The images of the run: REGION FILE pairs, or a manifest's (its files checked against their
// SHA-256). Each must be a file the region can hold. False with a sentence.
bool ReadImages(const StationArgs& args, StationImages* images, std::string* error) {
    if (!args.manifest.empty()) {
        if (!args.images.empty()) {
            *error = "give the images either as REGION FILE pairs or with --manifest, not both";
            return false;
        }
        record::ManifestLoad load = record::LoadManifest(args.manifest);
        if (!load.bundle) {
            *error = load.error;
            return false;
        }
        images->bundle = std::move(*load.bundle);
    } else {
        std::optional<record::Bundle> bundle = record::BundleFromPairs(args.images, error);
        if (!bundle) return false;
        images->bundle = std::move(*bundle);
    }
    for (record::BundleImage& image : images->bundle.images) {
        std::error_code ec;
        const auto status = fs::status(image.path, ec);
        if (!fs::is_regular_file(status)) {
            *error = "cannot read " + image.path + ": " +
                     (fs::exists(status) ? "it is not a regular file" : "no such file");
            return false;
        }
        const uint64_t size = fs::file_size(image.path, ec);
        const FlashRegion& region = Region(image.region);
        if (size == 0) {
            *error = "cannot program " + image.path + ": the file is empty";
            return false;
        }
        if (size > region.maxSize) {
            *error = std::string(region.tooBig) + " (" + image.path + ": " +
                     TooBigContext(size, region.maxSize) + ")";
            return false;
        }
        image.path = fs::absolute(image.path, ec).lexically_normal().string();
        images->sizes.push_back(size);
    }
    *error = record::HashImages(images->bundle);
    return error->empty();
}

}  // namespace

int RunStation(const OutputOptions& output, const StationArgs& args) {
    ReporterOptions options = MakeReporterOptions(output);
    auto usage = [](const std::string& sentence) {
        std::cerr << "orlo: " << sentence << "\n"
                  << "run 'orlo station --help' for more\n";
        return ToInt(ExitCode::Usage);
    };
    StationImages images;
    std::string error;
    if (args.images.empty() && args.manifest.empty())
        return usage("give the images as REGION FILE pairs, or --manifest FILE");
    if (!ReadImages(args, &images, &error)) {
        std::cerr << "orlo: " << error << "\n";
        return ToInt(ExitCode::FileProblem);
    }
    if (args.slotsDir.empty() == args.matches.empty())
        return usage("give either --match VID:PID[:SERIAL] or --slots-dir DIR");

    std::unique_ptr<station::ISlotWatcher> watcher;
    std::string where;
    if (!args.slotsDir.empty()) {
        watcher = station::MakeDirSlotWatcher(args.slotsDir, &error);
        where = args.slotsDir;
    } else {
        std::vector<station::MatchRule> rules;
        std::vector<std::string> comNames;
        for (const std::string& m : args.matches) {
            station::MatchRule rule;
            std::string ruleError;
            if (station::ParseMatch(m, &rule, &ruleError)) {
                rules.push_back(rule);
                continue;
            }
            std::string upper = m;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper.rfind("COM", 0) == 0 && upper.size() > 3 &&
                std::all_of(upper.begin() + 3, upper.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
                comNames.push_back(upper);
            else
                return usage(ruleError);
        }
        watcher = station::MakeMatchSlotWatcher(rules, comNames, &error);
        where = "the ports matching " + [&] {
            std::string list;
            for (const std::string& m : args.matches) list += (list.empty() ? "" : ", ") + m;
            return list;
        }();
    }
    if (!watcher) {
        std::cerr << "orlo: " << error << "\n";
        return ToInt(ExitCode::PortFailure);
    }
    // The record is opened before any device is taken: a database that cannot be written
    // stops the station before it programs a device it could not record.
    const std::string dbPath = args.db.empty() ? record::RunDatabase::DefaultPath() : args.db;
    const auto database = record::RunDatabase::Open(dbPath, record::RunDatabase::Access::ReadWrite,
                                                    &error, args.db.empty());
    if (!database) {
        std::cerr << "orlo: " << error << "\n";
        return ToInt(ExitCode::FileProblem);
    }


    EventLoop loop;
    // Before any port is opened: every reader thread inherits the blocked signals. The
    // station counts the interrupts itself: the second one abandons the runs on record
    // instead of ending the process.
    InterruptWatcher interrupts([&loop] { loop.Post([] {}); }, false);

    const auto timeout = Millis(args.timeoutSeconds);
    station::RunFactory runs = [&loop, &images, timeout](const std::string&,
                                                         const station::SlotDevice& device,
                                                         std::string*) {
        return std::make_unique<SessionRun>(loop, images, device, timeout);
    };
    station::StationOptions stationOptions;
    stationOptions.settle = Millis(args.settleSeconds);
    stationOptions.count = args.count;
    StationBoard board(std::cout, std::cerr, options);
    station::Station station(
        std::move(watcher), runs, stationOptions, &board,
        station::DatabaseRecorder(*database, images.bundle, "orlo " + ToolVersion()));
    board.Attach(&station);

    std::string what = images.bundle.manifestName.empty()
                           ? std::string()
                           : images.bundle.manifestName + ": ";
    for (const record::BundleImage& i : images.bundle.images)
        what += (what.empty() || what.back() == ' ' ? "" : ", ") + RegionWord(i.region) + " " +
                fs::path(i.path).filename().string();
    board.Header(what, where, database->Path());

    unsigned interruptsSeen = 0;
    while (!station.Done()) {
        const unsigned count = interrupts.Count();
        if (count > interruptsSeen) {
            interruptsSeen = count;
            if (count == 1) station.Stop();
            else station.Abandon();
        }
        station.Turn();
        board.Refresh();
        if (station.Done()) break;
        loop.RunOnce(std::chrono::ceil<std::chrono::milliseconds>(station.TimeToNextTurn(kLoopSlice)));
    }
    const int status = station.ExitStatus();
    board.Finish(status);
    return status;
}

}  // namespace orlo::cli
