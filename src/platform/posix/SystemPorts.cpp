#include "SystemPorts.h"

#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"

namespace orlo {

std::unique_ptr<IPortTable> MakeSystemPortTable(const std::string& namedPort) {
    auto table = std::make_unique<LinuxPortTable>();
    if (!namedPort.empty() && namedPort.front() == '/') table->AddExtraPath(namedPort);
    return table;
}

std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable& table) {
    return std::make_unique<PosixSerialBackend>(&table);
}

}  // namespace orlo
