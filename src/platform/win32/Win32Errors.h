// Turns the Windows error codes of the serial backend into the port's own errors, each with one
// sentence a user can act on. Every GetLastError() of the backend goes through here.
#pragma once

#include <cstdint>
#include <string>

#include "serial/SerialTransport.h"

namespace orlo {

// `err` is the GetLastError() of the failed call; `device` names the port as the user knows it
// ("COM3", "\\.\COM12"); `action` says what failed ("opened", "set up") and is used only where
// the error itself says nothing clearer.
SerialOpenResult SerialErrorFromWin32(uint32_t err, const std::string& device,
                                      const std::string& action = "opened");

// The system's own text of an error code, without the trailing line break ("" when none).
std::string Win32ErrorText(uint32_t err);

}  // namespace orlo
