// The serial port on POSIX systems: termios for the line, poll() for the reader's wait and a
// writer thread per connection, so that handing a frame to the port never blocks the window.
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo {

// Puts a terminal's settings into raw 8-bit mode (no echo, no line editing, no signals, no
// character translation either way, no flow control) with the given speed, character format
// and flow-control characters. False, with `tio` partly changed, for settings the line cannot
// take: an unknown speed, 5..8 data bits, parity codes 0..4 or stop-bit codes 0..2 exceeded.
bool ApplyLineSettings(const LineSettings& settings, termios* tio);

class PosixSerialBackend : public ISerialBackend {
  public:
    // `ports` turns COM names into device paths; without it only device paths can be opened.
    explicit PosixSerialBackend(IPortTable* ports = nullptr) : m_ports(ports) {}

    // "COM3" and "\\.\COM12" are looked up in the port table (as "COM3", "COM12"); a name that
    // starts with '/' is a device path and is opened as it is. The device is opened for
    // exclusive use: a lock that other programs honour, and the terminal's exclusive mode.
    std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                           SerialOpenResult* result) override;

  private:
    IPortTable* m_ports;
};

}  // namespace orlo
