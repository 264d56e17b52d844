// PLACEHOLDER: not yet implemented.
#include "serial/Comm.h"

namespace orlo {
struct CComm::Connection {};
CComm::CComm(ISerialBackend* backend) : m_backend(backend) {}
CComm::~CComm() {}
bool CComm::OpenPort() { return false; }
void CComm::ClosePort() {}
bool CComm::Write(const uint8_t*, std::size_t) { return false; }
std::string CComm::BuildPortName(uint8_t port) {
    return (port < 5 ? "COM" : "\\\\.\\COM") + std::to_string(port);
}
}  // namespace orlo
