#include "SystemPorts.h"

#include <filesystem>
#include <system_error>

#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"

namespace orlo {

namespace fs = std::filesystem;

std::unique_ptr<IPortTable> MakeSystemPortTable(const std::vector<std::string>& namedPorts) {
    auto table = std::make_unique<LinuxPortTable>();
    for (const std::string& path : namedPorts)
        if (!path.empty() && path.front() == '/') table->AddExtraPath(path);
    return table;
}

std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable& table) {
    return std::make_unique<PosixSerialBackend>(&table);
}

NamedPort NamePortArgument(const std::string& portArg) {
    NamedPort named;
    std::error_code ec;
    if (portArg.empty()) return named;
    if (portArg.front() == '/') {
        named.path = portArg;
    } else if (portArg.find('/') == std::string::npos &&
               (fs::exists("/dev/" + portArg, ec) || !fs::exists(portArg, ec))) {
        // A kernel name: the node of that name in /dev (also when it is missing, so the error
        // names the node a user meant).
        named.path = "/dev/" + portArg;
    } else {
        const fs::path absolute = fs::absolute(portArg, ec);
        named.path = ec ? portArg : absolute.string();
    }
    named.deviceKey = LinuxPortTable::DeviceKey(named.path);
    return named;
}

}  // namespace orlo
