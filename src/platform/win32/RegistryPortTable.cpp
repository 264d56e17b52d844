#include "win32/RegistryPortTable.h"

#include <algorithm>
#include <cctype>

#include "win32/Win32Text.h"

namespace orlo {

namespace {

constexpr DWORD kValueNameChars = 256;  // a value name longer than this is skipped
constexpr DWORD kValueDataBytes = 255;  // port-name data longer than this gives no entry
const std::string kDeviceNamespace = "\\\\.\\";

// Reads the text data of value `name`; false when it is not text or does not fit.
bool ReadPortName(HKEY key, const wchar_t* name, std::string* out) {
    DWORD type = 0;
    wchar_t data[kValueDataBytes / sizeof(wchar_t) + 1] = {};
    DWORD size = kValueDataBytes;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    // The data need not end in a zero: it ends where the reported length says.
    std::wstring text(data, size / sizeof(wchar_t));
    text = text.substr(0, text.find(L'\0'));
    *out = win32::Narrow(text);
    return !out->empty();
}

}  // namespace

RegistryPortTable::RegistryPortTable(HKEY root, std::wstring key)
    : m_root(root), m_key(std::move(key)) {}

std::string RegistryPortTable::NormalizeComName(const std::string& name) {
    std::string rest = name;
    if (rest.compare(0, kDeviceNamespace.size(), kDeviceNamespace) == 0)
        rest = rest.substr(kDeviceNamespace.size());
    if (rest.size() < 4) return {};
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(rest[i])) != "COM"[i]) return {};
    const bool digits = std::all_of(rest.begin() + 3, rest.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    return digits ? "COM" + rest.substr(3) : std::string();
}

bool RegistryPortTable::AddNamedPort(const std::string& comName) {
    const std::string name = NormalizeComName(comName);
    if (name.empty()) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_named.begin(), m_named.end(), name) == m_named.end()) m_named.push_back(name);
    return true;
}

bool RegistryPortTable::Open() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(m_root, m_key.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ::RegCloseKey(key);
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_named.empty();
}

std::vector<PortInfo> RegistryPortTable::Enumerate() {
    std::vector<PortInfo> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(m_root, m_key.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t name[kValueNameChars + 1] = {};
            DWORD nameChars = kValueNameChars + 1;
            const LONG status =
                ::RegEnumValueW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_MORE_DATA) continue;  // a name too long to read: skip it only
            if (status != ERROR_SUCCESS) break;       // ERROR_NO_MORE_ITEMS
            PortInfo port;
            if (!ReadPortName(key, name, &port.comName)) continue;
            port.valueName = win32::Narrow(std::wstring(name, nameChars));
            const std::string com = NormalizeComName(port.comName);
            port.devicePath = com.empty() ? port.comName : kDeviceNamespace + com;
            port.deviceKey = com;
            port.description = port.valueName;
            ports.push_back(std::move(port));
        }
        ::RegCloseKey(key);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& named : m_named) {
        const bool listed = std::any_of(ports.begin(), ports.end(), [&](const PortInfo& p) {
            return NormalizeComName(p.comName) == named;
        });
        if (listed) continue;
        PortInfo port;
        port.comName = named;
        port.devicePath = kDeviceNamespace + named;
        port.deviceKey = named;
        port.description = "named on the command line";
        ports.push_back(std::move(port));
    }
    return ports;
}

std::string RegistryPortTable::Resolve(const std::string& comName) {
    const std::string name = NormalizeComName(comName);
    return name.empty() ? std::string() : kDeviceNamespace + name;
}

}  // namespace orlo
