#include "AboutBox.h"

#include <QPushButton>

#include "AppIcon.h"
#include "Controls.h"
#include "app/Resource.h"

namespace orlo::gui {

AboutBox::AboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    const DialogTemplate& box = kAboutBoxTemplate;
    setWindowTitle(QString::fromUtf8(box.caption));
    setWindowIcon(AppIcon());
    setFont(DialogFont(box));
    const DialogUnits du = DialogUnits::ForFont(font());
    setFixedSize(du.Size(box.width, box.height));
    for (const ControlTemplate& row : box.controls) {
        QWidget* widget = CreateControl(row, this);
        if (row.w > 0 && row.h > 0)
            widget->setGeometry(du.Rect(row));
        else {
            widget->adjustSize();  // an icon keeps its own size
            widget->move(du.X(row.x), du.Y(row.y));
        }
        if (row.id == IDOK) {
            widget->setObjectName(QStringLiteral("IDOK"));
            connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
                    &QDialog::accept);
        }
    }
}

}  // namespace orlo::gui
