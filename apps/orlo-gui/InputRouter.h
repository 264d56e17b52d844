// Input of one main window on its way to the dialog. Every key press and mouse button of the
// window passes the dialog's PreTranslateMessage first, which may swallow it (Enter, Escape);
// mouse moves over the window's background (not over a control) become WM_MOUSEMOVE in the
// window's client coordinates; F1 opens the About box through the dialog's system command and
// Ctrl+Shift+S shows or hides the service controls.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <functional>

class QKeyEvent;
class QWidget;

namespace orlo::gui {

class QtWindow;

class InputRouter : public QObject {
  public:
    InputRouter(QWidget* window, QtWindow& layer);
    ~InputRouter() override;

    // A widget whose area counts as the dialog's background for mouse moves.
    void AddBackground(QWidget* widget);
    std::function<void()> onToggleService;

    // The virtual-key code of a Qt key (0 for keys the dialog never asks about).
    static int VirtualKey(int qtKey);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool OnKey(QKeyEvent* event);

    QPointer<QWidget> m_window;
    QtWindow& m_layer;
    QSet<const QWidget*> m_background;
};

}  // namespace orlo::gui
