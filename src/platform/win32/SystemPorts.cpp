#include "SystemPorts.h"

#include "win32/RegistryPortTable.h"
#include "win32/Win32Serial.h"

namespace orlo {

std::unique_ptr<IPortTable> MakeSystemPortTable(const std::string& namedPort) {
    auto table = std::make_unique<RegistryPortTable>();
    if (!namedPort.empty()) table->AddNamedPort(namedPort);
    return table;
}

std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable&) {
    // Windows opens "COM3" and "\\.\COM12" itself.
    return std::make_unique<Win32SerialBackend>();
}

}  // namespace orlo
