// What orlo doctor looks at on Windows: whether the port opens for exclusive use at 115200 8N1
// (the system says why not: missing, in use, refused).
#include "Doctor.h"
#include "SystemPorts.h"

namespace orlo::cli {

std::vector<Finding> ExaminePort(const DoctorTarget& t) {
    std::unique_ptr<IPortTable> table = MakeSystemPortTable();
    SerialOpenResult result;
    auto port = MakeSerialBackend(*table)->Open(t.path, &result);
    if (!port)
        return {{"open", Severity::Blocker,
                 result.message.empty() ? t.path + " cannot be opened" : result.message,
                 "orlo ports lists the ports there are"}};
    LineSettings settings;
    settings.baudRate = 115200;
    const bool line = port->Configure(settings);
    port->Close();
    return {{"open", Severity::Ok, t.path + " opens for exclusive use", ""},
            line ? Finding{"line", Severity::Ok, "the line takes 115200 baud, 8N1", ""}
                 : Finding{"line", Severity::Blocker, "the line does not take 115200 baud, 8N1",
                           "the adapter or its driver cannot serve this device"}};
}

}  // namespace orlo::cli
