// The synchronous send of the window layer on Qt: work handed over from another thread (the
// serial reader) runs on the GUI thread, and the caller waits until it has returned. Unlike a
// blocking queued call it can be called off: Cancel() releases every waiting caller at once and
// refuses later ones, which is what lets the window close while the reader is waiting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QObject;

namespace orlo::gui {

class GuiSend {
  public:
    // `context` lives on the GUI thread; queued work is delivered through its event queue, so
    // nested event loops (message boxes, file dialogs) serve it too.
    explicit GuiSend(QObject* context);
    GuiSend(const GuiSend&) = delete;
    GuiSend& operator=(const GuiSend&) = delete;

    // Runs `work` on the GUI thread and returns its result. On the GUI thread it runs at once.
    // Empty when cancelled, before or while waiting.
    std::optional<intptr_t> Send(std::function<intptr_t()> work);
    void Cancel();
    bool Cancelled() const;
    // True while a caller from another thread waits for its work to be served.
    bool HasWaiting() const;

  private:
    struct Call {
        std::function<intptr_t()> work;
        intptr_t result = 0;
        bool done = false;
    };
    void Serve();

    QObject* m_context;
    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Call>> m_calls;
    bool m_cancelled = false;
};

}  // namespace orlo::gui
