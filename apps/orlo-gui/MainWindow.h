// The main window: the dialog's visible controls at their template places, scaled through the
// dialog font, with the service panel beneath them when service mode is on. Fixed in size and
// minimisable; Enter and Escape never end it, its close box does.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "Controls.h"

class QLabel;

namespace orlo::gui {

class InputRouter;
class QtWindow;
class ServicePanel;

class MainWindow : public QDialog {
  public:
    explicit MainWindow(QtWindow& layer);
    ~MainWindow() override;

    void SetServiceMode(bool on);
    bool ServiceMode() const;
    ServicePanel& Panel() { return *m_panel; }
    QWidget& Client() { return *m_client; }
    QLabel& PortDetails() { return *m_portDetails; }
    const DialogUnits& Units() const { return m_du; }

    // Asked when the window is to close; false keeps it open (the dialog could not end yet).
    std::function<bool()> onClose;

    // Neither Enter nor Escape ends the dialog.
    void accept() override {}
    void reject() override {}

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    QtWindow& m_layer;
    DialogUnits m_du;
    QWidget* m_client = nullptr;
    QLabel* m_portDetails = nullptr;
    ServicePanel* m_panel = nullptr;
    std::unique_ptr<InputRouter> m_router;
};

}  // namespace orlo::gui
