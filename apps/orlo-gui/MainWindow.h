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
    QLabel& RunDetailsLabel() { return *m_runDetails; }
    // The space the window may take on its screen (the screen's free area unless a test
    // sets it): the service panel scrolls when the window would not fit.
    void FitTo(QSize available);
    const DialogUnits& Units() const { return m_du; }

    // Asked when the window is to close; false keeps it open (the dialog could not end yet).
    std::function<bool()> onClose;

    // Neither Enter nor Escape ends the dialog.
    void accept() override {}
    void reject() override {}

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    QtWindow& m_layer;
    DialogUnits m_du;
    QWidget* m_client = nullptr;
    QLabel* m_portDetails = nullptr;
    QLabel* m_runDetails = nullptr;
    ServicePanel* m_panel = nullptr;
    class PanelScroll* m_panelScroll = nullptr;
    std::unique_ptr<InputRouter> m_router;
};

}  // namespace orlo::gui
