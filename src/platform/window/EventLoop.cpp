#include "window/EventLoop.h"

#include <vector>

namespace orlo {

EventLoop::EventLoop() : m_owner(std::this_thread::get_id()) {}

EventLoop::~EventLoop() { Shutdown(); }

EventLoop::Clock::time_point EventLoop::Now() const {
    return m_clock ? m_clock() : Clock::now();
}

void EventLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdown) return;
        m_posted.push_back(std::move(fn));
    }
    m_wake.notify_all();
}

uint64_t EventLoop::NewOwner() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ++m_nextOwner;
}

void EventLoop::CancelOwner(uint64_t owner) {
    std::vector<std::shared_ptr<SendState>> cancelled;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelledOwners.insert(owner);
        for (auto it = m_sends.begin(); it != m_sends.end();) {
            if ((*it)->owner == owner) {
                (*it)->cancelled = true;
                cancelled.push_back(*it);
                it = m_sends.erase(it);
            } else {
                ++it;
            }
        }
        CountSends();
        for (auto& s : cancelled) s->settled.store(true, std::memory_order_release);
    }
    for (auto& s : cancelled) s->finished.notify_all();
}

template <typename Ready>
bool EventLoop::SpinUntil(Ready ready) const {
    constexpr auto kSpin = std::chrono::microseconds(50);
    if (!m_spin) return ready();
    const auto end = std::chrono::steady_clock::now() + kSpin;
    do {
        if (ready()) return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < end);
    return ready();
}

bool EventLoop::Send(std::function<void()> fn, uint64_t owner) {
    if (InLoopThread()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_shutdown || m_cancelledOwners.count(owner)) return false;
        }
        fn();
        return true;
    }
    auto state = std::make_shared<SendState>();
    state->fn = std::move(fn);
    state->owner = owner;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_shutdown || m_cancelledOwners.count(owner)) return false;
    m_sends.push_back(state);
    CountSends();
    m_wake.notify_all();
    lock.unlock();
    SpinUntil([&] { return state->settled.load(std::memory_order_acquire); });
    lock.lock();
    state->finished.wait(lock, [&] { return state->done || state->cancelled; });
    return state->done;
}

void EventLoop::Shutdown() {
    std::deque<std::shared_ptr<SendState>> cancelled;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
        for (auto& s : m_sends) {
            s->cancelled = true;
            s->settled.store(true, std::memory_order_release);
        }
        cancelled.swap(m_sends);
        CountSends();
        m_posted.clear();
        m_timers.clear();
    }
    for (auto& s : cancelled) s->finished.notify_all();
    m_wake.notify_all();
}

bool EventLoop::IsShutdown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shutdown;
}

void EventLoop::SetTimer(unsigned id, std::chrono::milliseconds period,
                         std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdown) return;
        m_timers[id] = Timer{period, Now() + period, std::move(fn), ++m_timerGeneration};
    }
    m_wake.notify_all();
}

bool EventLoop::KillTimer(unsigned id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.erase(id) > 0;
}

bool EventLoop::HasTimer(unsigned id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.count(id) > 0;
}

void EventLoop::SetClock(std::function<Clock::time_point()> now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock = std::move(now);
}

bool EventLoop::RunDueTimers() {
    bool ran = false;
    // Fire each due timer once per pass; a handler may kill or reset timers (even its own).
    std::vector<std::pair<unsigned, uint64_t>> due;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = Now();
        for (auto& [id, t] : m_timers)
            if (t.due <= now) due.emplace_back(id, t.generation);
    }
    for (auto [id, generation] : due) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_timers.find(id);
            if (it == m_timers.end() || it->second.generation != generation) continue;
            it->second.due += it->second.period;
            if (it->second.due <= Now()) it->second.due = Now() + it->second.period;
            fn = it->second.fn;
        }
        fn();
        ran = true;
    }
    return ran;
}

bool EventLoop::RunOnce(std::chrono::milliseconds maxWait) {
    bool ran = false;
    for (;;) {
        std::function<void()> posted;
        std::shared_ptr<SendState> send;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_sends.empty()) {
                send = m_sends.front();
                m_sends.pop_front();
                CountSends();
            } else if (!m_posted.empty()) {
                posted = std::move(m_posted.front());
                m_posted.pop_front();
            }
        }
        if (send) {
            send->fn();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                send->done = true;
                send->settled.store(true, std::memory_order_release);
            }
            send->finished.notify_one();
            ran = true;
            continue;
        }
        if (posted) {
            posted();
            ran = true;
            continue;
        }
        break;
    }
    if (RunDueTimers()) ran = true;
    if (ran || maxWait.count() <= 0) return ran;
    // A reader that has just been answered usually hands over its next read at once.
    if (SpinUntil([&] { return m_queuedSends.load(std::memory_order_acquire) > 0; }))
        return RunOnce(std::chrono::milliseconds(0));

    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = Clock::now() + maxWait;
    if (!m_clock) {
        for (auto& [id, t] : m_timers)
            if (t.due < deadline) deadline = t.due;
    }
    m_wake.wait_until(lock, deadline, [&] {
        return !m_sends.empty() || !m_posted.empty() || m_quit || m_shutdown;
    });
    lock.unlock();
    return RunOnce(std::chrono::milliseconds(0));
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        const auto now = Clock::now();
        if (now >= deadline) return done();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        RunOnce(std::min(left, std::chrono::milliseconds(50)));
    }
    return true;
}

void EventLoop::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_quit || m_shutdown) {
                m_quit = false;
                return;
            }
        }
        RunOnce(std::chrono::milliseconds(100));
    }
}

void EventLoop::Quit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
}

}  // namespace orlo
