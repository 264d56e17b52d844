// End to end: the device's log-start reply and text lines from the simulated device reach the
// list box and the log file.
#include <stdlib.h>
#include <time.h>

#include "readback/ServiceSimRig.h"

namespace orlo::test {
namespace {

TEST(SimulatedDeviceLog, GreetingStartsTheLogAndLinesReachTheFile) {
    setenv("TZ", "UTC", 1);
    tzset();
    devsim::DeviceOptions options;
    options.greetingLogStart = true;
    options.greetingLines = {"R 0A,1F,3C,7", "Flash ready"};
    ServiceSimRig rig(options);
    rig.Connect();
    for (int i = 0; i < 3; ++i) rig.wnd.ListAddString(IDC_LIST_LOG, "old " + std::to_string(i));

    const auto log = rig.dir / "device.txt";
    rig.wnd.QueueFileDialog(log.string());
    rig.wnd.Click(IDC_SAVE_AS);
    rig.wnd.Click(IDC_SWEEP_READ);  // any frame: the greeting comes ahead of its answer
    ASSERT_TRUE(rig.Pump([&] { return rig.sim.GetDevice().Stats().acks == 1; }));

    EXPECT_EQ(rig.wnd.ListItems(IDC_LIST_LOG),
              (std::vector<std::string>{"Start Time : 2013:03:07:14:05:09", "10,31,60,\r\n",
                                        "Flash ready\r\n"}));
    const auto bytes = ServiceSimRig::ReadFile(log);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "Start Time : 2013:03:07:14:05:09\r\n"
              "10,31,60,\r\r\n"
              "Flash ready\r\r\n");
}

}  // namespace
}  // namespace orlo::test
