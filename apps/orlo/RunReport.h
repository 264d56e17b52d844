// The record of one run (--report FILE): one JSON document with the tool's version, the command
// line, the start and end time, the region and image, and one entry per device with its port,
// outcome, the device's refusals and the read-back's SHA-256. Written at the end of the run,
// whatever the outcome, through a temporary file that replaces FILE in one step.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Outcome.h"
#include "run/RunRecord.h"

namespace orlo::cli {

// Version of the record's layout: raised when a field changes meaning or goes away.
constexpr int kReportVersion = 1;

using run::DeviceRecord;
using run::WireRefusal;


class RunReport {
  public:
    RunReport(std::string path, std::vector<std::string> commandLine, std::string command);

    const std::string& Path() const { return m_path; }
    // Checked before any port opens: FILE can be created or replaced. Empty when it can,
    // else the sentence why not.
    std::string Probe() const;

    void SetRegion(std::string region) { m_region = std::move(region); }
    void SetImage(std::string path, uint64_t size, std::optional<std::string> sha256);
    // One image of a programming run ("images"; the first is also "image").
    void AddImage(std::string region, std::string path, uint64_t size, std::string sha256);
    void AddDevice(DeviceRecord device) { m_devices.push_back(std::move(device)); }
    // Why the run was refused before any port opened (no device entries then).
    void SetRefusal(std::string text) { m_refusal = std::move(text); }

    // The document as it is written (the end time is taken now).
    std::string Document(int exitCode) const;
    // Writes the document; empty on success, else the sentence why not.
    std::string Write(int exitCode) const;

  private:
    std::string m_path;
    std::vector<std::string> m_commandLine;
    std::string m_command;
    std::chrono::system_clock::time_point m_start;
    std::string m_region;
    bool m_hasImage = false;
    std::string m_imagePath;
    uint64_t m_imageSize = 0;
    std::optional<std::string> m_imageSha256;
    struct Image {
        std::string region, path;
        uint64_t size = 0;
        std::string sha256;
    };
    std::vector<Image> m_images;
    std::vector<DeviceRecord> m_devices;
    std::string m_refusal;
};

// "2026-12-07T16:50:01.123Z"
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace orlo::cli
