#include "StationCommand.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Interrupt.h"
#include "StationBoard.h"
#include "Version.h"
#include "record/Manifest.h"
#include "record/RunDatabase.h"
#include "record/Sha256.h"
#include "station/BundleRun.h"
#include "station/Station.h"
#include "station/StationRecord.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

constexpr auto kLoopSlice = std::chrono::milliseconds(50);  // longest wait between turns

std::chrono::milliseconds Millis(double seconds) {
    if (seconds <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

}  // namespace

int RunStation(const OutputOptions& output, const StationArgs& args) {
    ReporterOptions options = MakeReporterOptions(output);
    auto usage = [](const std::string& sentence) {
        std::cerr << "orlo: " << sentence << "\n"
                  << "run 'orlo station --help' for more\n";
        return ToInt(ExitCode::Usage);
    };
    station::StationImages images;
    std::string error;
    if (args.images.empty() && args.manifest.empty())
        return usage("give the images as REGION FILE pairs, or --manifest FILE");
    if (!station::LoadStationImages(args.images, args.manifest, &images, &error)) {
        std::cerr << "orlo: " << error << "\n";
        return ToInt(ExitCode::FileProblem);
    }
    if (args.slotsDir.empty() == args.matches.empty())
        return usage("give either --match VID:PID[:SERIAL] or --slots-dir DIR");

    std::unique_ptr<station::ISlotWatcher> watcher;
    std::string where;
    bool comNamesGiven = false;
    if (!args.slotsDir.empty()) {
        watcher = station::MakeDirSlotWatcher(args.slotsDir, &error);
        where = args.slotsDir;
    } else {
        std::vector<station::MatchRule> rules;
        std::vector<std::string> comNames;
        std::string matchError;
        if (!station::ParseSlotMatches(args.matches, &rules, &comNames, &matchError))
            return usage(matchError);
        comNamesGiven = !comNames.empty();
        watcher = station::MakeMatchSlotWatcher(rules, comNames, &error);
        where = "the ports matching " + [&] {
            std::string list;
            for (const std::string& m : args.matches) list += (list.empty() ? "" : ", ") + m;
            return list;
        }();
    }
    if (!watcher) {
        std::cerr << "orlo: " << error << "\n";
        // Slots named in a way this system does not have (COM names off Windows) are a usage
        // error; a watcher that cannot watch is the port's failure.
        return ToInt(comNamesGiven ? ExitCode::Usage : ExitCode::PortFailure);
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

    station::BundleRunOptions runOptions;
    runOptions.timeout = Millis(args.timeoutSeconds);
    if (args.verify) {
        // Each image is read once for every device, and must still be the file just hashed.
        runOptions.verify = true;
        for (const record::BundleImage& image : images.bundle.images) {
            ComparedImage read = ReadComparedImage(image.path, Region(image.region).maxSize);
            const std::string sha = record::Sha256Hex(std::string_view(
                reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size()));
            if (read.error.empty() && sha != image.sha256)
                read.error = image.path + " changed while the images were being read";
            if (!read.error.empty()) {
                std::cerr << "orlo: " << read.error << "\n";
                return ToInt(ExitCode::FileProblem);
            }
            runOptions.images.push_back(
                std::make_shared<const std::vector<uint8_t>>(std::move(read.bytes)));
        }
    }
    const station::RunFactory runs =
        station::BundleRuns(loop, images.bundle, images.sizes, runOptions);
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
        what += (what.empty() || what.back() == ' ' ? "" : ", ") + std::string(Region(i.region).word) + " " +
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
