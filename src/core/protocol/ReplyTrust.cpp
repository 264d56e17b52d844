#include "protocol/ReplyTrust.h"

#include <algorithm>

namespace orlo {

namespace {

constexpr unsigned kCrcField = 1;
constexpr unsigned kAddressField = 2;

// A right field shows the device fills it, unless it would be right when left zero.
void Learn(FieldTrust& trust, bool right, bool couldBeUnfilled) {
    if (right && !couldBeUnfilled && trust == FieldTrust::Untested) trust = FieldTrust::Filled;
}

}  // namespace

ReplyVerdict ReplyTrust::Judge(const ReplyFields& fields, const uint8_t* data, std::size_t n,
                               unsigned* newlyUnfilled) {
    if (newlyUnfilled) *newlyUnfilled = 0;
    const bool crcWrong = !fields.crcRight && m_crc != FieldTrust::Unfilled;
    const bool addressWrong =
        fields.hasAddress && !fields.addressRight && m_address != FieldTrust::Unfilled;
    Learn(m_crc, fields.crcRight, fields.crcCouldBeUnfilled);
    if (fields.hasAddress) Learn(m_address, fields.addressRight, fields.addressCouldBeUnfilled);

    if (!crcWrong && !addressWrong) {
        m_holding = false;
        m_held.clear();
        return ReplyVerdict::Accept;
    }
    // A field the device has been seen to fill is damaged: ask again.
    if ((crcWrong && m_crc == FieldTrust::Filled) ||
        (addressWrong && m_address == FieldTrust::Filled)) {
        m_holding = false;
        m_held.clear();
        return ReplyVerdict::AskAgain;
    }
    // Untested fields wrong: the same data twice means the device leaves them unfilled.
    if (m_holding && m_held.size() == n && std::equal(m_held.begin(), m_held.end(), data)) {
        unsigned found = 0;
        if (crcWrong) {
            m_crc = FieldTrust::Unfilled;
            found |= kCrcField;
        }
        if (addressWrong) {
            m_address = FieldTrust::Unfilled;
            found |= kAddressField;
        }
        if (newlyUnfilled) *newlyUnfilled = found;
        m_holding = false;
        m_held.clear();
        return ReplyVerdict::Accept;
    }
    m_holding = true;
    m_held.assign(data, data + n);
    return ReplyVerdict::AskAgain;
}

}  // namespace orlo
