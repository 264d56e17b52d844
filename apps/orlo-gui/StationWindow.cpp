#include "StationWindow.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppIcon.h"

namespace orlo::gui {

TileView TileOf(const station::SlotView& slot) {
    TileView tile;
    tile.name = slot.name;
    tile.serial = slot.device.serialNumber;
    switch (slot.state) {
        case station::SlotState::Waiting:
            tile.state = TileState::Waiting;
            tile.serial.clear();  // the device has gone
            tile.reason = slot.reason;  // of the last device, which failed; empty after a pass
            break;
        case station::SlotState::Settling:
            tile.state = TileState::Settling;
            break;
        case station::SlotState::Programming:
            tile.state = TileState::Programming;
            tile.fraction = slot.progress.fraction;
            tile.detail = slot.progress.text;
            if (slot.etaSeconds)
                tile.detail += (tile.detail.empty() ? "" : ", ") +
                               station::FormatDuration(*slot.etaSeconds) + " left";
            break;
        case station::SlotState::Passed:
            tile.state = TileState::Passed;
            tile.fraction = 1;
            break;
        case station::SlotState::Failed:
            tile.state = TileState::Failed;
            tile.reason = slot.abandoned && slot.reason.empty() ? "abandoned" : slot.reason;
            break;
    }
    return tile;
}

StationWindow::StationWindow(BoardHeader header, StationHost::Builder builder, QString where)
    : QWidget(nullptr, Qt::Window) {
    setObjectName(QStringLiteral("stationWindow"));
    setWindowTitle(QStringLiteral("Orlo station \u2014 %1").arg(QString::fromStdString(header.name)));
    setWindowIcon(AppIcon());
    setMinimumSize(640, 480);
    setFocusPolicy(Qt::StrongFocus);  // keys come here, and nothing here starts a run

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_model.SetHeader(std::move(header));
    m_board = new StationBoard(m_model, this);
    m_board->SetEmptyText(QStringLiteral("Plug in a device: the slots are %1").arg(where));
    layout->addWidget(m_board, 1);
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("stationNotice"));
    m_notice->setContentsMargins(8, 2, 8, 6);
    m_notice->setText(QStringLiteral("Slots: %1").arg(where));
    layout->addWidget(m_notice);

    m_host = std::make_unique<StationHost>(std::move(builder));
    m_host->onSlot = [this](const station::SlotView& slot) { m_model.Update(TileOf(slot)); };
    m_host->onTotals = [this](const station::Totals& t) {
        m_model.SetTotals({t.passed, t.failed});
    };
    m_host->onNotice = [this](const std::string& text) {
        m_notice->setText(QString::fromStdString(text));
    };
    m_host->onEnded = [this] {
        m_notice->setText(QStringLiteral("The station has stopped: no more devices are taken"));
    };
    m_host->Start();
}

StationWindow::~StationWindow() {
    // Whatever still runs is abandoned on record before the window goes.
    m_host.reset();
}

int StationWindow::Running() const {
    int running = 0;
    for (const TileView& t : m_model.Tiles())
        if (t.state == TileState::Programming) ++running;
    return running;
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (!m_host->Running()) {
        event->accept();
        return;
    }
    const int running = Running();
    if (running > 0) {
        bool abandon = false;
        if (confirmAbandon) {
            abandon = confirmAbandon(running);
        } else {
            QMessageBox box(QMessageBox::Warning, windowTitle(),
                            QStringLiteral("%1 running. Closing the window stops %2 now, and the "
                                           "%3 recorded as abandoned.")
                                .arg(running == 1 ? QStringLiteral("1 slot is")
                                                  : QStringLiteral("%1 slots are").arg(running),
                                     running == 1 ? QStringLiteral("its run")
                                                  : QStringLiteral("their runs"),
                                     running == 1 ? QStringLiteral("device is")
                                                  : QStringLiteral("devices are")),
                            QMessageBox::NoButton, this);
            QPushButton* stop = box.addButton(QStringLiteral("Abandon and close"),
                                              QMessageBox::DestructiveRole);
            QPushButton* keep = box.addButton(QStringLiteral("Keep running"), QMessageBox::RejectRole);
            box.setDefaultButton(keep);
            box.setEscapeButton(keep);
            box.exec();
            abandon = box.clickedButton() == stop;
        }
        if (!abandon) {
            event->ignore();
            return;
        }
        m_host->Abandon();
    } else {
        m_host->Stop();
    }
    // The runs end on the station's thread; their records are written before it ends.
    m_notice->setText(QStringLiteral("Closing: the station is ending its runs"));
    m_host->Join();
    event->accept();
}

void StationWindow::keyPressEvent(QKeyEvent* event) {
    // Space, Enter and Escape mean nothing here: a run starts when a device is plugged in,
    // and the window closes by its close box only.
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

}  // namespace orlo::gui
