#include "RunDetails.h"

#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "QtWindow.h"
#include "app/OrloDlg.h"
#include "app/Resource.h"
#include "protocol/Protocol.h"

namespace orlo::gui {

namespace {

constexpr int kPollMs = 200;

QString Bytes(uint64_t bytes) {
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1,
                                          QLocale::DataSizeIecFormat);
}

QString Duration(double seconds) {
    const auto total = static_cast<long long>(std::ceil(seconds));
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QChar('0')).arg(s, 2, 10,
                                                                                   QChar('0'))
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QChar('0'));
}

}  // namespace

bool ReadRunProgress(const COrloDlg& dlg, const std::string& chosenImage, RunProgress* out) {
    const uint64_t size = dlg.m_imageSize;
    if (!dlg.RunUnderWay() || size == 0) return false;
    RunProgress p;
    const uint8_t cmd = dlg.m_txFrame[3];
    if (dlg.m_readBackActive) {
        // The offset counts the blocks already in the file.
        p.reading = true;
        p.file = dlg.m_readBackTarget;
        p.phaseDone = std::min<uint64_t>(dlg.m_imageOffset, size);
        p.phaseTotal = size;
        p.runDone = p.phaseDone;
        p.runTotal = size;
    } else {
        // The offset counts the blocks sent, the last one still unanswered.
        p.file = chosenImage;
        const uint8_t op = cmd & 0x0F;
        p.verifying = op == CMD_VERIFY;
        const uint64_t sent = op == CMD_START ? 0 : dlg.m_imageOffset;
        p.phaseDone = std::min(sent >= BLOCK_SIZE ? sent - BLOCK_SIZE : 0, size);
        p.phaseTotal = size;
        p.runDone = (p.verifying ? size : 0) + p.phaseDone;
        p.runTotal = 2 * size;
    }
    *out = std::move(p);
    return true;
}

QString RunDetailsText(const RunProgress& p, double elapsedSeconds) {
    QStringList lines;
    lines << (p.file.empty() ? QString() : QFileInfo(QString::fromStdString(p.file)).fileName());
    lines << QStringLiteral("%1 of %2").arg(Bytes(p.phaseDone), Bytes(p.phaseTotal));
    const double rate = elapsedSeconds > 0 ? static_cast<double>(p.runDone) / elapsedSeconds : 0;
    if (rate > 0) {
        const double left = static_cast<double>(p.runTotal - std::min(p.runDone, p.runTotal)) / rate;
        lines << QStringLiteral("%1/s, %2 left").arg(Bytes(static_cast<uint64_t>(rate)),
                                                      Duration(left));
    } else {
        lines << QString();
    }
    return lines.join(u'\n');
}

const std::set<int>& ControlsLockedDuringRun() {
    static const std::set<int> ids = {
        IDC_PROGRAM_APPLICATION, IDC_PROGRAM_VOICE,      IDC_PROGRAM_MAP,       IDC_PROGRAM_USER,
        IDC_READ_APPLICATION,    IDC_READ_VOICE,         IDC_READ_MAP,          IDC_READ_USER,
        IDC_CHECK_APPLICATION,   IDC_TEST_TX,            IDC_SWEEP_READ,        IDC_SWEEP_MAX_PLUS100,
        IDC_SWEEP_MAX_PLUS10,    IDC_SWEEP_MAX_MINUS10,  IDC_SWEEP_MAX_MINUS100, IDC_SWEEP_MIN_PLUS100,
        IDC_SWEEP_MIN_PLUS10,    IDC_SWEEP_MIN_MINUS10,  IDC_SWEEP_MIN_MINUS100};
    return ids;
}

RunDetails::RunDetails(QtWindow& layer, QLabel& label, std::function<const COrloDlg*()> dialog)
    : QObject(&label), m_layer(layer), m_label(label), m_dialog(std::move(dialog)) {
    m_timer = new QTimer(this);
    m_timer->setInterval(kPollMs);
    QObject::connect(m_timer, &QTimer::timeout, this, [this] { Poll(); });
    m_timer->start();
}

void RunDetails::Poll() {
    const COrloDlg* dlg = m_dialog();
    RunProgress p;
    const bool running = dlg != nullptr && ReadRunProgress(*dlg, m_layer.LastChosenFile(), &p);
    if (running != m_running) {
        m_running = running;
        if (running) m_clock.start();
        m_layer.SetLocked(running ? ControlsLockedDuringRun() : std::set<int>());
    }
    // The last run's details stay until the next one begins.
    if (running) m_label.setText(RunDetailsText(p, m_clock.elapsed() / 1000.0));
}

}  // namespace orlo::gui
