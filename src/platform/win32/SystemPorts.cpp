#include "SystemPorts.h"

#include "win32/RegistryPortTable.h"
#include "win32/Win32Serial.h"

namespace orlo {

std::unique_ptr<IPortTable> MakeSystemPortTable(const std::vector<std::string>& namedPorts) {
    auto table = std::make_unique<RegistryPortTable>();
    for (const std::string& named : namedPorts)
        if (!named.empty()) table->AddNamedPort(named);
    return table;
}

std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable&) {
    // Windows opens "COM3" and "\\.\COM12" itself.
    return std::make_unique<Win32SerialBackend>();
}

NamedPort NamePortArgument(const std::string& portArg) {
    // A port is its COM name on Windows: "com7" and "\\.\COM7" are COM7.
    const std::string com = RegistryPortTable::NormalizeComName(portArg);
    return {com.empty() ? portArg : com, com};
}

}  // namespace orlo
