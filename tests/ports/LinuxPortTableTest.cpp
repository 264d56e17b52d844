// The Linux port table against recorded tty devices whose nodes are files in a temporary
// folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "SystemPorts.h"
#include "posix/LinuxPortTable.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;

class FakeTtys {
  public:
    FakeTtys() {
        std::string pattern = (fs::temp_directory_path() / "orlo-ports-XXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(Dev());
    }
    ~FakeTtys() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path Dev() const { return root / "dev"; }

    // A tty as udev reports it. `driver` empty: no device bound (a console); `type` empty: the
    // kernel publishes no UART type; `node` false: no device node.
    void AddTty(const std::string& name, const std::string& driver, const std::string& type = "",
                bool node = true) {
        TtyRecord r;
        r.kernelName = name;
        r.devNode = (Dev() / name).string();
        r.driver = driver;
        r.uartType = type;
        records.push_back(r);
        if (node) Write(Dev() / name, "");
    }
    // A USB serial port with the identity of its USB device.
    void AddUsb(const std::string& name, const std::string& vid, const std::string& pid,
                const std::string& product) {
        AddTty(name, "usb-serial");
        records.back().usb = {{"idVendor", vid}, {"idProduct", pid}};
        if (!product.empty()) records.back().usb["product"] = product;
    }
    LinuxPortTable::TtySource Source() {
        return [this] { return records; };
    }
    static void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

    fs::path root;
    std::vector<TtyRecord> records;
};

std::map<std::string, PortInfo> ByName(const std::vector<PortInfo>& list) {
    std::map<std::string, PortInfo> m;
    for (const auto& p : list) m[p.comName] = p;
    return m;
}

std::vector<std::string> Names(const std::vector<PortInfo>& list) {
    std::vector<std::string> names;
    for (const auto& p : list) names.push_back(p.comName);
    return names;
}

LinuxPortTable::EnvReader Env(std::string extra) {
    return [extra](const std::string& name) {
        return name == LinuxPortTable::kExtraPortsVariable ? extra : std::string();
    };
}

TEST(LinuxPortTableTest, NamesFollowTheKernelNamesAndSkipPhantomsAndConsoles) {
    FakeTtys sys;
    sys.AddUsb("ttyUSB0", "0403", "6001", "FT232R USB UART");
    sys.AddUsb("ttyUSB3", "067b", "2303", "");
    sys.AddUsb("ttyACM1", "2341", "0043", "Uno");
    sys.AddUsb("ttyUSB30", "0403", "6001", "too far");  // beyond COM39: listed, no COM name
    sys.AddTty("ttyS0", "serial8250", "4");             // a real 16550A
    sys.AddTty("ttyS1", "serial8250", "0");             // phantom slot
    sys.AddTty("ttyS2", "", "4");                       // no driver bound
    sys.AddTty("ttyS3", "serial8250", "");              // no type, probe fails
    sys.AddTty("ttyS4", "serial8250", "4", false);      // no device node
    sys.AddTty("ttyS12", "serial8250", "4");
    sys.AddTty("ttyAMA0", "uart-pl011", "3");
    sys.AddTty("tty0", "");  // console: no device

    LinuxPortTable table(Env(""), sys.Source());
    ASSERT_TRUE(table.Open());
    const auto list = table.Enumerate();
    // In COM-number order; other UARTs numbered by name from COM70.
    EXPECT_EQ(Names(list),
              (std::vector<std::string>{"COM1", "COM10", "COM13", "COM41", "COM70", "COM71", ""}));
    EXPECT_EQ(list.back().devicePath, (sys.Dev() / "ttyUSB30").string());
    auto m = ByName(list);
    EXPECT_EQ(m["COM1"].devicePath, (sys.Dev() / "ttyS0").string());
    EXPECT_EQ(m["COM1"].valueName, "ttyS0");
    EXPECT_EQ(m["COM1"].description, "on-board serial port, serial8250");
    EXPECT_EQ(m["COM10"].devicePath, (sys.Dev() / "ttyUSB0").string());
    EXPECT_EQ(m["COM10"].description, "FT232R USB UART, USB 0403:6001, usb-serial");
    EXPECT_EQ(m["COM13"].description, "USB serial port, USB 067b:2303, usb-serial");
    EXPECT_EQ(m["COM41"].description, "Uno, USB 2341:0043, usb-serial");
    EXPECT_EQ(m["COM70"].devicePath, (sys.Dev() / "ttyAMA0").string());
    EXPECT_EQ(m["COM71"].devicePath, (sys.Dev() / "ttyS12").string());

    EXPECT_EQ(table.Resolve("COM10"), (sys.Dev() / "ttyUSB0").string());
    EXPECT_EQ(table.Resolve("\\\\.\\COM41"), (sys.Dev() / "ttyACM1").string());
    EXPECT_EQ(table.Resolve("COM2"), "");
}

TEST(LinuxPortTableTest, UsbPortKeepsItsNameWhenOthersComeAndGo) {
    FakeTtys sys;
    sys.AddUsb("ttyUSB1", "0403", "6001", "B");
    LinuxPortTable table(Env(""), sys.Source());
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM11"}));
    sys.AddUsb("ttyUSB0", "0403", "6001", "A");
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM10", "COM11"}));
    EXPECT_EQ(ByName(table.Enumerate())["COM11"].description, "B, USB 0403:6001, usb-serial");
}

TEST(LinuxPortTableTest, ExtraPathsFromTheEnvironmentAndTheCallerFollowFromCom80) {
    FakeTtys sys;
    sys.AddTty("ttyS0", "serial8250", "4");
    const std::string a = (sys.root / "pts-a").string();
    const std::string b = (sys.root / "pts-b").string();  // never created: not listed
    const std::string c = (sys.root / "pts-c").string();
    const std::string d = (sys.root / "pts-d").string();
    FakeTtys::Write(a, "");
    FakeTtys::Write(c, "");
    FakeTtys::Write(d, "");

    LinuxPortTable table(Env(a + "::" + b + ":" + c), sys.Source());
    table.AddExtraPath(d);
    table.AddExtraPath(d);                                    // once only
    table.AddExtraPath((sys.Dev() / "ttyS0").string());       // already COM1
    table.AddExtraPath((sys.root / "." / "pts-a").string());  // a again, spelled otherwise
    const auto list = table.Enumerate();
    EXPECT_EQ(Names(list), (std::vector<std::string>{"COM1", "COM80", "COM82", "COM83"}));
    auto m = ByName(list);
    EXPECT_EQ(m["COM80"].devicePath, a);
    EXPECT_EQ(m["COM80"].description, "extra port (environment)");
    EXPECT_EQ(m["COM82"].devicePath, c);  // b's number stays reserved for it
    EXPECT_EQ(m["COM83"].devicePath, d);
    EXPECT_EQ(m["COM83"].description, "extra port (added)");
    EXPECT_EQ(table.Resolve("COM83"), d);
    EXPECT_EQ(table.Resolve("COM81"), "");
}

TEST(LinuxPortTableTest, ExtraPortsKeepTheirNamesWhenAnotherGoesAway) {
    FakeTtys sys;
    sys.AddTty("ttyS0", "serial8250", "4");
    const fs::path link = sys.root / "by-id-link";  // leads to ttyS0, which is listed as COM1
    fs::create_symlink(sys.Dev() / "ttyS0", link);
    const std::string pty = (sys.root / "pty").string();
    FakeTtys::Write(pty, "");
    LinuxPortTable table(Env(link.string() + ":" + pty), sys.Source());
    EXPECT_EQ(ByName(table.Enumerate())["COM81"].devicePath, pty);
    fs::remove(sys.Dev() / "ttyS0");  // the link now dangles
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM81"}));
}

TEST(LinuxPortTableTest, PortArgumentsAreNamedByTheirDevice) {
    const auto cwd = fs::current_path();
    fs::current_path("/dev");
    const NamedPort kernel = NamePortArgument("ptmx");  // a bare kernel name
    const NamedPort relative = NamePortArgument("./ptmx");
    const NamedPort dotted = NamePortArgument("/dev/../dev/ptmx");
    fs::current_path(cwd);
    EXPECT_EQ(kernel.path, "/dev/ptmx");
    EXPECT_EQ(fs::path(relative.path).lexically_normal(), "/dev/ptmx");
    EXPECT_FALSE(kernel.deviceKey.empty());
    EXPECT_EQ(relative.deviceKey, kernel.deviceKey);
    EXPECT_EQ(dotted.deviceKey, kernel.deviceKey);
    EXPECT_NE(NamePortArgument("/dev/null").deviceKey, kernel.deviceKey);
    EXPECT_EQ(NamePortArgument("ttyNoSuchPort").path, "/dev/ttyNoSuchPort");
    EXPECT_EQ(NamePortArgument("ttyNoSuchPort").deviceKey, "");
}

// No limit but the system's own: the names end at COM99, the ports do not.
TEST(LinuxPortTableTest, ExtraPathsBeyondCom99AreListedWithoutAComName) {
    FakeTtys sys;
    LinuxPortTable table(Env(""), sys.Source());
    for (int i = 0; i < 130; ++i) {
        const std::string p = (sys.root / ("pty" + std::to_string(i))).string();
        FakeTtys::Write(p, "");
        table.AddExtraPath(p);
    }
    const auto list = table.Enumerate();
    ASSERT_EQ(list.size(), 130u);
    EXPECT_EQ(list.front().comName, "COM80");
    EXPECT_EQ(list[19].comName, "COM99");
    EXPECT_EQ(list[19].devicePath, (sys.root / "pty19").string());
    EXPECT_EQ(list[20].comName, "");
    EXPECT_EQ(list.back().devicePath, (sys.root / "pty129").string());
    EXPECT_EQ(table.Resolve("COM9"), "");
}

TEST(LinuxPortTableTest, OpenFailsOnlyWithNoTtysAndNoExtraPaths) {
    FakeTtys sys;
    LinuxPortTable bare(Env(""), LinuxPortTable::NoTtys);
    EXPECT_FALSE(bare.Open());
    EXPECT_TRUE(bare.Enumerate().empty());

    const std::string pty = (sys.root / "pty").string();
    FakeTtys::Write(pty, "");
    LinuxPortTable withEnv(Env(pty), LinuxPortTable::NoTtys);
    ASSERT_TRUE(withEnv.Open());
    EXPECT_EQ(Names(withEnv.Enumerate()), (std::vector<std::string>{"COM80"}));
}

// On the machine itself: whatever the system has, every name is COM and one or two digits and
// every path exists.
TEST(LinuxPortTableTest, SystemTableHasWellFormedEntries) {
    LinuxPortTable table;
    if (!table.Open()) GTEST_SKIP() << "no /sys/class/tty here";
    // "COM" and one or two digits, no leading zero.
    auto wellFormed = [](const std::string& n) {
        if (n.size() < 4 || n.size() > 5 || n.compare(0, 3, "COM") != 0 || n[3] == '0')
            return false;
        return std::all_of(n.begin() + 3, n.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
    };
    for (const auto& p : table.Enumerate()) {
        EXPECT_TRUE(wellFormed(p.comName)) << p.comName;
        EXPECT_TRUE(fs::exists(p.devicePath)) << p.devicePath;
        EXPECT_FALSE(p.description.empty());
        EXPECT_EQ(table.Resolve(p.comName), p.devicePath);
    }
}

}  // namespace
}  // namespace orlo
