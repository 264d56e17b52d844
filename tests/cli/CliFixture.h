// Shared parts of the command-line tests: a scratch folder, simulated devices on
// pseudo-terminals, image files, and the parsing of --json output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CliProcess.h"
#include "devsim/PtyDevice.h"

namespace orlo::cli::test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A recognisable image: no two neighbouring blocks alike, no byte pattern of 0xFF.
inline Bytes MakeImage(std::size_t size, uint8_t seed = 1) {
    Bytes image(size);
    uint32_t x = 0x12345u * seed + 7;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

inline Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const fs::path& path) {
    const Bytes b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

// Every line of `out` as a JSON object; a line that is not one fails the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        try {
            objects.push_back(nlohmann::json::parse(line));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not a JSON line: " << line << " (" << e.what() << ")";
        }
    }
    return objects;
}

// Objects of one event kind.
inline std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& all,
                                          const std::string& event) {
    std::vector<nlohmann::json> out;
    for (const auto& j : all)
        if (j.value("event", "") == event) out.push_back(j);
    return out;
}

// True when `text` holds a byte that moves a terminal's cursor or changes its state.
inline bool HasControlCharacters(const std::string& text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7F) return true;
    }
    return false;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir = fs::temp_directory_path() / ("orlo-cli-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        devices.clear();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // A simulated device on a new pseudo-terminal, serving until the test ends.
    devsim::PtyDevice& StartDevice(devsim::DeviceOptions device = {}, devsim::PtyOptions pty = {}) {
        devices.push_back(std::make_unique<devsim::PtyDevice>(std::move(device), std::move(pty)));
        std::string error;
        EXPECT_TRUE(devices.back()->Start(&error)) << error;
        return *devices.back();
    }

    std::string WriteFile(const std::string& name, const Bytes& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    fs::path dir;
    std::vector<std::unique_ptr<devsim::PtyDevice>> devices;
};

}  // namespace orlo::cli::test
