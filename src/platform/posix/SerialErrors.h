// Turns the operating system's error numbers into the port's own errors, each with one sentence
// a user can act on. Every errno of the POSIX serial backend goes through here.
#pragma once

#include <string>

#include "serial/SerialTransport.h"

namespace orlo {

// `err` is the errno of the failed call; `device` names the port as the user knows it
// ("COM3 (/dev/ttyUSB0)" or a plain path); `action` says what failed ("opened", "locked",
// "set up") and is used only where the error itself says nothing clearer.
SerialOpenResult SerialErrorFromErrno(int err, const std::string& device,
                                      const std::string& action = "opened");

}  // namespace orlo
