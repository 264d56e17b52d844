// The serial ports of the system the program runs on: its table of ports and its serial
// backend. One implementation per operating system (posix/SystemPorts.cpp,
// win32/SystemPorts.cpp), picked by the build.
#pragma once

#include <memory>
#include <string>

#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo {

// The system's port table. `namedPort` is a port the user named (the command line's --port):
// the table lists it even where the system does not, if it is a port name of this system - a
// device path on Linux ("/dev/pts/3"), a COM name on Windows ("COM7"). Anything else, and an
// empty name, adds nothing.
std::unique_ptr<IPortTable> MakeSystemPortTable(const std::string& namedPort = {});

// The system's serial backend; `table` turns the COM names CComm opens into devices where the
// system needs that (Linux). The table must outlive the backend.
std::unique_ptr<ISerialBackend> MakeSerialBackend(IPortTable& table);

}  // namespace orlo
