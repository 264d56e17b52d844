// End to end: the dialog with the real POSIX serial backend and the Linux port table programs
// the simulated device on a pseudo-terminal. The port is found through ORLO_EXTRA_PORTS, as a
// user of the simulator finds it; the countdown runs on an injected clock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/OrloDlg.h"
#include "devsim/PtyDevice.h"
#include "images/FlashRegion.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"
#include "support/ScriptedWindow.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

Bytes Pattern(std::size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// The dialog on a scripted window, wired to the simulated device the way a front-end wires it
// to a real port.
class SimRig {
  public:
    explicit SimRig(devsim::DeviceOptions device = {})
        : m_sim(std::move(device)),
          m_ports(
                  [this](const std::string& name) {
                      return name == LinuxPortTable::kExtraPortsVariable ? m_sim.SlavePath()
                                                                         : std::string();
                  }),
          m_serial(&m_ports) {
        std::string pattern = (fs::temp_directory_path() / "orlo-e2e-XXXXXX").string();
        m_dir = mkdtemp(pattern.data());
        loop.SetClock([this] { return m_now; });
        OrloEnvironment env;
        env.window = &wnd;
        env.serial = &m_serial;
        env.ports = &m_ports;
        dlg = std::make_unique<COrloDlg>(env);
        dlg->OnInitDialog();
    }
    ~SimRig() {
        dlg.reset();
        m_sim.Stop();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // Starts the device, finds its port in the list and opens it.
    void Connect() {
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        dlg->OnPortDropDown();
        const auto items = wnd.ListItems(IDC_COMBO_PORT);
        const auto it = std::find(items.begin(), items.end(), "COM80");
        ASSERT_NE(it, items.end()) << "the simulator's port is not in the list";
        wnd.ComboSetCurSel(IDC_COMBO_PORT, static_cast<int>(it - items.begin()));
        dlg->OnPortSelChange();
        wnd.Click(IDC_OPEN);
        ASSERT_NE(dlg->m_comm.m_bConnected.load(), 0) << "open failed";
        ASSERT_TRUE(wnd.boxes.empty());
    }

    void Program(const FlashRegion& region, const Bytes& image) {
        const fs::path file = m_dir / "image";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        wnd.QueueFileDialog(file.string());
        wnd.Click(region.programButton);
    }

    // Runs the window's messages until `done` (false after 60 s of real time).
    bool Pump(const std::function<bool()>& done) { return loop.RunUntil(done, 60s); }

    void Tick() {
        m_now += 1s;
        loop.RunOnce(0ms);
    }

    std::string Status() const { return wnd.GetControlText(IDC_STATUS); }
    devsim::DeviceStats Stats() const { return m_sim.GetDevice().Stats(); }
    Bytes Flash() const { return m_sim.Flash(); }

    EventLoop loop;
    ScriptedWindow wnd{loop};
    std::unique_ptr<COrloDlg> dlg;

  private:
    EventLoop::Clock::time_point m_now = EventLoop::Clock::now();
    devsim::PtyDevice m_sim;
    LinuxPortTable m_ports;
    PosixSerialBackend m_serial;
    fs::path m_dir;
};

// The region of the flash holds the image, then 0xFF to the region's end.
void ExpectRegionHolds(const Bytes& flash, const FlashRegion& region, const Bytes& image) {
    ASSERT_EQ(flash.size(), 0x400000u);
    const auto base = flash.begin() + region.base;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), base)) << "image bytes differ";
    EXPECT_TRUE(std::all_of(base + static_cast<long>(image.size()), base + region.maxSize,
                            [](uint8_t b) { return b == 0xFF; }))
        << "padding after the image is not 0xFF";
}

struct RegionCase {
    RegionId id;
    uint32_t size;
    std::string message;
};

class SimulatedDeviceTest : public ::testing::TestWithParam<RegionCase> {};

TEST_P(SimulatedDeviceTest, RegionIsProgrammedVerifiedAndCompleted) {
    const RegionCase& c = GetParam();
    const FlashRegion& region = Region(c.id);
    const Bytes image = Pattern(c.size, c.size);
    const uint64_t blocks = (c.size + 4095) / 4096;
    SimRig rig;
    rig.Connect();
    rig.Program(region, image);
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); })) << rig.Status();

    EXPECT_EQ(rig.wnd.BoxTexts(), (std::vector<std::string>{c.message}));
    EXPECT_EQ(rig.Status(), "Ready ");
    EXPECT_EQ(rig.wnd.Control(IDC_PROGRESS).pos, 100);
    EXPECT_NE(rig.dlg->m_comm.m_bConnected.load(), 0);  // the port stays open
    const auto stats = rig.Stats();
    EXPECT_EQ(stats.perCode[region.family], 1u);
    EXPECT_EQ(stats.perCode[region.family | 1], blocks);
    EXPECT_EQ(stats.perCode[region.family | 2], blocks);
    EXPECT_EQ(stats.naks, 0u);
    ExpectRegionHolds(rig.Flash(), region, image);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, SimulatedDeviceTest,
    ::testing::Values(RegionCase{RegionId::Voice, 2048000, "Programming completed of Voice data"},
                      RegionCase{RegionId::Map, 5000, "Programming completed of Map data"},
                      RegionCase{RegionId::User, 1500, "Programming completed of User data"},
                      RegionCase{RegionId::User, 4096, "Programming completed of User data"}),
    [](const auto& info) {
        return std::string(Region(info.param.id).name) + std::to_string(info.param.size);
    });

