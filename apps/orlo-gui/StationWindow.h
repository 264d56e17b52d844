// The station in a window (`orlo-gui --station`): the board of tiles over a station that runs
// on its own thread. What is programmed is fixed when the window opens; the slots are watched
// from then on. No key starts anything; closing asks before it abandons running slots.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "StationBoard.h"
#include "StationHost.h"

class QLabel;

namespace orlo::gui {

// The board's tile for what the station says of a slot.
TileView TileOf(const station::SlotView& slot);

class StationWindow : public QWidget {
  public:
    StationWindow(BoardHeader header, StationHost::Builder builder, QString where);
    ~StationWindow() override;

    StationBoardModel& Model() { return m_model; }
    StationBoard& Board() { return *m_board; }
    QLabel& Notice() { return *m_notice; }
    StationHost& Host() { return *m_host; }
    // Slots whose device is being programmed now.
    int Running() const;

    // Asks whether to abandon `running` slots; a test answers it. Empty: a question box whose
    // default answer is No.
    std::function<bool(int running)> confirmAbandon;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    StationBoardModel m_model;
    StationBoard* m_board = nullptr;
    QLabel* m_notice = nullptr;
    std::unique_ptr<StationHost> m_host;
};

}  // namespace orlo::gui
