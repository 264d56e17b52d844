#include "RunReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

#include "ExitCodes.h"
#include "Version.h"

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
    return j;
}

std::string Why(const std::error_code& ec) {
    return ec.message();
}

// The file a path names in the end: a symbolic link is followed, so the record replaces the
// file it points to and the link stays.
std::string Target(const std::string& path) {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(path, ec);
    return ec ? path : resolved.string();
}

// A name beside `path` that no file has: the record is written there first.
std::string TempBeside(const std::string& path) {
    std::random_device random;
    for (;;) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
        std::error_code ec;
        if (!fs::exists(path + suffix, ec)) return path + suffix;
    }
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
    const fs::path p(m_path);
    if (fs::is_directory(p, ec)) return "cannot write the report " + m_path + ": it is a directory";
    const fs::path folder = p.parent_path().empty() ? fs::path(".") : p.parent_path();
    if (!fs::is_directory(folder, ec))
        return "cannot write the report " + m_path + ": no such directory " + folder.string();
    // A device or pipe (/dev/stdout, a FIFO) is written straight into at the end; opening it
    // now could wait for a reader.
    if (fs::exists(p, ec) && !fs::is_regular_file(p, ec)) return {};
    // The record goes through a file beside it: that one must be creatable.
    const std::string probe = TempBeside(Target(m_path));
    {
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        if (!out) return "cannot write the report " + m_path + ": " + std::strerror(errno);
    }
    fs::remove(probe, ec);
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
    const std::string text = Document(exitCode);
    std::error_code ec;
    if (fs::exists(m_path, ec) && !fs::is_regular_file(m_path, ec)) {
        // Not a file that can be replaced: renaming over /dev/stdout would replace the device.
        std::ofstream out(m_path, std::ios::binary);
        out << text;
        out.flush();
        if (!out) return "cannot write the report " + m_path + ": " + std::strerror(errno);
        return {};
    }
    const std::string target = Target(m_path);
    const std::string temp = TempBeside(target);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            return "cannot write the report " + m_path + ": " + std::strerror(errno);
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        return "cannot write the report " + m_path + ": " + Why(ec);
    }
    return {};
}

}  // namespace orlo::cli
