#include "support/FakeSerial.h"

#include <algorithm>

namespace orlo::test {

bool FakeTransport::Configure(const LineSettings& settings) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = settings;
    return !failConfigure;
}

bool FakeTransport::ArmReader() { return !failArm; }

bool FakeTransport::WaitForData() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return !m_rx.empty() || m_wake || m_closed; });
    m_wake = false;
    return !m_rx.empty() && !m_closed;
}

int FakeTransport::BytesWaiting() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed ? 0 : static_cast<int>(m_rx.size());
}

int FakeTransport::Read(uint8_t* buffer, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return 0;
    int n = 0;
    while (n < count && !m_rx.empty()) {
        buffer[n++] = m_rx.front();
        m_rx.pop_front();
    }
    return n;
}

bool FakeTransport::Write(const uint8_t* data, std::size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return false;
    m_writes.emplace_back(data, data + count);
    return true;
}

void FakeTransport::WakeReader() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake = true;
    }
    m_cv.notify_all();
}

bool FakeTransport::FlushOutput(std::chrono::milliseconds) { return true; }

void FakeTransport::DropDtr() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dtrDropped = true;
}

void FakeTransport::Purge() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rx.clear();
}

void FakeTransport::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_cv.notify_all();
}

void FakeTransport::Inject(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rx.insert(m_rx.end(), bytes.begin(), bytes.end());
    }
    m_cv.notify_all();
}

std::vector<std::vector<uint8_t>> FakeTransport::Writes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::vector<uint8_t> FakeTransport::WrittenBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> all;
    for (const auto& w : m_writes) all.insert(all.end(), w.begin(), w.end());
    return all;
}

LineSettings FakeTransport::Settings() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

bool FakeTransport::Closed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

bool FakeTransport::DtrDropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dtrDropped;
}

std::shared_ptr<ISerialTransport> FakeSerialBackend::Open(const std::string& portName,
                                                          SerialOpenResult* result) {
    opened.push_back(portName);
    if (std::find(refuse.begin(), refuse.end(), portName) != refuse.end()) {
        if (result) *result = {SerialError::NotFound, portName + " does not exist."};
        return nullptr;
    }
    auto t = std::make_shared<FakeTransport>();
    t->failConfigure = failConfigure;
    t->failArm = failArm;
    last = t;
    if (result) *result = {};
    return t;
}

std::string FakePortTable::Resolve(const std::string& comName) {
    for (const auto& p : ports)
        if (p.comName == comName) return p.devicePath;
    return {};
}

FakePortTable FakePortTable::WithNames(const std::vector<std::string>& comNames) {
    FakePortTable t;
    int i = 0;
    for (const auto& n : comNames) {
        PortInfo port;
        port.valueName = "\\Device\\Fake" + std::to_string(i++);
        port.comName = n;
        port.devicePath = "/dev/fake" + n;
        port.description = "fake " + n;
        t.ports.push_back(port);
    }
    return t;
}

}  // namespace orlo::test
