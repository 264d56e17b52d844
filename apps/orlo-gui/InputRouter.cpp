#include "InputRouter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

#include "QtWindow.h"

namespace orlo::gui {

namespace {

// Mouse messages and key states as the dialog's messages carry them.
constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr uint32_t WM_RBUTTONUP = 0x0205;
constexpr uintptr_t MK_LBUTTON = 0x01;
constexpr uintptr_t MK_RBUTTON = 0x02;
constexpr uintptr_t MK_SHIFT = 0x04;
constexpr uintptr_t MK_CONTROL = 0x08;
constexpr uintptr_t MK_MBUTTON = 0x10;
constexpr unsigned kAboutCommand = IDM_ABOUTBOX;

uintptr_t MouseFlags(const QMouseEvent* e) {
    uintptr_t flags = 0;
    if (e->buttons() & Qt::LeftButton) flags |= MK_LBUTTON;
    if (e->buttons() & Qt::RightButton) flags |= MK_RBUTTON;
    if (e->buttons() & Qt::MiddleButton) flags |= MK_MBUTTON;
    if (e->modifiers() & Qt::ShiftModifier) flags |= MK_SHIFT;
    if (e->modifiers() & Qt::ControlModifier) flags |= MK_CONTROL;
    return flags;
}

intptr_t PackPoint(QPoint p) {
    return static_cast<intptr_t>((static_cast<uint32_t>(p.y() & 0xFFFF) << 16) |
                                 static_cast<uint32_t>(p.x() & 0xFFFF));
}

}  // namespace

InputRouter::InputRouter(QWidget* window, QtWindow& layer) : m_window(window), m_layer(layer) {
    qApp->installEventFilter(this);
    AddBackground(window);
}

InputRouter::~InputRouter() {
    qApp->removeEventFilter(this);
}

void InputRouter::AddBackground(QWidget* widget) {
    widget->setMouseTracking(true);
    m_background.insert(widget);
}

int InputRouter::VirtualKey(int qtKey) {
    if (qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter) return VK_RETURN;
    if (qtKey == Qt::Key_Escape) return VK_ESCAPE;
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
        return qtKey;  // letters and digits keep their ASCII codes
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return 0x70 + (qtKey - Qt::Key_F1);
    switch (qtKey) {
        case Qt::Key_Backspace:
            return 0x08;
        case Qt::Key_Tab:
            return 0x09;
        case Qt::Key_Space:
            return 0x20;
        case Qt::Key_Left:
            return 0x25;
        case Qt::Key_Up:
            return 0x26;
        case Qt::Key_Right:
            return 0x27;
        case Qt::Key_Down:
            return 0x28;
        case Qt::Key_Delete:
            return 0x2E;
        default:
            return 0;
    }
}

bool InputRouter::OnKey(QKeyEvent* event) {
    InputMessage msg;
    msg.message = WM_KEYDOWN;
    msg.wParam = static_cast<uintptr_t>(VirtualKey(event->key()));
    msg.focusId = m_layer.IdOf(QApplication::focusWidget());
    if (m_layer.PreTranslate(msg)) return true;
    const auto mods = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                            Qt::AltModifier | Qt::MetaModifier);
    if (event->key() == Qt::Key_F1 && mods == Qt::NoModifier) {
        m_layer.SendMessage(WM_SYSCOMMAND, kAboutCommand, 0);
        return true;
    }
    if (event->key() == Qt::Key_S && mods == (Qt::ControlModifier | Qt::ShiftModifier)) {
        if (onToggleService) onToggleService();
        return true;
    }
    return false;
}

bool InputRouter::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || m_window.isNull() || widget->window() != m_window) return false;
    // A key or button the child passes on to its parent comes through here again; reading the
    // controls back twice changes nothing, so no bookkeeping of seen events is needed.
    switch (event->type()) {
        case QEvent::KeyPress:
            return OnKey(static_cast<QKeyEvent*>(event));
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease: {
            auto* e = static_cast<QMouseEvent*>(event);
            const bool press = event->type() == QEvent::MouseButtonPress;
            const bool right = e->button() == Qt::RightButton;
            InputMessage msg;
            msg.message = right ? (press ? WM_RBUTTONDOWN : WM_RBUTTONUP)
                                : (press ? WM_LBUTTONDOWN : WM_LBUTTONUP);
            msg.wParam = MouseFlags(e);
            msg.lParam = PackPoint(widget->mapTo(m_window, e->position().toPoint()));
            msg.focusId = m_layer.IdOf(QApplication::focusWidget());
            return m_layer.PreTranslate(msg);
        }
        case QEvent::MouseMove: {
            auto* e = static_cast<QMouseEvent*>(event);
            const QPoint point = widget->mapTo(m_window, e->position().toPoint());
            // Only the background hears moves: over a control, the control has them. The
            // widget under the pointer gets the move first; its parents see it again only
            // when it passes the move on, and are skipped here.
            QWidget* under = m_window->childAt(point);
            QWidget* target = under ? under : m_window.data();
            if (widget != target || !m_background.contains(target)) return false;
            InputMessage msg;
            msg.message = WM_MOUSEMOVE;
            msg.wParam = MouseFlags(e);
            msg.lParam = PackPoint(point);
            if (m_layer.PreTranslate(msg)) return true;
            m_layer.SendMessage(WM_MOUSEMOVE, msg.wParam, msg.lParam);
            return false;
        }
        default:
            return false;
    }
}

}  // namespace orlo::gui
