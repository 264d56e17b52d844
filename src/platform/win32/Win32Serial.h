// The serial port on Windows: the communications functions on a handle opened for overlapped
// transfers. The reader waits in WaitCommEvent for a received character, asks ClearCommError
// how many bytes are waiting and takes them with ReadFile; WriteFile hands a frame to the driver
// and returns, so sending never blocks the window.
#pragma once

#include "win32/WinApi.h"

#include <memory>
#include <string>

#include "serial/SerialTransport.h"

namespace orlo {

class Win32SerialBackend : public ISerialBackend {
  public:
    // Opens a port by the name CComm builds ("COM3", or "\\.\COM12" from COM5 on) or any other
    // device name, exclusively, for reading and writing at the same time.
    std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                           SerialOpenResult* result) override;
    // A manual-reset, unsignalled, unnamed event, as the Open command creates two.
    std::shared_ptr<TransferEvent> CreateTransferEvent() override;
};

// The time-outs a port is opened with: a read returns at once with what has already arrived
// (even nothing), and a write has no total limit beyond 19200 / baud ms per byte, which is 0 -
// no limit at all - at 115200 baud.
COMMTIMEOUTS PortTimeouts(uint32_t baudRate);

// Changes exactly the fields the line settings name - speed, character format, the XON/XOFF
// characters and limits - and leaves every flag bit and every other field as the driver
// reported it.
void ApplyLineSettings(const LineSettings& settings, DCB* dcb);

// The name a user knows a port by: "\\.\COM12" is COM12.
std::string PortDisplayName(const std::string& portName);

}  // namespace orlo
