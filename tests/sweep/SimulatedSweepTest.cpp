// End to end: sweep adjustment against the simulated device over a pseudo-terminal.
#include "readback/ServiceSimRig.h"

namespace orlo::test {
namespace {

// Presses a sweep button and runs until the device has taken the set frame that answers it.
void PressAndSettle(ServiceSimRig& rig, int button) {
    const uint64_t before = rig.sim.GetDevice().Stats().acks;
    rig.wnd.Click(button);
    ASSERT_TRUE(rig.Pump([&] { return rig.sim.GetDevice().Stats().acks == before + 1; }));
}

TEST(SimulatedSweep, ReadAndStepsReachTheDeviceAndTheEdits) {
    devsim::DeviceOptions options;
    options.sweep = {4050, 1000, 1234, 7};
    ServiceSimRig rig(options);
    rig.Connect();

    PressAndSettle(rig, IDC_SWEEP_READ);
    auto s = rig.sim.GetDevice().Sweep();
    EXPECT_EQ(s.max, 4050);
    EXPECT_EQ(s.min, 1000);
    EXPECT_EQ(s.tm, 20000);
    EXPECT_EQ(s.timeMs, 40);
    EXPECT_EQ(rig.wnd.GetControlText(IDC_SWEEP_MAX), "4050");
    EXPECT_EQ(rig.wnd.GetControlText(IDC_SWEEP_MIN), "1000");
    EXPECT_EQ(rig.wnd.GetControlText(IDC_TM), "20000");
    EXPECT_EQ(rig.wnd.GetControlText(IDC_SWEEP_TIME), "40");

    PressAndSettle(rig, IDC_SWEEP_MAX_PLUS100);
    EXPECT_EQ(rig.sim.GetDevice().Sweep().max, 4094);
    EXPECT_EQ(rig.wnd.GetControlText(IDC_SWEEP_MAX), "4094");

    PressAndSettle(rig, IDC_SWEEP_MIN_MINUS100);
    PressAndSettle(rig, IDC_SWEEP_MIN_MINUS100);
    s = rig.sim.GetDevice().Sweep();
    EXPECT_EQ(s.max, 4094);
    EXPECT_EQ(s.min, 800);
    EXPECT_EQ(s.tm, 20000);
    EXPECT_EQ(rig.wnd.GetControlText(IDC_SWEEP_MIN), "800");

    const auto stats = rig.sim.GetDevice().Stats();
    EXPECT_EQ(stats.perCode[CMD_SWEEP_QUERY], 4u);
    EXPECT_EQ(stats.perCode[CMD_SWEEP_SET], 4u);
    EXPECT_EQ(stats.naks, 0u);
}

}  // namespace
}  // namespace orlo::test
