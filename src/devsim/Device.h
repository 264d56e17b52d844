// The simulated target device as a pure state machine: bytes from the tool go in, the bytes the
// device sends back come out. No I/O, no threads of its own, no clock; PtyDevice puts it on a
// pseudo-terminal. Every call is safe from any thread (one internal lock).
//
// What the device answers (every frame: 04, length L big-endian, code, payload, CRC-16, 03):
//
//   Start 0x10/0x20/0x30/0x40 (L 7)     ACK
//   Write 0x11/0x21/0x31/0x41 (L 4107)  stores the 4096 bytes at [4..7], ACK
//   Verify 0x12/0x22/0x32/0x42 (L 4107) ACK when the flash holds exactly those bytes, else NAK
//   Finish 0x13 (L 7)                   ACK
//   Read 0x1A/0x2A/0x3A/0x4A (L 11)     read data, 4107 bytes: same code, the address echoed at
//                                       [4..7], the 4096 flash bytes at [8..4103], CRC, 03
//   Check 0x1B (L 11)                   check data, 27 bytes: 0x1B, the address echoed, the 16
//                                       flash bytes at that address (the tool asks 0x3FE000)
//   Sweep query 0x50 (L 7)              report 0x51, 11 bytes: [4..5] max, [6..7] min
//   Sweep set 0x52 (L 15)               stores max, min, Tm and time, ACK
//
// NAK (04 00 07 15 C2 7D 03) for a frame with a bad CRC, a wrong end byte, a length that does not
// belong to its command, an unknown command, or an address whose block does not lie wholly inside
// the 4 MiB flash. ACK is 04 00 07 06 42 14 03. The device hunts for the start byte 0x04: bytes
// between frames (the tool's test string, line noise) are counted and skipped, and so is a start
// byte whose length field is below 7 or above 4107.
//
// Typical use in a test:
//
//   orlo::devsim::Device dev;
//   auto reply = dev.Feed({0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03});  // -> the 7 ACK bytes
//   dev.Stats().perCode[0x10];                                          // -> 1
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orlo::devsim {

// Faults the device can be told to commit. Frame numbers count every complete frame received
// since construction (good or bad) but the check requests, starting at 1; 0 switches a
// numbered fault off. A tool may ask for the check block around every run to prove that the
// line is in step; leaving those requests out keeps "the n-th frame" the n-th frame of the
// runs themselves (the start frame of the first run is frame 1). Faults
// combine: the same frame may, for instance, get a text line, the oversized frame and a
// corrupted reply.
struct Faults {
    // NAK the n-th frame, and the resends that follow it (frames identical to it) until
    // `nakCount` NAKs have been sent in all. A NAKed frame is not acted on; a different frame
    // ends the run of NAKs early.
    uint32_t nakFrame = 0;
    uint32_t nakCount = 1;
    // Never answer the n-th frame; the device treats it as lost and does not act on it.
    uint32_t silentFrame = 0;
    // Invert (XOR 0xFF) byte `corruptOffset` of the reply to the n-th frame. An offset beyond
    // the reply leaves it intact.
    uint32_t corruptFrame = 0;
    uint32_t corruptOffset = 0;
    // Answer the n-th frame, then hang up: nothing more is read or answered.
    uint32_t hangUpAfter = 0;
    // Ahead of the reply to the n-th frame, send one frame that declares 65535 bytes (see
    // Device::OversizeFrame).
    uint32_t oversizeFrame = 0;
    // Send the reply to the n-th frame twice, back to back (a device that answers one frame
    // with two ACKs, or a reply that reaches the tool twice).
    uint32_t duplicateFrame = 0;
    // A text line sent ahead of every reply (CR LF is added when missing); empty: none.
    std::string lineBeforeReply;
    // Answer each listed frame `lateMs` ms late. The device reads nothing meanwhile, so the
    // frames behind it are answered in order after it, as a busy device would: a reply that a
    // tool gave up on arrives in its next run.
    std::vector<uint32_t> lateFrames;
    uint32_t lateMs = 3000;
    // Ahead of the reply to the n-th frame, send one frame of code `strayCode` that answers
    // nothing (see Device::StrayFrame).
    uint32_t strayFrame = 0;
    uint8_t strayCode = 0x77;
    // Restart on the finish frame without answering it, as a device that jumps into its new
    // application at once: the flash is kept, the NAK fault's run is forgotten.
    bool restartOnFinish = false;

    // Carried out by the line (PtyDevice), not by the state machine:
    bool bytewise = false;      // each reply byte in its own write
    uint32_t replyDelayMs = 0;  // ms between a frame's arrival and the first byte of its answer
};

// The four values of the sweep settings, as the last sweep set left them.
struct SweepSettings {
    uint16_t max = 2000;
    uint16_t min = 1000;
    uint16_t tm = 20000;
    uint16_t timeMs = 40;  // ms
};

struct DeviceOptions {
    SweepSettings sweep;  // values before the first sweep set
    // Also NAK a write, verify or read whose block does not lie inside the region of its
    // command's family (a voice-family write at an application address, for instance).
    bool strictRegions = false;
    // Sent once, ahead of the reply to the first frame received: the log-start frame (when
    // `greetingLogStart`), then each text line in order.
    bool greetingLogStart = false;
    // A device that leaves fields of its replies zero: the CRC of every reply, and the address
    // that read-data and check-data replies echo at [4..7].
    bool replyCrcUnfilled = false;
    bool replyAddressUnfilled = false;
    std::vector<std::string> greetingLines;
    Faults faults;
};

// Counters since construction. perCode counts complete frames by their code byte [3].
struct DeviceStats {
    uint64_t frames = 0;        // complete frames received
    uint64_t numbered = 0;      // of them, those the numbered faults count (not check requests)
    uint64_t garbageBytes = 0;  // bytes skipped while hunting for a start byte
    uint64_t acks = 0;          // ACK frames sent
    uint64_t naks = 0;          // NAK frames sent
    uint64_t silenced = 0;      // frames left unanswered by the silent fault
    uint64_t restarts = 0;      // finish frames taken as a restart (restartOnFinish)
    std::array<uint64_t, 256> perCode{};
};

// One frame received and what the device sends in answer.
struct Exchange {
    std::vector<uint8_t> frame;             // the frame as received
    std::vector<std::vector<uint8_t>> out;  // sent in answer, in order: greeting, oversized
                                            // frame, text line, reply; empty when silent
    bool hangUp = false;                    // the device hangs up after sending `out`
    uint32_t lateMs = 0;                    // the answer leaves this late (lateFrames)
};

class Device {
  public:
    static constexpr uint32_t kFlashSize = 0x400000;  // bytes (4 MiB)

    explicit Device(DeviceOptions options = {});
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Takes received bytes in any split; returns every byte to send back, in order.
    std::vector<uint8_t> Feed(const uint8_t* data, std::size_t n);
    std::vector<uint8_t> Feed(const std::vector<uint8_t>& bytes);
    // The same, one entry per frame completed by these bytes.
    std::vector<Exchange> FeedFrames(const uint8_t* data, std::size_t n);

    // A frame is partly received (its start byte has arrived, not all of it).
    bool HasPartial() const;
    // Forgets a partly received frame (the line went quiet in the middle of it).
    void DiscardPartial();
    // The hang-up fault has fired: Feed ignores everything from then on.
    bool HungUp() const;

    // --- flash -------------------------------------------------------------------------
    // Loads a flash image: at most 4 MiB, a shorter file leaves the rest 0xFF.
    bool LoadFlash(const std::string& path, std::string* error = nullptr);
    // Writes all 4 MiB.
    bool SaveFlash(const std::string& path, std::string* error = nullptr) const;
    std::vector<uint8_t> Flash() const;  // snapshot of all 4 MiB
    // Snapshot of `count` bytes at `address`; empty when the range leaves the flash.
    std::vector<uint8_t> ReadFlash(uint32_t address, std::size_t count) const;
    // Stores bytes directly (to prime a test); false when the range leaves the flash.
    bool WriteFlash(uint32_t address, const std::vector<uint8_t>& bytes);

    SweepSettings Sweep() const;
    DeviceStats Stats() const;
    Faults GetFaults() const;
    void SetFaults(const Faults& faults);

    // --- frames the device sends of its own accord ---------------------------------------
    static std::vector<uint8_t> AckFrame();       // 04 00 07 06 42 14 03
    static std::vector<uint8_t> NakFrame();       // 04 00 07 15 C2 7D 03
    static std::vector<uint8_t> LogStartFrame();  // 04 00 07 00 42 00 03
    // `text` followed by CR LF, unless it already ends with CR LF or LF CR.
    static std::vector<uint8_t> TextLine(std::string_view text);
    // 65535 bytes: 04 FF FF, code 0xEE, 65528 LF bytes, CRC, 03. The LF payload lets a receiver
    // that gives such a frame up at its length field fall back in step at the following units.
    static std::vector<uint8_t> OversizeFrame();
    // A frame of `code` that answers nothing the tool sent, shaped as the device would send
    // that code: a sweep report of the current settings (0x51), check data of 0x3FE000 (0x1B),
    // read data of the first block of the code's region (0x1A, 0x2A, 0x3A, 0x4A), and a frame
    // without payload for any other code (0x06 is an ACK, 0x77 a code nobody knows).
    std::vector<uint8_t> StrayFrame(uint8_t code) const;

  private:
    void TakeByte(uint8_t b, std::vector<Exchange>& done);
    Exchange Handle(std::vector<uint8_t> frame);
    std::vector<uint8_t> Answer(const std::vector<uint8_t>& frame);
    std::vector<uint8_t> Stray(uint8_t code) const;
    void LeaveFieldsUnfilled(std::vector<uint8_t>& reply) const;
    bool BlockAllowed(uint8_t code, uint32_t address, uint32_t length) const;

    mutable std::mutex m_mutex;
    DeviceOptions m_options;
    std::vector<uint8_t> m_flash;
    SweepSettings m_sweep;
    DeviceStats m_stats;
    std::vector<uint8_t> m_rx;   // the frame being received, from its start byte
    std::size_t m_expected = 0;  // its declared length, once bytes [1..2] are in
    bool m_hungUp = false;
    // The NAK fault's run: the frame being refused and how many NAKs are still due.
    std::vector<uint8_t> m_nakFrame;
    uint32_t m_naksLeft = 0;
};

}  // namespace orlo::devsim
