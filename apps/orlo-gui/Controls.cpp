#include "Controls.h"

#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>
#include <cstring>

#include "AppIcon.h"

namespace orlo::gui {

DialogUnits DialogUnits::ForFont(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits((letters / 26 + 1) / 2, metrics.height());
}

PortCombo::PortCombo(QWidget* parent) : QComboBox(parent) {}

void PortCombo::showPopup() {
    if (onDropDown) onDropDown();  // the dialog refills the list first
    if (!isEnabled()) return;
    FitPopupWidth();
    QComboBox::showPopup();
}

void PortCombo::FitPopupWidth() {
    // The drop-down takes the field's width unless its view asks for more; the view asks for
    // its widest entry, its frame and a scroll bar when the entries need one.
    QAbstractItemView* list = view();
    int width = list->sizeHintForColumn(0) + 2 * list->frameWidth();
    if (count() > maxVisibleItems()) width += style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    if (const QScreen* shown = screen()) width = std::min(width, shown->availableGeometry().width());
    list->setMinimumWidth(width);
}

static bool IsLineBreak(QChar c) {
    return c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\x85' ||
           c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

QString OneLine(const QString& text) {
    QString line;
    line.reserve(text.size());
    bool broken = false;
    for (const QChar c : text) {
        if (IsLineBreak(c)) {
            broken = true;
            continue;
        }
        if (broken && !line.isEmpty()) line += u' ';
        broken = false;
        line += c;
    }
    return line;
}

QString OneLineDelegate::displayText(const QVariant& value, const QLocale& locale) const {
    return OneLine(QStyledItemDelegate::displayText(value, locale));
}

QFont DialogFont(const DialogTemplate& dialog) {
    QFont font = QApplication::font();
    font.setPointSize(dialog.fontPoints);
    return font;
}

namespace {

QString Caption(const ControlTemplate& row) {
    return QString::fromUtf8(row.caption);
}

QWidget* CreateEdit(const ControlTemplate& row, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    const bool border = row.style & kStyleBorder;
    edit->setReadOnly(row.style & kStyleReadOnly);
    edit->setFrame(border);
    if (row.style & kStyleRightAlign) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (!border && edit->isReadOnly()) {
        // A borderless read-only edit reads as plain text on the dialog's background.
        edit->setAutoFillBackground(false);
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        edit->setPalette(palette);
    }
    return edit;
}

QWidget* CreateList(const ControlTemplate& row, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setSortingEnabled(!(row.style & kStyleUnsorted));
    const bool always = row.style & kStyleScrollAlways;
    if (row.style & kStyleVScroll)
        list->setVerticalScrollBarPolicy(always ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    if (row.style & kStyleHScroll)
        list->setHorizontalScrollBarPolicy(always ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    list->setFrameShape((row.style & kStyleBorder) ? QFrame::StyledPanel : QFrame::NoFrame);
    list->setItemDelegate(new OneLineDelegate(list));  // device lines end in CR LF
    return list;
}

}  // namespace

QWidget* CreateControl(const ControlTemplate& row, QWidget* parent) {
    QWidget* widget = nullptr;
    switch (row.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(Caption(row), parent);
            // Enter never presses a button of the main window; only a box's own default
            // button answers it.
            button->setAutoDefault(row.kind == ControlKind::DefPushButton);
            button->setDefault(row.kind == ControlKind::DefPushButton);
            widget = button;
            break;
        }
        case ControlKind::ComboBox: {
            auto* combo = new PortCombo(parent);
            combo->setEditable(row.style & kStyleDropDown);
            combo->setInsertPolicy(QComboBox::NoInsert);  // typed text is never an entry
            widget = combo;
            break;
        }
        case ControlKind::Edit:
            widget = CreateEdit(row, parent);
            break;
        case ControlKind::ListBox:
            widget = CreateList(row, parent);
            break;
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        case ControlKind::GroupBox:
            widget = new QGroupBox(Caption(row), parent);
            break;
        case ControlKind::Label:
            widget = new QLabel(Caption(row), parent);
            break;
        case ControlKind::Picture: {
            auto* frame = new QFrame(parent);
            frame->setFrameShape(QFrame::NoFrame);
            widget = frame;
            break;
        }
        case ControlKind::Icon: {
            auto* label = new QLabel(parent);
            label->setPixmap(AppIconPixmap(32));
            widget = label;
            break;
        }
    }
    return widget;
}

const ControlTemplate* FindDecoration(ControlKind kind, const char* caption) {
    for (const auto& row : kMainDialogTemplate.controls)
        if (row.id == IDC_STATIC && row.kind == kind && std::strcmp(row.caption, caption) == 0)
            return &row;
    return nullptr;
}

}  // namespace orlo::gui
