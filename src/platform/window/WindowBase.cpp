#include "window/WindowBase.h"

#include <filesystem>

#include "app/Resource.h"

namespace orlo {

FileDialogResult ChosenFile(const std::string& fullPath) {
    FileDialogResult result;
    if (fullPath.empty()) return result;
    result.ok = true;
    result.fullPath = fullPath;
    // The name part follows the last folder separator: '/' everywhere, and '\\' too where the
    // system uses it (Windows).
    std::string separators = "/";
    separators += static_cast<char>(std::filesystem::path::preferred_separator);
    const auto slash = fullPath.find_last_of(separators);
    result.fileName = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
    return result;
}

WindowBase::~WindowBase() { Destroy(); }

void WindowBase::SetWndProc(WndProc proc) { m_proc = std::move(proc); }

intptr_t WindowBase::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (m_destroyed.load()) return 0;
    intptr_t result = 0;
    m_loop.Send(
        [&] {
            if (!m_destroyed.load() && m_proc) result = m_proc(msg, wParam, lParam);
        },
        m_owner);
    return result;
}

void WindowBase::Destroy() {
    if (m_destroyed.exchange(true)) return;
    for (unsigned id : m_timers) m_loop.KillTimer(TimerKey(id));
    m_timers.clear();
    m_loop.CancelOwner(m_owner);
}

bool WindowBase::IsWindow() const { return !m_destroyed.load(); }

void WindowBase::SetTitle(const std::string& title) { m_title = title; }
void WindowBase::SetIcon(int, bool) {}
void WindowBase::AppendSystemMenu(unsigned commandId, const std::string& text) {
    m_sysMenu.emplace_back(commandId, text);
}

const ControlState& WindowBase::Control(int id) const {
    static const ControlState kNone{};
    auto it = m_controls.find(id);
    return it == m_controls.end() ? kNone : it->second;
}

void WindowBase::SetControlText(int id, const std::string& text) {
    auto& c = m_controls[id];
    if (c.text == text) return;
    c.text = text;
    OnControlChanged(id);
}
std::string WindowBase::GetControlText(int id) const { return Control(id).text; }

void WindowBase::EnableControl(int id, bool enable) {
    m_controls[id].enabled = enable;
    OnControlChanged(id);
}
bool WindowBase::IsControlEnabled(int id) const { return Control(id).enabled; }

void WindowBase::ShowControl(int id, bool show) {
    m_controls[id].visible = show;
    OnControlChanged(id);
}
bool WindowBase::IsControlVisible(int id) const { return Control(id).visible; }

int WindowBase::ComboDeleteString(int id, int index) {
    auto& c = m_controls[id];
    if (index < 0 || index >= static_cast<int>(c.items.size())) return CB_ERR;
    c.items.erase(c.items.begin() + index);
    if (c.curSel == index) c.curSel = -1;
    else if (c.curSel > index) --c.curSel;
    OnControlChanged(id);
    return static_cast<int>(c.items.size());
}

int WindowBase::ComboAddString(int id, const std::string& text) {
    auto& c = m_controls[id];
    c.items.push_back(text);
    OnControlChanged(id);
    return static_cast<int>(c.items.size()) - 1;
}

int WindowBase::ComboSetCurSel(int id, int index) {
    auto& c = m_controls[id];
    if (index < 0 || index >= static_cast<int>(c.items.size())) {
        c.curSel = -1;  // out of range clears the selection and reports an error
        OnControlChanged(id);
        return CB_ERR;
    }
    c.curSel = index;
    OnControlChanged(id);
    return index;
}

int WindowBase::ComboGetCurSel(int id) const { return Control(id).curSel; }
int WindowBase::ComboGetCount(int id) const { return static_cast<int>(Control(id).items.size()); }

bool WindowBase::ComboGetLBText(int id, int index, std::string* text) const {
    const auto& c = Control(id);
    if (index < 0 || index >= static_cast<int>(c.items.size())) return false;
    *text = c.items[static_cast<std::size_t>(index)];
    return true;
}

int WindowBase::ListAddString(int id, const std::string& text) {
    return ComboAddString(id, text);
}
int WindowBase::ListSetCurSel(int id, int index) { return ComboSetCurSel(id, index); }
int WindowBase::ListDeleteString(int id, int index) { return ComboDeleteString(id, index); }
int WindowBase::ListGetCount(int id) const { return ComboGetCount(id); }

int WindowBase::ProgressSetPos(int id, int pos) {
    auto& c = m_controls[id];
    const int old = c.pos;
    c.pos = pos < 0 ? 0 : (pos > 100 ? 100 : pos);
    OnControlChanged(id);
    return old;
}

bool WindowBase::SetTimer(unsigned id, unsigned periodMs) {
    if (m_destroyed.load()) return false;
    m_timers.insert(id);
    m_loop.SetTimer(TimerKey(id), std::chrono::milliseconds(periodMs),
                    [this, id] { SendMessage(WM_TIMER, id, 0); });
    return true;
}

bool WindowBase::KillTimer(unsigned id) {
    m_timers.erase(id);
    return m_loop.KillTimer(TimerKey(id));
}

unsigned WindowBase::TimerKey(unsigned id) const {
    // Windows sharing a loop keep their timer ids apart.
    return static_cast<unsigned>(m_owner << 16) ^ id;
}

intptr_t WindowBase::Click(int id, int notification) {
    const uintptr_t wParam =
        (static_cast<uintptr_t>(notification & 0xFFFF) << 16) | static_cast<uintptr_t>(id & 0xFFFF);
    return SendMessage(WM_COMMAND, wParam, 0);
}

}  // namespace orlo
