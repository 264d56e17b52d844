#include "PlatformPorts.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "SystemPorts.h"

namespace orlo::cli {

namespace {

// "COM" and one or more digits, in any letter case.
bool IsComName(const std::string& portArg) {
    if (portArg.size() < 4) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(portArg[i])) != "COM"[i]) return false;
    return std::all_of(portArg.begin() + 3, portArg.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The port table as read once for this port: the session's port list and its open ask again,
// and a gang must not read the system's table three times for every port. A name the reading
// does not know is still asked of the system.
class SnapshotPortTable : public IPortTable {
  public:
    SnapshotPortTable(std::unique_ptr<IPortTable> system, bool open, std::vector<PortInfo> ports)
        : m_system(std::move(system)), m_open(open), m_ports(std::move(ports)) {}
    bool Open() override { return m_open; }
    std::vector<PortInfo> Enumerate() override { return m_ports; }
    std::string Resolve(const std::string& comName) override {
        std::string name = comName;
        if (name.starts_with("\\\\.\\")) name = name.substr(4);
        for (const PortInfo& port : m_ports)
            if (port.comName == name) return port.devicePath;
        return m_system->Resolve(comName);
    }

  private:
    std::unique_ptr<IPortTable> m_system;
    bool m_open;
    std::vector<PortInfo> m_ports;
};

}  // namespace

std::optional<PortEndpoint> MakeEndpoint(const std::string& portArg, EndpointError* error) {
    PortEndpoint endpoint;
    endpoint.label = portArg;
    // The table lists the port the user named where the system itself does not.
    std::unique_ptr<IPortTable> table = MakeSystemPortTable(portArg);
    const bool open = table->Open();
    std::vector<PortInfo> ports = open ? table->Enumerate() : std::vector<PortInfo>{};

    if (IsComName(portArg)) {
        std::string name = "COM" + portArg.substr(3);
        // The port list shows at most two digits of a number: a longer one cannot be chosen.
        if (name.size() > 5) {
            *error = {ExitCode::PortFailure,
                      name + " cannot be chosen: the port list shows COM1 to COM99 only"};
            return std::nullopt;
        }
        std::string path;
        for (const PortInfo& port : ports) {
            if (port.comName == name) {
                path = port.devicePath;
                break;
            }
        }
        if (path.empty()) {
            *error = {ExitCode::PortFailure,
                      name + " is not a serial port of this system (orlo ports lists them)"};
            return std::nullopt;
        }
        endpoint.comName = name;
        endpoint.path = path;
    } else {
        for (const PortInfo& port : ports) {
            if (SameFile(port.devicePath, portArg)) {
                endpoint.comName = port.comName;
                endpoint.path = port.devicePath;
                break;
            }
        }
        if (endpoint.comName.empty()) {
            // Not listed: the device is missing or cannot be a port. Opening it says which,
            // in the same words as a failed Open.
            SerialOpenResult result;
            if (auto port = MakeSerialBackend(*table)->Open(portArg, &result)) port->Close();
            *error = {ExitCode::PortFailure, result.message.empty()
                                                 ? portArg + " cannot be listed as a serial port"
                                                 : result.message};
            return std::nullopt;
        }
    }
    endpoint.table = std::make_unique<SnapshotPortTable>(std::move(table), open, std::move(ports));
    endpoint.backend = MakeSerialBackend(*endpoint.table);
    return endpoint;
}

std::vector<PortInfo> ListPorts() {
    std::unique_ptr<IPortTable> table = MakeSystemPortTable();
    if (!table->Open()) return {};
    return table->Enumerate();
}

}  // namespace orlo::cli
