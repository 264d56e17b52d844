#include "RunReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "ExitCodes.h"
#include "app/OutputFile.h"
#include "Version.h"
#include "VerifyCommand.h"

namespace orlo::cli {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

json OrNull(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

json DeviceJson(const DeviceRecord& d) {
    const Outcome& o = d.outcome;
    json j = {{"port", d.port},
              {"path", d.path.empty() ? json(nullptr) : json(d.path)},
              {"com", d.com.empty() ? json(nullptr) : json(d.com)},
              {"usb_serial", OrNull(d.usbSerial)},
              {"outcome", std::string(ExitName(o.code))},
              {"exit", ToInt(o.code)},
              {"message", o.message},
              {"detail", o.detail},
              {"blocks", d.blocks},
              {"blocks_per_second", d.blockSeconds > 0
                                        ? json(static_cast<double>(d.blocks) / d.blockSeconds)
                                        : json(nullptr)}};
    if (!o.phase.empty()) {
        j["phase"] = o.phase;
        j["address"] = o.address ? json(*o.address) : json(nullptr);
        j["sends"] = o.sends;
    }
    json naks = json::array();
    for (const WireRefusal& r : d.refusals) {
        naks.push_back({{"phase", r.phase.empty() ? json(nullptr) : json(r.phase)},
                        {"address", r.address ? json(*r.address) : json(nullptr)},
                        {"time", IsoTime(r.when)}});
    }
    j["naks"] = naks;
    json regions = json::array();
    for (const run::RegionOutcome& r : d.regions)
        regions.push_back({{"region", r.region}, {"outcome", r.outcome}, {"message", r.message}});
    j["regions"] = regions;
    if (!o.file.empty()) {
        j["read_back"] = {{"path", d.readBackPath},
                          {"bytes", o.fileBytes},
                          {"expected_bytes", o.expectedBytes},
                          {"partial", o.partial},
                          {"sha256", OrNull(d.readBackSha256)}};
    } else {
        j["read_back"] = nullptr;
    }
    if (o.verify) j["verify"] = VerifyJson(*o.verify);
    return j;
}

}  // namespace

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char buffer[48];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03dZ", static_cast<int>(ms % 1000));
    return buffer;
}

RunReport::RunReport(std::string path, std::vector<std::string> commandLine, std::string command)
    : m_path(std::move(path)),
      m_commandLine(std::move(commandLine)),
      m_command(std::move(command)),
      m_start(std::chrono::system_clock::now()) {}

std::string RunReport::Probe() const {
    std::error_code ec;
    const fs::path p = Utf8Path(m_path);
    // Only a regular file takes the record: a pipe would hold the end of the run in its open,
    // and a device node (or a Windows device name) would receive the text.
    if (const std::string refusal = OutputRefusal(m_path); !refusal.empty())
        return "cannot write the report " + m_path + ": " + refusal;
    const fs::path folder = p.parent_path().empty() ? fs::path(".") : p.parent_path();
    if (!fs::is_directory(folder, ec))
        return "cannot write the report " + m_path + ": no such directory " + folder.string();
    // The record goes through a new file beside it: that one must be creatable.
    const std::optional<OwnFile> probe = CreateBeside(ResolvedOutput(m_path), ".probe");
    if (!probe) return "cannot write the report " + m_path + ": " + std::strerror(errno);
    RemoveOwned(*probe);
    return {};
}

void RunReport::AddImage(std::string region, std::string path, uint64_t size,
                         std::string sha256) {
    if (m_images.empty())
        SetImage(path, size, sha256.empty() ? std::nullopt : std::optional<std::string>(sha256));
    m_images.push_back({std::move(region), std::move(path), size, std::move(sha256)});
}

void RunReport::SetImage(std::string path, uint64_t size, std::optional<std::string> sha256) {
    m_hasImage = true;
    m_imagePath = std::move(path);
    m_imageSize = size;
    m_imageSha256 = std::move(sha256);
}

std::string RunReport::Document(int exitCode) const {
    json images = json::array();
    for (const Image& i : m_images)
        images.push_back({{"region", i.region},
                          {"path", i.path},
                          {"size", i.size},
                          {"sha256", i.sha256.empty() ? json(nullptr) : json(i.sha256)}});
    json devices = json::array();
    for (const DeviceRecord& d : m_devices) devices.push_back(DeviceJson(d));
    json j = {{"report_version", kReportVersion},
              {"tool", {{"name", "orlo"}, {"version", ToolVersion()}, {"commit", ToolCommit()}}},
              {"command_line", m_commandLine},
              {"command", m_command},
              {"start", IsoTime(m_start)},
              {"end", IsoTime(std::chrono::system_clock::now())},
              {"region", m_region.empty() ? json(nullptr) : json(m_region)},
              {"image", m_hasImage ? json{{"path", m_imagePath},
                                          {"size", m_imageSize},
                                          {"sha256", OrNull(m_imageSha256)}}
                                   : json(nullptr)},
              {"images", images},
              {"devices", devices},
              {"refused", m_refusal.empty() ? json(nullptr) : json(m_refusal)},
              {"exit", exitCode},
              {"outcome", std::string(ExitName(static_cast<ExitCode>(exitCode)))}};
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string RunReport::Write(int exitCode) const {
    // Beside the file and renamed into its place, with the old file's owner and permissions.
    std::string why;
    if (!WriteWholeFile(m_path, Document(exitCode), &why))
        return "cannot write the report " + m_path + ": " + why;
    return {};
}

}  // namespace orlo::cli
