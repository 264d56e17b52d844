// Widgets for the rows of the dialog templates, and the conversion of dialog units to pixels
// through the dialog font's metrics.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QRect>
#include <QStyledItemDelegate>
#include <functional>

#include "app/DialogTemplate.h"

class QWidget;

namespace orlo::gui {

// Dialog units: a horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its character height.
class DialogUnits {
  public:
    DialogUnits(int avgCharWidth, int charHeight) : m_baseX(avgCharWidth), m_baseY(charHeight) {}
    // Average width of the 52 Latin letters, rounded, and the font's line height.
    static DialogUnits ForFont(const QFont& font);

    int X(int units) const { return (units * m_baseX + 2) / 4; }
    int Y(int units) const { return (units * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
    QRect Rect(const ControlTemplate& c) const { return Rect(c.x, c.y, c.w, c.h); }
    QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

  private:
    int m_baseX;
    int m_baseY;
};

// The port list: an editable drop-down whose list is refilled by the dialog each time it opens.
// The list that drops down is as wide as its widest entry (at least as wide as the field, at
// most as wide as the screen), so no entry is cut short.
class PortCombo : public QComboBox {
  public:
    explicit PortCombo(QWidget* parent = nullptr);
    // Runs before the list drops down (the dialog's CBN_DROPDOWN).
    std::function<void()> onDropDown;
    void showPopup() override;

  private:
    void FitPopupWidth();
};

// Draws every entry of a list on one row. A device line keeps its line end (CR LF or LF CR) in
// the entry; only what is drawn leaves the breaks out: those at either end are dropped and a run
// of them inside the text shows as one blank. The entry's text itself stays as it is.
class OneLineDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale& locale) const override;
};

// `text` as OneLineDelegate draws it.
QString OneLine(const QString& text);

// The dialog font: the desktop's sans font at the template's point size.
QFont DialogFont(const DialogTemplate& dialog);

// A widget for one template row (control or decoration), with its caption and styles, not yet
// placed. A Picture row gives a blank frame: the bitmap behind it is not part of this program.
QWidget* CreateControl(const ControlTemplate& row, QWidget* parent);

// The decoration of the main template with this kind and caption (group boxes and labels).
const ControlTemplate* FindDecoration(ControlKind kind, const char* caption);

}  // namespace orlo::gui
