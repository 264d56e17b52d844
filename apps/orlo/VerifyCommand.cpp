#include "VerifyCommand.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include "Commands.h"
#include "GangRunner.h"
#include "RunReport.h"
#include "images/FlashRegion.h"
#include "protocol/ReadBackCompare.h"
#include "record/Manifest.h"
#include "record/Sha256.h"

namespace orlo::cli {

namespace {

// A record that could not be written is refused before any port opens: the exit status of
// that refusal, or nothing when the record may be written (or none was asked for).
std::optional<int> RefuseUnwritableRecord(Reporter& reporter, const RunReport* record) {
    if (!record) return std::nullopt;
    const std::string problem = record->Probe();
    if (problem.empty()) return std::nullopt;
    reporter.Error(-1, problem);
    reporter.Finish({}, ToInt(ExitCode::FileProblem));
    return ToInt(ExitCode::FileProblem);
}


namespace fs = std::filesystem;
using nlohmann::json;

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The dump's file of a region: its word and the extension its file dialog filters.
std::string DumpName(RegionId region) {
    switch (region) {
        case RegionId::Application:
            return "application.bin";
        case RegionId::Voice:
            return "voice.adm";
        case RegionId::Map:
            return "map.map";
        case RegionId::User:
            return "user.dat";
    }
    return "region.bin";
}

// Whether the next region is worth a run after these outcomes: every port completed, or only
// found differences. A port that failed or stopped answering would fail the next one too.
bool GoOn(const PortsRun& run) {
    for (const Outcome& o : run.outcomes)
        if (o.code != ExitCode::Completed && !o.verify) return false;
    return true;
}

// Each port's outcome over every region: its first that did not complete, else its last.
std::vector<Outcome> PerPort(const std::vector<PortsRun>& runs) {
    std::vector<Outcome> outcomes;
    for (const PortsRun& run : runs) {
        if (outcomes.empty()) outcomes.resize(run.outcomes.size());
        for (std::size_t i = 0; i < run.outcomes.size() && i < outcomes.size(); ++i) {
            if (outcomes[i].code == ExitCode::Completed) outcomes[i] = run.outcomes[i];
        }
    }
    return outcomes;
}

int Combined(const std::vector<PortsRun>& runs) {
    std::vector<Outcome> all;
    for (const PortsRun& run : runs) all.insert(all.end(), run.outcomes.begin(), run.outcomes.end());
    return ToInt(GangRunner::Combine(all));
}

}  // namespace

json VerifyJson(const run::VerifyResult& v) {
    const bool differs = v.differingBlocks > 0;
    return {{"region", v.region},
            {"image", v.image},
            {"image_bytes", v.imageBytes},
            {"blocks", v.blocks},
            {"differing_blocks", v.differingBlocks},
            {"equal", !differs},
            {"first_difference", differs ? json(v.firstDifference) : json(nullptr)},
            {"first_difference_offset", differs ? json(v.firstDifferenceOffset) : json(nullptr)}};
}

int RunVerify(const OutputOptions& output, const DeviceArgs& device,
              const std::vector<std::string>& pairs, const std::string& manifest) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    std::optional<RunReport> report;
    if (!output.report.empty()) report.emplace(output.report, output.commandLine, "verify");
    RunReport* record = report ? &*report : nullptr;
    if (const auto refused = RefuseUnwritableRecord(reporter, record)) return *refused;
    auto refuse = [&](ExitCode code, const std::string& sentence) {
        reporter.Error(-1, sentence);
        if (record) record->SetRefusal(sentence);
        return Conclude(reporter, record, {}, ToInt(code));
    };

    record::Bundle bundle;
    if (!manifest.empty() && !pairs.empty())
        return refuse(ExitCode::Usage, "give REGION FILE pairs or --manifest, not both");
    if (!manifest.empty()) {
        record::ManifestLoad load = record::LoadManifest(manifest);
        if (!load.bundle) return refuse(ExitCode::FileProblem, load.error);
        bundle = std::move(*load.bundle);
    } else {
        std::string error;
        auto fromPairs = record::BundleFromPairs(pairs, &error);
        if (!fromPairs) return refuse(ExitCode::Usage, error);
        bundle = std::move(*fromPairs);
    }
    if (bundle.images.empty()) return refuse(ExitCode::Usage, "no image to compare with");

