#include "support/DialogFixture.h"

namespace orlo::test {

DialogFixture::DialogFixture(std::vector<std::string> ports)
    : m_ports(FakePortTable::WithNames(ports)) {
    OrloEnvironment env;
    env.window = &m_window;
    env.serial = &m_serial;
    env.ports = &m_ports;
    env.now = [this] { return fakeNow; };
    m_dlg = std::make_unique<COrloDlg>(env);
    m_dlg->OnInitDialog();
}

DialogFixture::~DialogFixture() { m_dlg.reset(); }

void DialogFixture::OpenFakePort(int index) {
    m_dlg->OnPortDropDown();
    m_window.ComboSetCurSel(IDC_COMBO_PORT, index);
    m_dlg->OnPortSelChange();
    m_dlg->OnOpenPort();
}

void DialogFixture::Feed(const std::vector<uint8_t>& bytes) {
    auto& comm = m_dlg->m_comm;
    for (uint8_t b : bytes) {
        comm.m_rxTail %= RX_RING_SIZE;
        comm.m_rxRing[comm.m_rxTail] = b;
        ++comm.m_rxTail;
    }
    m_dlg->OnCommRx(0, 0);
}

bool DialogFixture::Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return m_loop.RunUntil(done, timeout);
}

std::vector<std::vector<uint8_t>> DialogFixture::TakeWrites() {
    auto* t = transport();
    if (t != m_writesFrom) {
        m_writesFrom = t;
        m_writesTaken = 0;
    }
    if (!t) return {};
    auto all = t->Writes();
    std::vector<std::vector<uint8_t>> fresh(all.begin() + static_cast<long>(m_writesTaken),
                                            all.end());
    m_writesTaken = all.size();
    return fresh;
}

}  // namespace orlo::test