TEST(SimulatedDeviceFinishTest, ApplicationFinishGoesOutWholeThenThePortClosesAndCountsDown) {
    const FlashRegion& region = Region(RegionId::Application);
    const Bytes image = Pattern(241664, 11);  // the exact maximum: 59 blocks
    SimRig rig;
    rig.Connect();
    rig.Program(region, image);
    ASSERT_TRUE(rig.Pump([&] { return rig.dlg->m_comm.m_bConnected.load() == 0; })) << rig.Status();

    EXPECT_EQ(rig.Status(), "Wait please");
    EXPECT_EQ(rig.dlg->m_countdown, 12u);
    EXPECT_FALSE(rig.wnd.IsControlEnabled(IDC_CLOSE));
    EXPECT_TRUE(rig.wnd.IsControlEnabled(IDC_COMBO_PORT));
    // The close came right after the finish frame was handed over; the device still gets all
    // seven bytes of it.
    ASSERT_TRUE(rig.Pump([&] { return rig.Stats().perCode[CMD_FINISH] == 1; }))
        << "the finish frame did not reach the device whole";
    const auto stats = rig.Stats();
    EXPECT_EQ(stats.perCode[0x11], 59u);
    EXPECT_EQ(stats.perCode[0x12], 59u);
    EXPECT_EQ(stats.naks, 0u);
    ExpectRegionHolds(rig.Flash(), region, image);

    std::vector<std::string> shown;
    for (int i = 0; i < 11; ++i) {
        rig.Tick();
        shown.push_back(rig.Status());
    }
    std::vector<std::string> expected;
    for (int s = 11; s >= 1; --s) expected.push_back("Wait " + std::to_string(s) + " sec");
    EXPECT_EQ(shown, expected);
    EXPECT_TRUE(rig.wnd.boxes.empty());
    rig.Tick();
    EXPECT_EQ(rig.Status(), "Ready");
    EXPECT_EQ(rig.wnd.BoxTexts(),
              (std::vector<std::string>{"Programming completed of Application data, and Remove "
                                        "Target"}));
    rig.Tick();
    EXPECT_EQ(rig.wnd.boxes.size(), 1u);
}

TEST(SimulatedDeviceNakTest, FourNaksAreRiddenOutAndTheImageStillLands) {
    devsim::DeviceOptions options;
    options.faults.nakFrame = 3;  // start, first write, then the second write block
    options.faults.nakCount = 4;
    const FlashRegion& region = Region(RegionId::Map);
    const Bytes image = Pattern(3 * 4096 + 10, 21);
    SimRig rig(options);
    rig.Connect();
    rig.Program(region, image);
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); })) << rig.Status();

    EXPECT_EQ(rig.wnd.BoxTexts(), (std::vector<std::string>{"Programming completed of Map data"}));
    const auto stats = rig.Stats();
    EXPECT_EQ(stats.naks, 4u);
    EXPECT_EQ(stats.perCode[0x31], 4u + 4u);  // four blocks, one of them sent five times
    EXPECT_EQ(stats.perCode[0x32], 4u);
    ExpectRegionHolds(rig.Flash(), region, image);
}

TEST(SimulatedDeviceNakTest, FiveNaksEndTheRunWithTxError) {
    devsim::DeviceOptions options;
    options.faults.nakFrame = 3;
    options.faults.nakCount = 5;
    SimRig rig(options);
    rig.Connect();
    rig.Program(Region(RegionId::Voice), Pattern(5 * 4096, 22));
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); })) << rig.Status();

    EXPECT_EQ(rig.wnd.BoxTexts(), (std::vector<std::string>{"Tx Error"}));
    EXPECT_EQ(rig.wnd.Control(IDC_PROGRESS).pos, 0);
    EXPECT_EQ(rig.Status(), "Programming 40 %");  // the status keeps its last text
    const auto stats = rig.Stats();
    EXPECT_EQ(stats.naks, 5u);
    EXPECT_EQ(stats.perCode[0x21], 1u + 5u);
    EXPECT_EQ(stats.perCode[0x22], 0u);
}

TEST(SimulatedDeviceNakTest, NakToTheStartFrameAsksToCheckTheFlash) {
    devsim::DeviceOptions options;
    options.faults.nakFrame = 1;
    SimRig rig(options);
    rig.Connect();
    rig.Program(Region(RegionId::Application), Pattern(100, 23));
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); })) << rig.Status();

    EXPECT_EQ(rig.wnd.BoxTexts(), (std::vector<std::string>{"Check Flash Memory please....."}));
    const auto stats = rig.Stats();
    EXPECT_EQ(stats.frames, 1u);
    EXPECT_EQ(stats.naks, 1u);
    EXPECT_NE(rig.dlg->m_comm.m_bConnected.load(), 0);
}

}  // namespace
}  // namespace orlo::test
