// End to end: read-back and the check block from the simulated device over a pseudo-terminal.
#include <random>

#include "images/FlashRegion.h"
#include "protocol/ReadBack.h"
#include "readback/ServiceSimRig.h"

namespace orlo::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(std::size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// Fills the region with a pattern, block 2 (when the region has one) all zero.
Bytes PrimeRegion(devsim::PtyDevice& sim, const FlashRegion& region, uint32_t seed) {
    Bytes data = Pattern(region.maxSize, seed);
    if (region.maxSize > 3 * BLOCK_SIZE)
        std::fill(data.begin() + 2 * BLOCK_SIZE, data.begin() + 3 * BLOCK_SIZE, 0x00);
    EXPECT_TRUE(sim.GetDevice().WriteFlash(region.base, data));
    return data;
}

struct SimCase {
    RegionId id;
    const char* done;
};

class SimulatedReadBack : public ::testing::TestWithParam<SimCase> {};

TEST_P(SimulatedReadBack, FileIsByteEqualToTheRegionsFlash) {
    const FlashRegion& region = Region(GetParam().id);
    ServiceSimRig rig;
    const Bytes flash = PrimeRegion(rig.sim, region, region.base + 1);
    rig.Connect();
    const auto file = rig.dir / "readback.out";
    rig.wnd.QueueFileDialog(file.string());
    rig.wnd.Click(ReadBackRowFor(region.id).button);
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); }))
        << rig.wnd.GetControlText(IDC_STATUS);

    EXPECT_EQ(rig.wnd.BoxTexts(),
              std::vector<std::string>{std::string(GetParam().done) + ": " + file.string()});
    EXPECT_TRUE(ServiceSimRig::ReadFile(file) == flash) << "the file differs from the flash";
    EXPECT_EQ(rig.wnd.GetControlText(IDC_STATUS), "Ready");
    EXPECT_EQ(rig.wnd.Control(IDC_PROGRESS).pos, 100);
    const auto stats = rig.sim.GetDevice().Stats();
    EXPECT_EQ(stats.perCode[ReadBackRowFor(region.id).readCommand], region.maxSize / BLOCK_SIZE);
    EXPECT_EQ(stats.naks, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, SimulatedReadBack,
    ::testing::Values(SimCase{RegionId::User, "Reading completed of User Data"},
                      SimCase{RegionId::Application, "Reading completed of Application data"}),
    [](const auto& info) { return std::string(Region(info.param.id).name); });

TEST(SimulatedReadBackFaults, NaksAreRiddenOutAndDeviceLinesStayOutOfTheFile) {
    devsim::DeviceOptions options;
    options.faults.nakFrame = 3;  // the third read request, and its first three resends
    options.faults.nakCount = 4;
    options.faults.lineBeforeReply = "R 0A,1F,3C,7";
    const FlashRegion& region = Region(RegionId::Application);
    ServiceSimRig rig(options);
    const Bytes flash = PrimeRegion(rig.sim, region, 77);
    rig.Connect();

    const auto log = rig.dir / "device.txt";
    rig.wnd.QueueFileDialog(log.string());
    rig.wnd.Click(IDC_SAVE_AS);
    const auto file = rig.dir / "app.bin";
    rig.wnd.QueueFileDialog(file.string());
    rig.wnd.Click(IDC_READ_APPLICATION);
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.boxes.empty(); }))
        << rig.wnd.GetControlText(IDC_STATUS);

    EXPECT_EQ(rig.wnd.BoxTexts(),
              std::vector<std::string>{"Reading completed of Application data: " + file.string()});
    EXPECT_TRUE(ServiceSimRig::ReadFile(file) == flash) << "the file differs from the flash";
    const auto stats = rig.sim.GetDevice().Stats();
    EXPECT_EQ(stats.naks, 4u);
    EXPECT_EQ(stats.perCode[0x1A], 59u + 4u);

    // One rewritten line ahead of every reply: 59 blocks and 4 NAKs.
    std::string expected;
    for (int i = 0; i < 63; ++i) expected += "10,31,60,\r\r\n";
    const Bytes logged = ServiceSimRig::ReadFile(log);
    EXPECT_EQ(std::string(logged.begin(), logged.end()), expected);
    EXPECT_EQ(rig.wnd.ListItems(IDC_LIST_LOG).size(), 63u);
}

TEST(SimulatedCheck, CheckBlockIsShownAsHex) {
    ServiceSimRig rig;
    Bytes check(16);
    for (int i = 0; i < 16; ++i) check[i] = static_cast<uint8_t>(i * 0x11 + 0x0A);
    check[0] = 0xAB;
    ASSERT_TRUE(rig.sim.GetDevice().WriteFlash(CHECK_BLOCK_ADDRESS, check));
    rig.Connect();
    rig.wnd.Click(IDC_CHECK_APPLICATION);
    ASSERT_TRUE(rig.Pump([&] { return !rig.wnd.GetControlText(IDC_CHECK_TEXT).empty(); }));
    EXPECT_EQ(rig.wnd.GetControlText(IDC_CHECK_TEXT),
              "ab 1b 2c 3d 4e 5f 70 81 92 a3 b4 c5 d6 e7 f8 09 ");
    EXPECT_EQ(rig.sim.GetDevice().Stats().perCode[CMD_CHECK], 1u);
}

}  // namespace
}  // namespace orlo::test
