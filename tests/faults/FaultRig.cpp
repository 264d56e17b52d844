#include "faults/FaultRig.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace orlo::faults {

SimulatedDevice::SimulatedDevice(std::vector<std::string> args)
    : m_process(std::make_unique<Process>(BinPath("orlo-devsim"), args)) {
    // First line: the port; second: the export line. Both are flushed at once.
    if (m_process->Started() && m_process->WaitForLines(2, std::chrono::seconds(30))) {
        const std::string& out = m_process->Out();
        m_port = out.substr(0, out.find('\n'));
    }
}

SimulatedDevice::~SimulatedDevice() {
    if (!m_stopped) Stop();
}

std::string SimulatedDevice::Output() const {
    m_process->Drain();
    return m_process->Out() + m_process->Err();
}

int SimulatedDevice::Stop() {
    m_stopped = true;
    m_process->Signal(SIGTERM);
    return m_process->Wait(std::chrono::seconds(60)).exitCode;
}

void SimulatedDevice::Kill() {
    m_stopped = true;
    m_process->Signal(SIGKILL);
    m_process->Wait(std::chrono::seconds(60));
}

Bytes Pattern(std::size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t x = 0x9E3779B9u * seed + 17;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(x >> 24);
        if (bytes[i] == 0xFF) bytes[i] = static_cast<uint8_t>(i);  // no erased-looking runs
    }
    return bytes;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    if (from >= bytes.size()) return {};
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

void FaultTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir = fs::temp_directory_path() / ("orlo-faults-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    flash = Pattern(kFlashSize, 5812);
    flashIn = dir / "flash-in.bin";
    savedFlash = dir / "flash-out.bin";
    WriteFile(flashIn, flash);
}

void FaultTest::TearDown() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

RunResult FaultTest::Orlo(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    Process orlo(BinPath("orlo"), args, {"ORLO_EXTRA_PORTS=", "ORLO_PORT="});
    RunResult r = orlo.Wait(limit);
    EXPECT_FALSE(r.timedOut) << "orlo hung; output so far:\n" << r.out << r.err;
    return r;
}

std::unique_ptr<SimulatedDevice> FaultTest::Device(std::vector<std::string> faults) {
    std::vector<std::string> args = {"--flash-in", flashIn.string(), "--save-flash",
                                     savedFlash.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    auto device = std::make_unique<SimulatedDevice>(args);
    EXPECT_TRUE(device->Ready()) << device->Output();
    return device;
}

std::string PartialReport(std::size_t kept, std::size_t expected, const std::string& path) {
    return "partial read-back: " + std::to_string(kept) + " of " + std::to_string(expected) +
           " bytes kept in " + path;
}

}  // namespace orlo::faults
