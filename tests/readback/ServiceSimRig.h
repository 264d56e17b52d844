// The dialog wired to the simulated device on a pseudo-terminal through the POSIX serial
// backend, for end-to-end tests of the service functions (read-back, check, sweep, device log).
// A one-entry port table resolves COM3 to the device's terminal.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/OrloDlg.h"
#include "devsim/PtyDevice.h"
#include "posix/PosixSerial.h"
#include "support/ScriptedWindow.h"

namespace orlo::test {

class SimPortTable : public IPortTable {
  public:
    explicit SimPortTable(const devsim::PtyDevice& sim) : m_sim(sim) {}
    bool Open() override { return true; }
    std::vector<PortInfo> Enumerate() override {
        PortInfo port;
        port.valueName = "sim0";
        port.comName = "COM3";
        port.devicePath = m_sim.SlavePath();
        port.description = "simulated device";
        return {port};
    }
    std::string Resolve(const std::string& comName) override {
        return comName == "COM3" ? m_sim.SlavePath() : std::string();
    }

  private:
    const devsim::PtyDevice& m_sim;
};

class ServiceSimRig {
  public:
    static constexpr std::time_t kNow = 1362665109;  // 2013-03-07 14:05:09 UTC

    explicit ServiceSimRig(devsim::DeviceOptions device = {})
        : sim(std::move(device)), m_ports(sim), m_serial(&m_ports) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orlo-service-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        OrloEnvironment env;
        env.window = &wnd;
        env.serial = &m_serial;
        env.ports = &m_ports;
        env.now = [] { return kNow; };
        dlg = std::make_unique<COrloDlg>(env);
        dlg->OnInitDialog();
    }
    ~ServiceSimRig() {
        dlg.reset();
        sim.Stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Starts the device, chooses its port in the list and opens it.
    void Connect() {
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        dlg->OnPortDropDown();
        const auto items = wnd.ListItems(IDC_COMBO_PORT);
        const auto it = std::find(items.begin(), items.end(), "COM3");
        ASSERT_NE(it, items.end()) << "the simulated port is not in the list";
        wnd.ComboSetCurSel(IDC_COMBO_PORT, static_cast<int>(it - items.begin()));
        dlg->OnPortSelChange();
        wnd.Click(IDC_OPEN);
        ASSERT_NE(dlg->m_comm.m_bConnected.load(), 0) << "open failed";
        ASSERT_TRUE(wnd.boxes.empty());
    }

    // Runs the window's messages until `done` (false after 60 s of real time).
    bool Pump(const std::function<bool()>& done) {
        return loop.RunUntil(done, std::chrono::seconds(60));
    }

    static std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
    }

    EventLoop loop;
    ScriptedWindow wnd{loop};
    devsim::PtyDevice sim;
    std::unique_ptr<COrloDlg> dlg;
    std::filesystem::path dir;

  private:
    SimPortTable m_ports;
    PosixSerialBackend m_serial;
};

}  // namespace orlo::test
