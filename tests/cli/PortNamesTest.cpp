// Ports named as engineers name them: any path that leads to the device, a kernel name, the
// adapter's serial number; one device under two names is a usage error.
#include <gtest/gtest.h>

#include "CliFixture.h"
#include "PlatformPorts.h"

namespace orlo::cli::test {
namespace {

// One port listed through the environment, reached under other spellings: each is matched to
// its table entry by the device it leads to and opened under its COM name.
TEST_F(CliTest, EverySpellingOfAListedPortOpensIt) {
    auto& sim = StartDevice();
    const std::vector<std::string> env = {"ORLO_EXTRA_PORTS=" + sim.SlavePath()};
    const fs::path byId = dir / "serial" / "by-id" / "usb-Orlo_Sim_A1B2C3-if00-port0";
    fs::create_directories(byId.parent_path());
    fs::create_symlink(sim.SlavePath(), byId);
    fs::create_symlink(byId, dir / "bench-port");  // a link to the link
    const std::string dotted =
        "/dev/../dev/" + fs::path(sim.SlavePath()).lexically_relative("/dev").string();
    const std::string relative = fs::relative(byId).string();

    for (const std::string& spelling :
         {byId.string(), (dir / "bench-port").string(), dotted, relative, std::string("COM80")}) {
        SCOPED_TRACE(spelling);
        const RunResult r = RunOrlo({"--json", "check", "--port", spelling}, env);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const auto open = Events(JsonLines(r.out), "open");
        ASSERT_EQ(open.size(), 1u) << r.out;
        EXPECT_EQ(open[0]["com"], "COM80");
        EXPECT_EQ(open[0]["path"], sim.SlavePath());
        EXPECT_EQ(open[0]["port"], spelling);
    }

    // Two names of one device: nothing runs, and both names are said.
    const std::string image = WriteFile("u.dat", MakeImage(100));
    const auto framesBefore = sim.GetDevice().Stats().frames;
    const RunResult twice = RunOrlo(
        {"program", "user", image, "--port", byId.string(), "--port", sim.SlavePath()}, env);
    EXPECT_EQ(twice.exitCode, 2) << twice.err;
    EXPECT_NE(twice.err.find(byId.string() + " and " + sim.SlavePath() + " are the same port"),
              std::string::npos)
        << twice.err;
    EXPECT_EQ(sim.GetDevice().Stats().frames, framesBefore);

    // --port takes one value and may stand before FILE; a second value is no port.
    const RunResult before = RunOrlo({"program", "user", "--port", relative, image}, env);
    EXPECT_EQ(before.exitCode, 0) << before.err;
    const RunResult extra = RunOrlo({"check", "--port", relative, sim.SlavePath()}, env);
    EXPECT_EQ(extra.exitCode, 2) << extra.err;

    // A link whose device is gone says so.
    fs::create_symlink(dir / "unplugged", dir / "dangling");
    const RunResult dangling = RunOrlo({"check", "--port", (dir / "dangling").string()}, env);
    EXPECT_EQ(dangling.exitCode, 3);
    EXPECT_NE(dangling.err.find("does not exist"), std::string::npos) << dangling.err;
}

TEST(PortMatchTest, ChoosesByComNameSerialNumberOrDevice) {
    auto port = [](std::string com, std::string key, std::string serial) {
        PortInfo p;
        p.comName = std::move(com);
        p.deviceKey = std::move(key);
        p.serialNumber = std::move(serial);
        return p;
    };
    const std::vector<PortInfo> list = {
        port("COM10", "c:188:0", "A50285BI"), port("COM11", "c:188:1", "0001"),
        port("COM12", "c:188:2", "0001"), port("COM40", "c:166:0", ""),
        port("COM123", "c:188:3", ""), port("", "c:136:7", "")};
    struct Case {
        std::string arg, key;
        int index;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"serial:A50285BI", "", 0, ""},
        {"com40", "", 3, ""},
        {"/dev/serial/by-id/x", "c:188:1", 1, ""},
        {"serial:0001", "", -1, "two ports have the serial number 0001 (COM11 and COM12)"},
        {"serial:", "", -1, "no port has the serial number"},
        {"serial:FFFF", "", -1, "no port has the serial number FFFF"},
        {"COM41", "", -1, "COM41 is not a serial port of this system"},
        // A table's name of any length is chosen whole; a port without one, by its device.
        {"COM123", "", 4, ""},
        {"COM12", "", 2, ""},
        {"COM100", "", -1, "COM100 is not a serial port of this system"},
        {"/dev/pts/7", "c:136:7", 5, ""},
        {"/dev/null", "c:1:3", -1, "/dev/null cannot be listed as a serial port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg);
        EndpointError error;
        EXPECT_EQ(MatchPort(list, c.arg, c.key, &error), c.index);
        if (c.index < 0) {
            EXPECT_NE(error.sentence.find(c.error), std::string::npos) << error.sentence;
        }
    }
}

}  // namespace
}  // namespace orlo::cli::test
