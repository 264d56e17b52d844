#include "posix/SerialErrors.h"

#include <cerrno>
#include <system_error>

namespace orlo {

SerialOpenResult SerialErrorFromErrno(int err, const std::string& device,
                                      const std::string& action) {
    switch (err) {
        case 0:
            return {};
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return {SerialError::NotFound, "The serial port " + device + " does not exist."};
        case EACCES:
        case EPERM:
            return {SerialError::PermissionDenied,
                    "Permission denied for the serial port " + device +
                        ": add your user to the dialout group and log in again."};
        case EBUSY:
        case EWOULDBLOCK:  // the lock is held (EAGAIN on Linux)
            return {SerialError::Busy,
                    "The serial port " + device + " is in use by another program."};
        case ENOTTY:
            return {SerialError::NotASerialDevice, device + " is not a serial device."};
        default:
            return {SerialError::Other, "The serial port " + device + " could not be " + action +
                                            ": " + std::generic_category().message(err) + "."};
    }
}

}  // namespace orlo
