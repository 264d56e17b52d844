// One desktop window with its dialog: the window layer, the widgets and the dialog controller,
// built in that order and taken apart in reverse. Two sessions side by side share nothing.
#pragma once

#include <ctime>
#include <functional>
#include <memory>

#include "MainWindow.h"
#include "QtWindow.h"
#include "RunDetails.h"
#include "app/OrloDlg.h"
#include "run/Run.h"

namespace orlo::gui {

class GuiSession {
  public:
    struct Options {
        bool serviceMode = false;          // show the service controls from the start
        std::function<std::time_t()> now;  // wall clock for log stamps; the system's if empty
    };

    GuiSession(ISerialBackend& serial, IPortTable& ports, Options options);
    ~GuiSession();
    GuiSession(const GuiSession&) = delete;
    GuiSession& operator=(const GuiSession&) = delete;

    MainWindow& Window() { return *m_main; }
    QtWindow& Layer() { return m_layer; }
    COrloDlg* Dialog() { return m_run ? &m_run->Dialog() : nullptr; }  // null once ended
    run::Run* Run() { return m_run.get(); }
    RunDetails& Details() { return *m_details; }

    // Ends the dialog, as closing the window does: the window layer goes (a notification the
    // reader is waiting on returns at once), the port closes and the reader is joined.
    void EndDialog();

  private:
    bool OnClose();
    QString PortDetails(const std::string& entry);

    IPortTable& m_ports;
    QtWindow m_layer;
    std::unique_ptr<MainWindow> m_main;
    std::unique_ptr<run::Run> m_run;
    RunDetails* m_details = nullptr;  // a child of its label
};

}  // namespace orlo::gui
