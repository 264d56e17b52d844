// Interrupts on Windows: Ctrl+C, Ctrl+Break and the console's close reach the console control
// handler, which Windows runs on a thread of its own.
#include <mutex>

#include "Interrupt.h"
#include "win32/WinApi.h"

namespace orlo::cli {

namespace {

// The watcher the handler reports to; the console has one handler list for the process.
std::mutex g_watcherMutex;
InterruptWatcher* g_watcher = nullptr;

}  // namespace

struct InterruptWatcher::System {
    static BOOL WINAPI Handler(DWORD type) {
        switch (type) {
            case CTRL_C_EVENT:
            case CTRL_BREAK_EVENT:
            case CTRL_CLOSE_EVENT: {
                std::lock_guard<std::mutex> lock(g_watcherMutex);
                if (g_watcher == nullptr) return FALSE;
                g_watcher->OnInterrupt();
                return TRUE;
            }
            default:
                return FALSE;
        }
    }
};

InterruptWatcher::InterruptWatcher(std::function<void()> wake, bool secondEnds)
    : m_wake(std::move(wake)), m_secondEnds(secondEnds), m_system(std::make_unique<System>()) {
    std::lock_guard<std::mutex> lock(g_watcherMutex);
    g_watcher = this;
    ::SetConsoleCtrlHandler(&System::Handler, TRUE);
}

InterruptWatcher::~InterruptWatcher() {
    ::SetConsoleCtrlHandler(&System::Handler, FALSE);
    std::lock_guard<std::mutex> lock(g_watcherMutex);
    if (g_watcher == this) g_watcher = nullptr;
}

}  // namespace orlo::cli
