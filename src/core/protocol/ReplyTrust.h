// Whether the fields a device may or may not fill in its replies can be tested. A reply's CRC,
// and the address a read-data or check-data reply echoes, are the device's own business: a
// device may leave them zero. Per connection and per kind of reply, each field starts untested:
//  - a reply in which the field is right (and could not be right by being left zero) shows that
//    the device fills it: from then on a wrong field asks for the reply again, as a NAK does;
//  - until then a wrong field asks once more, and when the next reply carries the same data
//    with the field wrong again, the reply is taken, the field is no longer tested on this
//    connection and the user is told once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orlo {

enum class FieldTrust : uint8_t { Untested, Filled, Unfilled };

enum class ReplyVerdict : uint8_t {
    Accept,    // take the reply
    AskAgain,  // ask for it again, counted like a NAK's resend
};

// The tested fields of one reply, as found.
struct ReplyFields {
    bool crcRight = true;
    bool crcCouldBeUnfilled = false;  // the right CRC is 0: a device that leaves it 0 matches
    bool hasAddress = false;
    bool addressRight = true;
    bool addressCouldBeUnfilled = false;  // the address asked for is 0
};

// One kind of reply (read data, check data, sweep report) on one connection.
class ReplyTrust {
  public:
    // Judges a reply carrying `data` (the bytes the reply hands on). `newlyUnfilled` reports
    // the fields found unfilled by this reply: 1 the CRC, 2 the address.
    ReplyVerdict Judge(const ReplyFields& fields, const uint8_t* data, std::size_t n,
                       unsigned* newlyUnfilled);
    void Reset() { *this = ReplyTrust(); }
    FieldTrust Crc() const { return m_crc; }
    FieldTrust Address() const { return m_address; }

  private:
    FieldTrust m_crc = FieldTrust::Untested;
    FieldTrust m_address = FieldTrust::Untested;
    bool m_holding = false;       // a reply with an untested field wrong is held
    std::vector<uint8_t> m_held;  // its data
};

}  // namespace orlo
