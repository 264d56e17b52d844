// Ports as the command line names them - a device path under any spelling, a kernel name, a
// COM name or an adapter's USB serial number - turned into the port table, serial backend and
// COM name a session needs. The one place that knows the platform's port table and serial
// backend.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ExitCodes.h"
#include "Session.h"
#include "SystemPorts.h"
#include "serial/PortTable.h"

namespace orlo::cli {

struct EndpointError {
    ExitCode code = ExitCode::PortFailure;
    std::string sentence;
};

// The prefix that chooses a port by its adapter's USB serial number: "serial:A50285BI".
inline constexpr const char* kSerialPrefix = "serial:";

// The ports of one run, in the order given.
struct Endpoints {
    std::vector<std::optional<PortEndpoint>> ports;  // empty where the port cannot be had...
    std::vector<EndpointError> errors;               // ...and why
    // Not empty when one device was named twice (under any two spellings): the sentence names
    // both, and nothing may run.
    std::string usageError;
};

// Every --port of a run: a COM name from the port table ("COM12"), "serial:NUMBER", or a path
// (absolute, relative, or a bare kernel name such as "ttyUSB0" for /dev/ttyUSB0) that leads to
// the port's device. Paths are added to the table, so the port list shows them and each gets
// its own COM name; the table is read once for all of them.
Endpoints MakeEndpoints(const std::vector<std::string>& portArgs);

// Which entry of `list` a --port names: its index, or -1 with the reason in `error`.
// `deviceKey` is that of the path the argument names (empty for COM names and serial numbers).
int MatchPort(const std::vector<PortInfo>& list, const std::string& portArg,
              const std::string& deviceKey, EndpointError* error);

// What a --port names on this system: the path to list and the device behind it (see
// NamePortArgument); empty for COM names and serial numbers, which the table itself knows.
NamedPort NamePort(const std::string& portArg);

// The system's ports in the table's order.
std::vector<PortInfo> ListPorts();

}  // namespace orlo::cli
