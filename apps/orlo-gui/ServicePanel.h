// The service controls, which the main layout keeps hidden, gathered in a panel of their own
// under the main controls: read-back and check, the sweep settings, the device log, the mouse
// position, the test string and the bitmap converters with their preview.
#pragma once

#include <QWidget>
#include <vector>

#include "Controls.h"

namespace orlo::gui {

class PreviewCanvas;
class QtWindow;

class ServicePanel : public QWidget {
  public:
    ServicePanel(QtWindow& layer, const DialogUnits& du, QWidget* parent = nullptr);

    PreviewCanvas* Preview() const { return m_preview; }
    // The panel's own area and its group boxes and labels: moves over them reach the dialog.
    const std::vector<QWidget*>& Background() const { return m_background; }

  private:
    QWidget* Control(int id);
    QWidget* Group(const QString& title, QLayout* layout);

    QtWindow& m_layer;
    DialogUnits m_du;
    PreviewCanvas* m_preview = nullptr;
    std::vector<QWidget*> m_background;
};

}  // namespace orlo::gui
