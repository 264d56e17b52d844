#include "PlatformPorts.h"

#include <algorithm>
#include <cctype>
#include <memory>
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

// A name the dialog's port list shows whole: "COM" and one or two digits.
bool IsListName(const std::string& comName) {
    return IsComName(comName) && comName.size() <= 5;
}

// The entry a session chooses in its own port list for `port` of `list`: its COM name when the
// list shows it whole, else the first two-digit name no port of the list has. Every session
// has a list of its own, so a gang of any size needs no more names than one list holds.
std::string ListNameFor(const std::vector<PortInfo>& list, const PortInfo& port) {
    if (IsListName(port.comName)) return port.comName;
#ifdef _WIN32
    return {};  // the port is opened by its list entry's number: no other name may stand in
#endif
    for (int n = 1; n <= 99; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (std::none_of(list.begin(), list.end(),
                         [&](const PortInfo& p) { return p.comName == name; }))
            return name;
    }
    return {};
}

bool IsSerialChoice(const std::string& portArg) {
    return portArg.rfind(kSerialPrefix, 0) == 0;
}

// The port table as read once for the run: each session's port list and its open ask again,
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

NamedPort NamePort(const std::string& portArg) {
    if (IsComName(portArg) || IsSerialChoice(portArg)) return {};
    return NamePortArgument(portArg);
}

int MatchPort(const std::vector<PortInfo>& list, const std::string& portArg,
              const std::string& deviceKey, EndpointError* error) {
    if (IsSerialChoice(portArg)) {
        const std::string serial = portArg.substr(std::string(kSerialPrefix).size());
        int found = -1;
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (serial.empty() || list[i].serialNumber != serial) continue;
            if (found >= 0) {
                *error = {ExitCode::PortFailure,
                          "two ports have the serial number " + serial + " (" +
                              list[static_cast<std::size_t>(found)].comName + " and " +
                              list[i].comName + "): choose one by its path"};
                return -1;
            }
            found = static_cast<int>(i);
        }
        if (found < 0)
            *error = {ExitCode::PortFailure,
                      "no port has the serial number " + serial + " (orlo ports lists them)"};
        return found;
    }
    if (IsComName(portArg)) {
        const std::string name = "COM" + portArg.substr(3);
#ifdef _WIN32
        // Windows opens the port by the number the list entry carries, which has two digits
        // at most: a longer one would open another port.
        if (!IsListName(name)) {
            *error = {ExitCode::PortFailure,
                      name + " cannot be chosen: the port list shows COM1 to COM99 only"};
            return -1;
        }
#endif
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].comName == name) return static_cast<int>(i);
        *error = {ExitCode::PortFailure,
                  name + " is not a serial port of this system (orlo ports lists them)"};
        return -1;
    }
    if (!deviceKey.empty())
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].deviceKey == deviceKey) return static_cast<int>(i);
    *error = {ExitCode::PortFailure, portArg + " cannot be listed as a serial port"};
    return -1;
}

Endpoints MakeEndpoints(const std::vector<std::string>& portArgs) {
    std::vector<NamedPort> named;
    std::vector<std::string> paths;
    for (const std::string& portArg : portArgs) {
        named.push_back(NamePort(portArg));
        // A COM name is the table's own name on Windows (where it may list it); a path is
        // listed on Linux.
        paths.push_back(IsComName(portArg) ? portArg : named.back().path);
    }
    // Every session's table holds the same named ports, so each has the same COM name in all.
    std::unique_ptr<IPortTable> table = MakeSystemPortTable(paths);
    const bool open = table->Open();
    const std::vector<PortInfo> list = open ? table->Enumerate() : std::vector<PortInfo>();

    Endpoints result;
    std::vector<std::string> chosenKeys;
    for (std::size_t i = 0; i < portArgs.size(); ++i) {
        EndpointError error;
        const int index = MatchPort(list, portArgs[i], named[i].deviceKey, &error);
        if (index < 0) {
            if (!named[i].path.empty()) {
                // Not listed: the device is missing or cannot be a port. Opening it says which,
                // in the same words as a failed Open.
                SerialOpenResult open;
                if (auto port = MakeSerialBackend(*table)->Open(named[i].path, &open))
                    port->Close();
                if (!open.message.empty()) error.sentence = open.message;
            }
            result.ports.push_back(std::nullopt);
            result.errors.push_back(error);
            chosenKeys.emplace_back();
            continue;
        }
        const PortInfo& port = list[static_cast<std::size_t>(index)];
        const std::string key = port.deviceKey.empty() ? port.comName : port.deviceKey;
        for (std::size_t j = 0; j < chosenKeys.size(); ++j) {
            if (chosenKeys[j] != key) continue;
            result.usageError = portArgs[j] == portArgs[i]
                                    ? "the port " + portArgs[i] + " is given more than once"
                                    : portArgs[j] + " and " + portArgs[i] + " are the same port (" +
                                          (port.comName.empty() ? "" : port.comName + ", ") +
                                          port.devicePath + "): give it once";
            return result;
        }
        chosenKeys.push_back(key);

        PortEndpoint endpoint;
        endpoint.label = portArgs[i];
        endpoint.comName = port.comName;
        endpoint.listName = ListNameFor(list, port);
        endpoint.serialNumber = port.serialNumber;
        endpoint.vendorId = port.vendorId;
        endpoint.productId = port.productId;
        endpoint.path = port.devicePath;
        if (endpoint.listName.empty()) {
            result.ports.push_back(std::nullopt);
            result.errors.push_back({ExitCode::PortFailure,
                                     portArgs[i] + " cannot be chosen: the port list shows "
                                                   "COM1 to COM99 only, and all are taken"});
            continue;
        }
        // This session's list: the reading of the table, with its port under its list name.
        std::vector<PortInfo> own = list;
        own[static_cast<std::size_t>(index)].comName = endpoint.listName;
        endpoint.table =
            std::make_unique<SnapshotPortTable>(MakeSystemPortTable(paths), open, std::move(own));
        endpoint.backend = MakeSerialBackend(*endpoint.table);
        result.ports.push_back(std::move(endpoint));
        result.errors.push_back({});
    }
    return result;
}

std::vector<PortInfo> ListPorts() {
    std::unique_ptr<IPortTable> table = MakeSystemPortTable();
    if (!table->Open()) return {};
    return table->Enumerate();
}

}  // namespace orlo::cli
