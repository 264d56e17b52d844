#include "win32/Win32Errors.h"

#include "win32/WinApi.h"

#include "win32/Win32Text.h"

namespace orlo {

std::string Win32ErrorText(uint32_t err) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    return win32::Narrow(text);
}

SerialOpenResult SerialErrorFromWin32(uint32_t err, const std::string& device,
                                      const std::string& action) {
    switch (err) {
        case ERROR_SUCCESS:
            return {};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_INVALID_NAME:
            return {SerialError::NotFound, "The serial port " + device + " does not exist."};
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port is opened exclusively: "access denied" is how Windows reports a port
            // that another program holds.
            return {SerialError::Busy,
                    "The serial port " + device + " is in use by another program."};
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
        case ERROR_INVALID_HANDLE:
            return {SerialError::NotASerialDevice, device + " is not a serial device."};
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
        case ERROR_DEVICE_NOT_CONNECTED:
            return {SerialError::NotFound,
                    "The serial port " + device + " does not answer: check that it is plugged in."};
        default: {
            const std::string text = Win32ErrorText(err);
            return {SerialError::Other,
                    "The serial port " + device + " could not be " + action + ": " +
                        (text.empty() ? "error " + std::to_string(err) : text) + "."};
        }
    }
}

}  // namespace orlo
