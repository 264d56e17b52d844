// orlo history: what the run database holds - the runs in all, the yield per slot and per
// manifest, and the latest failures with their reasons. orlo manifest: writes a manifest that
// pins the files of a release.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Commands.h"
#include "record/Manifest.h"
#include "record/RunDatabase.h"

namespace orlo::cli {

namespace {

using nlohmann::json;
using record::RunDatabase;
using record::RunRow;
using record::Yield;

std::string Percent(const Yield& y) {
    if (y.runs == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(y.passed) /
                                                    static_cast<double>(y.runs));
    return text;
}

json YieldJson(const Yield& y) {
    return {{"runs", y.runs},
            {"passed", y.passed},
            {"failed", y.runs - y.passed},
            {"yield", y.runs ? json(static_cast<double>(y.passed) / static_cast<double>(y.runs))
                             : json(nullptr)}};
}

// The region that failed and why, or the run's own sentence.
std::string Reason(const RunRow& run) {
    for (const record::RegionRun& r : run.regions)
        if (r.outcome == "failed")
            return r.region + ": " + (r.message.empty() ? run.message : r.message);
    return run.message;
}

std::string FailedRegion(const RunRow& run) {
    for (const record::RegionRun& r : run.regions)
        if (r.outcome == "failed") return r.region;
    return {};
}

// A table whose columns are as wide as their widest cell; the last column is left ragged and
// the numbers are right-aligned.
class Table {
  public:
    explicit Table(std::vector<std::string> heading) { m_rows.push_back(std::move(heading)); }
    void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    void Print(std::ostream& out, std::size_t numbersFrom) const {
        std::vector<std::size_t> width(m_rows.front().size(), 0);
        for (const auto& row : m_rows)
            for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
        for (const auto& row : m_rows) {
            std::string line = " ";
            for (std::size_t i = 0; i < row.size(); ++i) {
                const std::string pad(width[i] - row[i].size(), ' ');
                const bool last = i + 1 == row.size();
                line += " " + (i >= numbersFrom ? pad + row[i] : row[i] + (last ? "" : pad));
            }
            out << line << "\n";
        }
    }

  private:
    std::vector<std::vector<std::string>> m_rows;
};

}  // namespace

int RunHistory(const OutputOptions& output, const std::string& dbPath, const std::string& sinceText,
               int failures) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    auto fail = [&](ExitCode code, const std::string& sentence) {
        reporter.Error(-1, sentence);
        reporter.Finish({}, ToInt(code));
        return reporter.Conclude(ToInt(code));
    };
    std::optional<record::TimePoint> since;
    std::string error;
    if (!sinceText.empty()) {
        since = record::ParseSince(sinceText, std::chrono::system_clock::now(), &error);
        if (!since) return fail(ExitCode::Usage, error);
    }
    const std::string path = dbPath.empty() ? RunDatabase::DefaultPath() : dbPath;
    const auto db = RunDatabase::Open(path, RunDatabase::Access::ReadOnly, &error);
    if (!db) return fail(ExitCode::FileProblem, error);

    Yield totals;
    std::vector<Yield> slots, manifests;
    std::vector<RunRow> failed;
    if (!db->Totals(since, &totals, &error) || !db->YieldBySlot(since, &slots, &error) ||
        !db->YieldByManifest(since, &manifests, &error) ||
        !db->Runs({since, true, true, failures}, &failed, &error))
        return fail(ExitCode::FileProblem, error);

    if (output.json) {
        json j = {{"event", "history"},
                  {"db", path},
                  {"since", since ? json(record::IsoUtc(*since)) : json(nullptr)}};
        j.update(YieldJson(totals));
        json slotList = json::array(), manifestList = json::array(), failureList = json::array();
        for (const Yield& y : slots) {
            json s = {{"slot", y.key}};
            s.update(YieldJson(y));
            slotList.push_back(s);
        }
        for (const Yield& y : manifests) {
            json m = {{"name", y.key.empty() ? json(nullptr) : json(y.key)},
                      {"sha256", y.detail.empty() ? json(nullptr) : json(y.detail)}};
            m.update(YieldJson(y));
            manifestList.push_back(m);
        }
        for (const RunRow& r : failed) {
            const std::string region = FailedRegion(r);
            failureList.push_back(
                {{"id", r.id},
                 {"end", record::IsoUtc(r.end)},
                 {"slot", r.slot},
                 {"port", r.port},
                 {"usb_serial", r.usbSerial.empty() ? json(nullptr) : json(r.usbSerial)},
                 {"manifest", r.manifestName.empty() ? json(nullptr) : json(r.manifestName)},
                 {"region", region.empty() ? json(nullptr) : json(region)},
                 {"message", r.message},
                 {"reason", Reason(r)}});
        }
        j["slots"] = slotList;
        j["manifests"] = manifestList;
        j["failures"] = failureList;
        std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
        reporter.Finish({}, 0);
        return reporter.Conclude(0);
    }

