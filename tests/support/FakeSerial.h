// An in-memory serial backend for tests: records every write, and delivers injected bytes to
// the reader thread as if the device had sent them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo::test {

class FakeTransport : public ISerialTransport {
public:
    bool Configure(const LineSettings& settings) override;
    bool ArmReader() override;
    bool WaitForData() override;
    int BytesWaiting() override;
    int Read(uint8_t* buffer, int count) override;
    bool Write(const uint8_t* data, std::size_t count) override;
    void WakeReader() override;
    bool FlushOutput(std::chrono::milliseconds bound) override;
    void DropDtr() override;
    void Purge() override;
    void Close() override;
    bool LineLost() const override { return lineLost.load(); }

    // --- test side ----------------------------------------------------------------------
    void Inject(const std::vector<uint8_t>& bytes);
    std::vector<std::vector<uint8_t>> Writes() const;  // one entry per Write call
    std::vector<uint8_t> WrittenBytes() const;         // all writes joined
    LineSettings Settings() const;
    bool Closed() const;
    bool DtrDropped() const;
    bool failConfigure = false;
    bool failArm = false;
    std::atomic<bool> lineLost{false};  // the line is gone (hang-up): set by the test

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<uint8_t> m_rx;
    std::vector<std::vector<uint8_t>> m_writes;
    LineSettings m_settings;
    bool m_closed = false;
    bool m_wake = false;
    bool m_dtrDropped = false;
};

class FakeSerialBackend : public ISerialBackend {
public:
    std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                           SerialOpenResult* result) override;
    // Names that fail to open; every other name opens a new FakeTransport.
    std::vector<std::string> refuse;
    bool failConfigure = false;
    bool failArm = false;
    std::vector<std::string> opened;  // port names, in order
    std::shared_ptr<FakeTransport> last;  // the transport of the last successful open
};

class FakePortTable : public IPortTable {
public:
    bool Open() override { return openable; }
    std::vector<PortInfo> Enumerate() override { return ports; }
    std::string Resolve(const std::string& comName) override;
    bool openable = true;
    std::vector<PortInfo> ports;
    // Convenience: a table of COM names with made-up device paths.
    static FakePortTable WithNames(const std::vector<std::string>& comNames);
};

}  // namespace orlo::test
