// The serial ports of the system the program runs on: its table of ports and its serial
// backend. One implementation per operating system (posix/SystemPorts.cpp,
// win32/SystemPorts.cpp), picked by the build.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo {

// The system's port table. `namedPorts` are ports the user named (the command line's --port,
// in the order given, after NamePortArgument): the table lists them even where the system does
// not, if they are port names of this system - device paths on Linux ("/dev/pts/3"), COM names
// on Windows ("COM7"). Anything else, and an empty name, adds nothing. Tables made with the same
// names give every port the same COM name.
std::unique_ptr<IPortTable> MakeSystemPortTable(const std::vector<std::string>& namedPorts = {});

// The system's serial backend; `table` turns the COM names CComm opens into devices where the
// system needs that (Linux). The table must outlive the backend.
std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable& table);

// A port as the user wrote it, in the system's terms.
struct NamedPort {
    std::string path;       // what to list and open: "ttyUSB0" -> "/dev/ttyUSB0", "./p" -> "/cwd/p"
    std::string deviceKey;  // as PortInfo::deviceKey; empty when nothing is there
};

// Linux: a relative path is made absolute, and a bare kernel name ("ttyUSB0") means the node in
// /dev. Windows: a COM name in either form is the port's name. The device behind the name is
// found by what it is (its device number), not by how it is spelled.
NamedPort NamePortArgument(const std::string& portArg);

}  // namespace orlo
