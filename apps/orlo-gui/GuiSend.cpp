#include "GuiSend.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace orlo::gui {

GuiSend::GuiSend(QObject* context) : m_context(context) {}

std::optional<intptr_t> GuiSend::Send(std::function<intptr_t()> work) {
    if (QThread::currentThread() == m_context->thread()) {
        if (Cancelled()) return std::nullopt;
        return work();
    }
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled) return std::nullopt;
        m_calls.push_back(call);
    }
    // One wake-up per call; Serve drains whatever is queued, so a wake-up that finds the queue
    // already empty is harmless.
    QMetaObject::invokeMethod(
        m_context, [this] { Serve(); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return call->done || m_cancelled; });
    // The call owns its result slot, so a caller released by Cancel() leaves nothing behind
    // that the GUI thread could still write to.
    if (!call->done) return std::nullopt;
    return call->result;
}

void GuiSend::Serve() {
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_cancelled || m_calls.empty()) return;
            call = m_calls.front();
            m_calls.pop_front();
        }
        const intptr_t result = call->work();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            call->result = result;
            call->done = true;
        }
        m_done.notify_all();
    }
}

void GuiSend::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_calls.clear();
    }
    m_done.notify_all();
}

bool GuiSend::HasWaiting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_calls.empty();
}

bool GuiSend::Cancelled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}

}  // namespace orlo::gui
