// The small transport interface the serial port object drives. One implementation per operating
// system (POSIX termios today), chosen by the build; tests may supply their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orlo {

// Line settings applied at open: speed, character format, flow-control characters and limits.
struct LineSettings {
    uint32_t baudRate = 0;  // must not be 0
    uint8_t byteSize = 8;   // data bits
    uint8_t parity = 0;     // 0 = none
    uint8_t stopBits = 0;   // 0 = one stop bit
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    uint16_t xonLim = 100;
    uint16_t xoffLim = 100;
};

// Why an open failed, as one sentence a user can act on.
enum class SerialError { None, NotFound, PermissionDenied, Busy, NotASerialDevice, BadSettings, Other };

struct SerialOpenResult {
    SerialError error = SerialError::None;
    std::string message;  // one clear sentence naming the device and the fix, empty on success
};

// A manual-reset transfer event (the two per-connection events of the Open command).
struct TransferEvent {};

// One open port. After Close() no call touches the operating-system descriptor again; every
// call is then a harmless no-op returning "nothing".
class ISerialTransport {
public:
    virtual ~ISerialTransport() = default;

    // Applies the line settings with raw 8-bit transfer; false when the device refuses them.
    virtual bool Configure(const LineSettings& settings) = 0;

    // --- reader thread -----------------------------------------------------------------
    // Prepares the reader's wake-up; false when it cannot be created.
    virtual bool ArmReader() = 0;
    // Blocks until received bytes are waiting (true) or until WakeReader/Close/an error (false).
    virtual bool WaitForData() = 0;
    // Number of received bytes waiting in the driver (0 when closed).
    virtual int BytesWaiting() = 0;
    // Takes up to `count` waiting bytes without blocking; returns how many (0 when closed).
    virtual int Read(uint8_t* buffer, int count) = 0;

    // --- UI thread ---------------------------------------------------------------------
    // Hands bytes to the port without blocking the caller; order is kept and nothing is lost.
    // False when the port is closed.
    virtual bool Write(const uint8_t* data, std::size_t count) = 0;
    // Ends a pending WaitForData at once (the event-mask-0 of the Windows design).
    virtual void WakeReader() = 0;
    // Waits until every byte handed to Write has gone to the device, at most `bound`.
    virtual bool FlushOutput(std::chrono::milliseconds bound) = 0;
    // Bytes handed to Write that have not yet gone to the device (0 when unknown); the close
    // derives its flush bound from it.
    virtual std::size_t PendingOutput() { return 0; }
    // Reader thread: bytes the driver itself still holds to send, none of a queue of ours (0
    // when unknown, as on a pseudo-terminal). A byte that arrives while it is above 0 came
    // before the last frame written had left, so it cannot be that frame's answer.
    virtual std::size_t OutputInDriver() { return 0; }
    virtual void DropDtr() = 0;
    // Discards whatever both directions still hold.
    virtual void Purge() = 0;
    // True once the line has been lost for good: hung up, or the device reports an error with
    // nothing to read (a pulled adapter). False when the system cannot tell.
    virtual bool LineLost() const { return false; }
    virtual void Close() = 0;
};

// Passes every call on to another transport; a wrapper overrides only the calls it watches.
class ForwardingTransport : public ISerialTransport {
public:
    explicit ForwardingTransport(std::shared_ptr<ISerialTransport> inner)
        : m_inner(std::move(inner)) {}
    bool Configure(const LineSettings& settings) override { return m_inner->Configure(settings); }
    bool ArmReader() override { return m_inner->ArmReader(); }
    bool WaitForData() override { return m_inner->WaitForData(); }
    int BytesWaiting() override { return m_inner->BytesWaiting(); }
    int Read(uint8_t* buffer, int count) override { return m_inner->Read(buffer, count); }
    bool Write(const uint8_t* data, std::size_t count) override {
        return m_inner->Write(data, count);
    }
    void WakeReader() override { m_inner->WakeReader(); }
    bool FlushOutput(std::chrono::milliseconds bound) override {
        return m_inner->FlushOutput(bound);
    }
    std::size_t PendingOutput() override { return m_inner->PendingOutput(); }
    std::size_t OutputInDriver() override { return m_inner->OutputInDriver(); }
    void DropDtr() override { m_inner->DropDtr(); }
    void Purge() override { m_inner->Purge(); }
    bool LineLost() const override { return m_inner->LineLost(); }
    void Close() override { m_inner->Close(); }

protected:
    const std::shared_ptr<ISerialTransport> m_inner;
};

class ISerialBackend {
public:
    virtual ~ISerialBackend() = default;
    // Opens a port by its name ("COM3", "\\.\COM12" or a device path) exclusively.
    virtual std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                                   SerialOpenResult* result) = 0;
    // Creates a transfer event; null when that fails.
    virtual std::shared_ptr<TransferEvent> CreateTransferEvent() {
        return std::make_shared<TransferEvent>();
    }
};

}  // namespace orlo
