// The Linux port table against a fake sysfs tree and device directory in a temporary folder.
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

class FakeSysfs {
  public:
    FakeSysfs() {
        std::string pattern = (fs::temp_directory_path() / "orlo-ports-XXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(Sys() / "class" / "tty");
        fs::create_directories(Dev());
        fs::create_directories(Sys() / "bus" / "drivers" / "serial");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path Sys() const { return root / "sys"; }
    fs::path Dev() const { return root / "dev"; }

    // A tty class entry linked to a device folder under devices/, as the kernel lays it out.
    // `driver` false leaves the device without a bound driver; `type` empty writes no type
    // attribute; `node` false creates no device node.
    fs::path AddTty(const std::string& name, const fs::path& deviceDir, bool driver = true,
                    const std::string& type = "", bool node = true) {
        const fs::path dev = Sys() / "devices" / deviceDir;
        const fs::path ttyDir = dev / "tty" / name;
        fs::create_directories(ttyDir);
        if (driver)
            fs::create_directory_symlink(Sys() / "bus" / "drivers" / "serial", dev / "driver");
        fs::create_directory_symlink(dev, ttyDir / "device");
        if (!type.empty()) Write(ttyDir / "type", type + "\n");
        fs::create_directory_symlink(ttyDir, Sys() / "class" / "tty" / name);
        if (node) Write(Dev() / name, "");
        return dev;
    }
    // A USB device folder with its identity, and a ttyUSB/ttyACM port below its interface.
    void AddUsb(const std::string& name, const std::string& usbDir, const std::string& vid,
                const std::string& pid, const std::string& product) {
        const fs::path usb = Sys() / "devices" / "pci0000:00" / usbDir;
        fs::create_directories(usb);
        Write(usb / "idVendor", vid + "\n");
        Write(usb / "idProduct", pid + "\n");
        if (!product.empty()) Write(usb / "product", product + "\n");
        AddTty(name, fs::path("pci0000:00") / usbDir / (usbDir + ":1.0") / name);
    }
    static void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

    fs::path root;
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
    FakeSysfs sys;
    sys.AddUsb("ttyUSB0", "1-1", "0403", "6001", "FT232R USB UART");
    sys.AddUsb("ttyUSB3", "1-2", "067b", "2303", "");
    sys.AddUsb("ttyACM1", "1-3", "2341", "0043", "Uno");
    sys.AddUsb("ttyUSB30", "1-4", "0403", "6001", "too far");            // beyond COM39: left out
    sys.AddTty("ttyS0", "platform/serial8250/port0", true, "4");         // a real 16550A
    sys.AddTty("ttyS1", "platform/serial8250/port1", true, "0");         // phantom slot
    sys.AddTty("ttyS2", "platform/serial8250/port2", false, "4");        // no driver bound
    sys.AddTty("ttyS3", "platform/serial8250/port3", true, "");          // no type, probe fails
    sys.AddTty("ttyS4", "platform/serial8250/port4", true, "4", false);  // no device node
    sys.AddTty("ttyS12", "platform/serial8250/port12", true, "4");
    sys.AddTty("ttyAMA0", "platform/uart0", true, "3");
    fs::create_directories(sys.Sys() / "devices" / "virtual" / "tty0");  // console: no device
    fs::create_directory_symlink(sys.Sys() / "devices" / "virtual" / "tty0",
                                 sys.Sys() / "class" / "tty" / "tty0");
    FakeSysfs::Write(sys.Dev() / "tty0", "");

    LinuxPortTable table(sys.Sys().string(), sys.Dev().string(), Env(""));
    ASSERT_TRUE(table.Open());
    const auto list = table.Enumerate();
    // In COM-number order; other UARTs numbered by name from COM70.
    EXPECT_EQ(Names(list),
              (std::vector<std::string>{"COM1", "COM10", "COM13", "COM41", "COM70", "COM71"}));
    auto m = ByName(list);
    EXPECT_EQ(m["COM1"].devicePath, (sys.Dev() / "ttyS0").string());
    EXPECT_EQ(m["COM1"].valueName, "ttyS0");
    EXPECT_EQ(m["COM1"].description, "on-board serial port");
    EXPECT_EQ(m["COM10"].devicePath, (sys.Dev() / "ttyUSB0").string());
    EXPECT_EQ(m["COM10"].description, "USB 0403:6001 FT232R USB UART");
    EXPECT_EQ(m["COM13"].description, "USB 067b:2303");
    EXPECT_EQ(m["COM41"].description, "USB 2341:0043 Uno");
    EXPECT_EQ(m["COM70"].devicePath, (sys.Dev() / "ttyAMA0").string());
    EXPECT_EQ(m["COM71"].devicePath, (sys.Dev() / "ttyS12").string());

    EXPECT_EQ(table.Resolve("COM10"), (sys.Dev() / "ttyUSB0").string());
    EXPECT_EQ(table.Resolve("\\\\.\\COM41"), (sys.Dev() / "ttyACM1").string());
    EXPECT_EQ(table.Resolve("COM2"), "");
}

TEST(LinuxPortTableTest, UsbPortKeepsItsNameWhenOthersComeAndGo) {
    FakeSysfs sys;
    sys.AddUsb("ttyUSB1", "1-2", "0403", "6001", "B");
    LinuxPortTable table(sys.Sys().string(), sys.Dev().string(), Env(""));
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM11"}));
    sys.AddUsb("ttyUSB0", "1-1", "0403", "6001", "A");
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM10", "COM11"}));
    EXPECT_EQ(ByName(table.Enumerate())["COM11"].description, "USB 0403:6001 B");
}

TEST(LinuxPortTableTest, ExtraPathsFromTheEnvironmentAndTheCallerFollowFromCom80) {
    FakeSysfs sys;
    sys.AddTty("ttyS0", "platform/serial8250/port0", true, "4");
    const std::string a = (sys.root / "pts-a").string();
    const std::string b = (sys.root / "pts-b").string();  // never created: not listed
    const std::string c = (sys.root / "pts-c").string();
    const std::string d = (sys.root / "pts-d").string();
    FakeSysfs::Write(a, "");
    FakeSysfs::Write(c, "");
    FakeSysfs::Write(d, "");

    LinuxPortTable table(sys.Sys().string(), sys.Dev().string(), Env(a + "::" + b + ":" + c));
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
    FakeSysfs sys;
    sys.AddTty("ttyS0", "platform/serial8250/port0", true, "4");
    const fs::path link = sys.root / "by-id-link";  // leads to ttyS0, which is listed as COM1
    fs::create_symlink(sys.Dev() / "ttyS0", link);
    const std::string pty = (sys.root / "pty").string();
    FakeSysfs::Write(pty, "");
    LinuxPortTable table(sys.Sys().string(), sys.Dev().string(), Env(link.string() + ":" + pty));
    EXPECT_EQ(ByName(table.Enumerate())["COM81"].devicePath, pty);
    fs::remove(sys.Dev() / "ttyS0");  // the link now dangles
    EXPECT_EQ(Names(table.Enumerate()), (std::vector<std::string>{"COM81"}));
}

TEST(LinuxPortTableTest, PortArgumentsAreNamedByTheirDevice) {
    const auto cwd = fs::current_path();
    fs::current_path("/dev");
    const NamedPort kernel = NamePortArgument("ptmx");   // a bare kernel name
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

TEST(LinuxPortTableTest, ExtraPathsStopAtCom99) {
    FakeSysfs sys;
    LinuxPortTable table(sys.Sys().string(), sys.Dev().string(), Env(""));
    for (int i = 0; i < 25; ++i) {
        const std::string p = (sys.root / ("pty" + std::to_string(i))).string();
        FakeSysfs::Write(p, "");
        table.AddExtraPath(p);
    }
    const auto list = table.Enumerate();
    ASSERT_EQ(list.size(), 20u);
    EXPECT_EQ(list.front().comName, "COM80");
    EXPECT_EQ(list.back().comName, "COM99");
    EXPECT_EQ(list.back().devicePath, (sys.root / "pty19").string());
}

TEST(LinuxPortTableTest, OpenFailsOnlyWithNoSysfsAndNoExtraPaths) {
    FakeSysfs sys;
    const std::string missing = (sys.root / "no-sys").string();
    LinuxPortTable bare(missing, sys.Dev().string(), Env(""));
    EXPECT_FALSE(bare.Open());
    EXPECT_TRUE(bare.Enumerate().empty());

    const std::string pty = (sys.root / "pty").string();
    FakeSysfs::Write(pty, "");
    LinuxPortTable withEnv(missing, sys.Dev().string(), Env(pty));
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
