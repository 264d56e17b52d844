// Ports as the command line names them: a device path or a COM name, turned into the port
// table, serial backend and COM name a session needs. The one place that knows the platform's
// port table and serial backend.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ExitCodes.h"
#include "Session.h"
#include "serial/PortTable.h"

namespace orlo::cli {

struct EndpointError {
    ExitCode code = ExitCode::PortFailure;
    std::string sentence;
};

// `portArg` is a COM name from the port table ("COM12") or a device path ("/dev/ttyUSB0", a
// pseudo-terminal); a path is added to the table so that the port list shows it.
std::optional<PortEndpoint> MakeEndpoint(const std::string& portArg, EndpointError* error);

// The system's ports in the table's order.
std::vector<PortInfo> ListPorts();

}  // namespace orlo::cli
