// Putting a frame on the wire: the CRC is sealed into the frame in place and the bytes are
// handed to the port, and the test string of the hidden Test_Tx button.
#include <algorithm>

#include "app/OrloDlg.h"
#include "protocol/Crc16.h"

namespace orlo {

namespace {
constexpr uint8_t TEST_STRING[] = {'H', 'e', 'l', 'l', 'o', 'w', '\r', '\n'};  // "Hellow\r\n"
constexpr int RX_CLEARED_ON_SEND = 7;  // bytes of the receive accumulator cleared by a send
}  // namespace

void COrloDlg::SendFrame(int count) {
    if (m_txFrame[0] == FRAME_START) {
        // The CRC covers the frame as its own length field gives it and goes where m_txLen
        // puts it. A length field or an m_txLen outside 7..4107 would reach outside the buffer
        // (or below the start of the frame), so such a frame is sent without a CRC.
        bool lengthOk = false;
        const uint16_t crc = Crc16(m_txFrame.data(), m_txFrame.size(), &lengthOk);
        if (lengthOk && m_txLen >= FRAME_MIN_LEN && m_txLen <= FRAME_MAX_LEN) {
            m_txFrame[static_cast<std::size_t>(m_txLen - 3)] = static_cast<uint8_t>(crc >> 8);
            m_txFrame[static_cast<std::size_t>(m_txLen - 2)] = static_cast<uint8_t>(crc & 0xFF);
        }
    }

    // A count outside the buffer is refused as a whole rather than cut: a cut frame would
    // only confuse the device. The write itself is not waited for and its result not used.
    if (count > 0 && count <= FRAME_MAX_LEN)
        m_comm.Write(m_txFrame.data(), static_cast<std::size_t>(count));

    std::fill_n(m_rxFrame.begin(), RX_CLEARED_ON_SEND, uint8_t{0});
}

void COrloDlg::OnTestTx() {
    std::copy(std::begin(TEST_STRING), std::end(TEST_STRING), m_txFrame.begin());
    SendFrame(static_cast<int>(sizeof TEST_STRING));
}

}  // namespace orlo