    std::ostringstream out;
    out << totals.runs << (totals.runs == 1 ? " run" : " runs")
        << (since ? " since " + record::IsoUtc(*since) : std::string()) << " in " << path;
    if (totals.runs > 0)
        out << ": " << totals.passed << " passed, " << totals.runs - totals.passed
            << " failed, yield " << Percent(totals);
    out << "\n";
    if (totals.runs > 0) {
        out << "\nYield per slot\n";
        Table bySlot({"SLOT", "RUNS", "PASSED", "FAILED", "YIELD"});
        for (const Yield& y : slots)
            bySlot.Add({y.key, std::to_string(y.runs), std::to_string(y.passed),
                        std::to_string(y.runs - y.passed), Percent(y)});
        bySlot.Print(out, 1);
        out << "\nYield per manifest\n";
        Table byManifest({"MANIFEST", "SHA-256", "RUNS", "PASSED", "FAILED", "YIELD"});
        for (const Yield& y : manifests)
            byManifest.Add({y.key.empty() ? "(none: images named on the command line)" : y.key,
                            y.detail.empty() ? "-" : y.detail.substr(0, 12),
                            std::to_string(y.runs), std::to_string(y.passed),
                            std::to_string(y.runs - y.passed), Percent(y)});
        byManifest.Print(out, 2);
        if (!failed.empty()) {
            out << "\nLatest failures (newest first)\n";
            Table list({"END (UTC)", "SLOT", "PORT", "SERIAL", "REASON"});
            for (const RunRow& r : failed)
                list.Add({record::IsoUtc(r.end).substr(0, 19), r.slot, r.port,
                          r.usbSerial.empty() ? "-" : r.usbSerial, Reason(r)});
            list.Print(out, 5);
        }
    }
    std::cout << out.str();
    reporter.Finish({}, 0);
    return reporter.Conclude(0);
}

int RunManifest(const OutputOptions& output, const std::vector<std::string>& pairs,
                const std::string& outputPath, const std::string& name) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    auto fail = [&](ExitCode code, const std::string& sentence) {
        reporter.Error(-1, sentence);
        reporter.Finish({}, ToInt(code));
        return reporter.Conclude(ToInt(code));
    };
    std::string error;
    const auto bundle = record::BundleFromPairs(pairs, &error);
    if (!bundle) return fail(ExitCode::Usage, error);
    const std::string release =
        name.empty() ? std::filesystem::path(outputPath).stem().string() : name;
    if (release.empty()) return fail(ExitCode::Usage, "give the release a --name");
    if (const std::string problem = record::WriteManifest(*bundle, release, outputPath);
        !problem.empty())
        return fail(ExitCode::FileProblem, problem);

    // What was written, as it now loads.
    const record::ManifestLoad load = record::LoadManifest(outputPath);
    if (!load.bundle) return fail(ExitCode::FileProblem, load.error);
    if (output.json) {
        json images = json::array();
        for (const record::BundleImage& i : load.bundle->images)
            images.push_back({{"region", std::string(Region(i.region).word)},
                              {"file", i.path},
                              {"sha256", i.sha256}});
        std::cout << json{{"event", "manifest"},
                          {"path", outputPath},
                          {"name", release},
                          {"sha256", load.bundle->manifestSha256},
                          {"images", images}}
                         .dump()
                  << "\n";
    } else if (!output.quiet) {
        std::cout << "manifest " << release << " written to " << outputPath << "\n";
        Table table({"REGION", "SHA-256", "FILE"});
        for (const record::BundleImage& i : load.bundle->images)
            table.Add({std::string(Region(i.region).word), i.sha256, i.path});
        table.Print(std::cout, 3);
    }
    reporter.Finish({}, 0);
    return reporter.Conclude(0);
}

}  // namespace orlo::cli