    // Every image is read once, before any port opens: each device of a gang is compared with
    // the same bytes, and a file that changes meanwhile cannot change what is compared.
    struct Loaded {
        RegionId region;
        std::string path;
        std::shared_ptr<const std::vector<uint8_t>> bytes;
    };
    std::vector<Loaded> images;
    std::string regions;
    for (const record::BundleImage& image : bundle.images) {
        const FlashRegion& region = Region(image.region);
        ComparedImage read = ReadComparedImage(image.path, region.maxSize);
        if (read.tooBig) {
            std::error_code ec;
            const auto size = fs::file_size(image.path, ec);
            reporter.Box(-1, std::string(region.tooBig), BoxKind::Failure,
                         TooBigContext(ec ? 0 : size, region.maxSize));
            return refuse(ExitCode::FileProblem, read.error);
        }
        if (!read.error.empty()) return refuse(ExitCode::FileProblem, read.error);
        const std::string sha = record::Sha256Hex(std::string_view(
            reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size()));
        // A manifest pins its files: the bytes read now must be the ones it was checked with.
        if (!image.sha256.empty() && image.sha256 != sha)
            return refuse(ExitCode::FileProblem,
                          image.path + " changed after the manifest was checked: its SHA-256 is "
                                       "no longer the pinned one");
        if (record && bundle.images.size() == 1)
            record->SetImage(Absolute(image.path), read.bytes.size(), sha);
        regions += (regions.empty() ? "" : ",") + std::string(Region(image.region).word);
        images.push_back({image.region, image.path,
                          std::make_shared<const std::vector<uint8_t>>(std::move(read.bytes))});
    }
    if (record) record->SetRegion(regions);

    std::vector<PortsRun> runs;
    for (const Loaded& image : images) {
        CommandSpec command;
        command.kind = CommandKind::Verify;
        command.region = image.region;
        command.path = image.path;
        command.image = image.bytes;
        runs.push_back(RunCommandOnPorts(output, device, command, reporter, record));
        if (!GoOn(runs.back())) break;
    }
    return Conclude(reporter, record, PerPort(runs), Combined(runs));
}

int RunDump(const OutputOptions& output, const DeviceArgs& device, const std::string& dir) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    std::optional<RunReport> report;
    if (!output.report.empty()) report.emplace(output.report, output.commandLine, "dump");
    RunReport* record = report ? &*report : nullptr;
    auto refuse = [&](ExitCode code, const std::string& sentence) {
        reporter.Error(-1, sentence);
        if (record) record->SetRefusal(sentence);
        return Conclude(reporter, record, {}, ToInt(code));
    };
    if (const auto refused = RefuseUnwritableRecord(reporter, record)) return *refused;
    std::error_code ec;
    const fs::path folder = fs::absolute(dir, ec).lexically_normal();
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
        return refuse(ExitCode::FileProblem, "cannot dump into " + dir + ": it is not a directory");
    if (!fs::exists(folder, ec) && !fs::create_directory(folder, ec))
        return refuse(ExitCode::FileProblem,
                      "cannot create " + dir + (ec ? ": " + ec.message() : std::string()));
    if (record) record->SetRegion("voice,map,user,application");

    // Flash order, as a manifest lists them: the application last.
    record::Bundle bundle;
    std::vector<PortsRun> runs;
    for (const RegionId region :
         {RegionId::Voice, RegionId::Map, RegionId::User, RegionId::Application}) {
        CommandSpec command;
        command.kind = CommandKind::Read;
        command.region = region;
        command.path = (folder / DumpName(region)).string();
        runs.push_back(RunCommandOnPorts(output, device, command, reporter, record));
        if (runs.back().code != ToInt(ExitCode::Completed)) break;
        bundle.images.push_back({region, command.path, {}});
    }
    int code = Combined(runs);
    if (code == ToInt(ExitCode::Completed)) {
        // The manifest comes last, so a dump that did not complete has none.
        const fs::path manifest = folder / "manifest.json";
        const std::time_t now = std::time(nullptr);
        char stamp[32] = "";
        std::tm utc{};
#ifdef _WIN32
        gmtime_s(&utc, &now);
#else
        gmtime_r(&now, &utc);
#endif
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        const std::string name = "dump of " + device.ports.front() + " at " + stamp;
        const std::string problem = record::WriteManifest(bundle, name, manifest.string());
        if (!problem.empty()) {
            reporter.Error(-1, problem);
            code = ToInt(ExitCode::FileProblem);
        } else {
            reporter.Note(-1, "manifest written to " + manifest.string());
        }
    }
    return Conclude(reporter, record, PerPort(runs), code);
}

}  // namespace orlo::cli
