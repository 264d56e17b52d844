// The About box, built from its template: the application icon, the version text and the OK
// button that closes it (as do Enter, Escape and its close box).
#pragma once

#include <QDialog>

namespace orlo::gui {

class AboutBox : public QDialog {
  public:
    explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace orlo::gui
