// The registry port table: COM names resolve to their device-namespace names, the values of
// the key are listed in the registry's order, values that are no port name are left out, and
// ports named by the user are listed where the registry lacks them. The tests fill a key of
// their own under HKEY_CURRENT_USER.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/OrloDlg.h"
#include "support/ScriptedWindow.h"
#include "win32/RegistryPortTable.h"
#include "win32/Win32Text.h"
#include "window/EventLoop.h"

namespace orlo::test {
namespace {

TEST(RegistryPortTable, ComNamesResolveToTheirDeviceNamespaceNames) {
    RegistryPortTable table;
    EXPECT_EQ(table.Resolve("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(table.Resolve("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(table.Resolve("com3"), "\\\\.\\COM3");
    EXPECT_EQ(table.Resolve("\\\\.\\COM5"), "\\\\.\\COM5");
    for (const char* notCom : {"", "COM", "COMX", "COM1A", "LPT1", "\\\\.\\LPT1", "/dev/ttyS0"})
        EXPECT_EQ(table.Resolve(notCom), "") << notCom;
}

TEST(RegistryPortTable, TheSystemsKeyOpensWithReadAccess) {
    // HARDWARE\DEVICEMAP\SERIALCOMM exists wherever a serial port driver has started (Wine
    // lists the ports it maps). The table opens it for reading only, as any user may.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryPortTable::kSerialCommKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        GTEST_SKIP() << "this system has no serial port key";
    ::RegCloseKey(key);
    RegistryPortTable table;
    EXPECT_TRUE(table.Open());
    for (const PortInfo& port : table.Enumerate()) {
        EXPECT_EQ(port.comName.rfind("COM", 0), 0u) << port.comName;
        EXPECT_EQ(port.devicePath, "\\\\.\\" + port.comName);
    }
}

// A key of the test's own, removed again at the end.
class PortKey : public ::testing::Test {
  protected:
    void SetUp() override {
        path = L"Software\\OrloTest\\SERIALCOMM-" + std::to_wstring(::GetCurrentProcessId());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key != nullptr) ::RegCloseKey(key);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    void AddText(const std::wstring& name, const std::wstring& data) {
        ASSERT_EQ(::RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(data.c_str()),
                                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void AddNumber(const std::wstring& name, DWORD value) {
        ASSERT_EQ(::RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
    }
    std::vector<std::string> ComNames(RegistryPortTable& table) {
        std::vector<std::string> names;
        for (const PortInfo& port : table.Enumerate()) names.push_back(port.comName);
        return names;
    }

    std::wstring path;
    HKEY key = nullptr;
};

// The value names in the order the registry itself enumerates them (Windows keeps the order
// the values were made in, Wine sorts them by name).
std::vector<std::string> RegistryOrder(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD chars = 256;
        if (::RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.push_back(win32::Narrow(std::wstring(name, chars)));
    }
    return names;
}

TEST_F(PortKey, ValuesAreListedInTheRegistrysOrderWithTheirDeviceNames) {
    AddText(L"\\Device\\Serial0", L"COM1");
    AddText(L"\\Device\\VCP0", L"COM12");
    AddText(L"\\Device\\Serial2", L"COM3");
    RegistryPortTable table(HKEY_CURRENT_USER, path);
    ASSERT_TRUE(table.Open());
    const std::vector<PortInfo> ports = table.Enumerate();
    const std::vector<std::string> order = RegistryOrder(key);
    ASSERT_EQ(ports.size(), 3u);
    ASSERT_EQ(order.size(), 3u);
    const std::map<std::string, std::string> data = {
        {"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM12"}, {"\\Device\\Serial2", "COM3"}};
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].valueName, order[i]);
        EXPECT_EQ(ports[i].comName, data.at(order[i]));
        EXPECT_EQ(ports[i].devicePath, "\\\\.\\" + data.at(order[i]));
    }
}

TEST_F(PortKey, ValuesThatHoldNoPortNameAreLeftOut) {
    AddText(L"\\Device\\Serial0", L"COM4");
    AddNumber(L"\\Device\\Odd", 7);                       // not a text
    AddText(L"\\Device\\Long", std::wstring(300, L'9'));  // does not fit 255 bytes
    AddText(L"\\Device\\Empty", L"");
    AddText(L"\\Device\\Serial9", L"COM123");  // listed as it is; the port list shows COM12
    RegistryPortTable table(HKEY_CURRENT_USER, path);
    EXPECT_EQ(ComNames(table), (std::vector<std::string>{"COM4", "COM123"}));
}

TEST_F(PortKey, ANamedPortIsListedAfterTheRegistrysOnceAndOnlyWhereItIsMissing) {
    AddText(L"\\Device\\Serial0", L"COM4");
    RegistryPortTable table(HKEY_CURRENT_USER, path);
    EXPECT_TRUE(table.AddNamedPort("com9"));
    EXPECT_TRUE(table.AddNamedPort("\\\\.\\COM9"));  // the same port again
    EXPECT_TRUE(table.AddNamedPort("COM4"));         // listed by the registry already
    EXPECT_FALSE(table.AddNamedPort("/dev/ttyS0"));
    const std::vector<PortInfo> ports = table.Enumerate();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].comName, "COM4");
    EXPECT_EQ(ports[1].comName, "COM9");
    EXPECT_EQ(ports[1].devicePath, "\\\\.\\COM9");
    EXPECT_EQ(ports[1].description, "named on the command line");
}

TEST_F(PortKey, AMissingKeyCannotBeOpenedUnlessAPortWasNamed) {
    RegistryPortTable table(HKEY_CURRENT_USER, path + L"\\missing");
    EXPECT_FALSE(table.Open());
    EXPECT_TRUE(table.Enumerate().empty());
    table.AddNamedPort("COM2");
    EXPECT_TRUE(table.Open());
    EXPECT_EQ(ComNames(table), (std::vector<std::string>{"COM2"}));
}

TEST_F(PortKey, TheDialogsPortListShowsTheRegistrysPorts) {
    AddText(L"\\Device\\Serial0", L"COM1");
    AddText(L"\\Device\\Serial2", L"COM3");
    AddText(L"\\Device\\VCP0", L"COM123");
    RegistryPortTable table(HKEY_CURRENT_USER, path);
    EventLoop loop;
    ScriptedWindow window{loop};
    OrloEnvironment env;
    env.window = &window;
    env.ports = &table;
    COrloDlg dlg(env);
    dlg.OnInitDialog();
    window.Click(IDC_COMBO_PORT, CBN_DROPDOWN);
    EXPECT_EQ(window.ListItems(IDC_COMBO_PORT),
              (std::vector<std::string>{"Select Com Port", "COM1", "COM3", "COM12"}));
    EXPECT_EQ(window.ComboGetCurSel(IDC_COMBO_PORT), 2);  // rests on the next-to-last port
    EXPECT_TRUE(window.boxes.empty());
}

}  // namespace
}  // namespace orlo::test
