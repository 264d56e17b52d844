// The dialog's side of the reply integrity rule: judging a reply in the accumulator, telling
// the user once about a field the device leaves unfilled, and asking again for a damaged reply.
#include "app/OrloDlg.h"
#include "protocol/Crc16.h"

namespace orlo {

namespace {

constexpr unsigned kCrcField = 1;
constexpr unsigned kAddressField = 2;
constexpr const char* kCrcUnfilled =
    "The device leaves the CRC of its replies unfilled; it is no longer tested on this "
    "connection.";
constexpr const char* kAddressUnfilled =
    "The device leaves the address of its replies unfilled; it is no longer tested on this "
    "connection.";

uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

bool COrloDlg::TakeReply(ReplyTrust& trust, bool hasAddress, uint32_t address,
                         std::size_t dataOffset, std::size_t dataLen) {
    ReplyFields fields;
    bool ok = false;
    const uint16_t crc = Crc16(m_rxFrame.data(), m_rxFrame.size(), &ok);
    if (ok) {
        const std::size_t length = (static_cast<std::size_t>(m_rxFrame[1]) << 8) | m_rxFrame[2];
        const auto carried =
            static_cast<uint16_t>((m_rxFrame[length - 3] << 8) | m_rxFrame[length - 2]);
        fields.crcRight = crc == carried;
        fields.crcCouldBeUnfilled = crc == 0;
    } else {
        fields.crcRight = false;
    }
    fields.hasAddress = hasAddress;
    if (hasAddress) {
        fields.addressRight = BigEndian32(&m_rxFrame[4]) == address;
        fields.addressCouldBeUnfilled = address == 0;
    }
    unsigned found = 0;
    if (trust.Judge(fields, &m_rxFrame[dataOffset], dataLen, &found) == ReplyVerdict::AskAgain)
        return false;
    m_replyDamaged = false;
    const unsigned tell = found & ~m_unfilledTold;
    m_unfilledTold |= found;
    if (tell & kCrcField) AfxMessageBox(kCrcUnfilled, MB_ICONINFORMATION);
    if (tell & kAddressField) AfxMessageBox(kAddressUnfilled, MB_ICONINFORMATION);
    return true;
}

void COrloDlg::AskAgainForDamagedReply() {
    m_replyDamaged = true;
    OnNak();
}

}  // namespace orlo
