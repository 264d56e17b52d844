// A plain event loop for headless use (tests and the command line): posted work, window timers
// and the synchronous send from other threads. The thread that constructs it is its UI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace orlo {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool InLoopThread() const { return std::this_thread::get_id() == m_owner; }

    // Queues work for the loop thread.
    void Post(std::function<void()> fn);
    // Runs `fn` on the loop thread and returns when it has returned (true). Called on the loop
    // thread it runs `fn` at once. Returns false without running it after Shutdown, or when
    // Shutdown comes while the call waits.
    bool Send(std::function<void()> fn, uint64_t owner = 0);
    // Owners let several windows share one loop: CancelOwner ends the owner's waiting sends
    // and refuses its later ones, without touching the others.
    uint64_t NewOwner();
    void CancelOwner(uint64_t owner);
    // Ends every waiting Send and refuses later ones. Timers and posted work are dropped.
    void Shutdown();
    bool IsShutdown() const;

    // Timer `id` fires `fn` every `period` on the loop thread until killed; setting an id
    // again restarts it.
    void SetTimer(unsigned id, std::chrono::milliseconds period, std::function<void()> fn);
    bool KillTimer(unsigned id);
    bool HasTimer(unsigned id) const;

    // Time source for timers; tests inject a manual clock and advance it.
    void SetClock(std::function<Clock::time_point()> now);

    // Runs everything due; waits up to `maxWait` for the next work or timer when nothing is.
    // Returns true when anything ran.
    bool RunOnce(std::chrono::milliseconds maxWait);
    // Runs until `done` holds (true) or `timeout` passes (false).
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs until Quit.
    void Run();
    void Quit();

private:
    struct SendState {
        std::function<void()> fn;
        bool done = false;
        bool cancelled = false;
        uint64_t owner = 0;
        // Its sender alone waits here: with one shared condition, every finished send woke
        // every waiting sender (a gang's readers all wait at once), N wake-ups a reply.
        std::condition_variable finished;
        std::atomic<bool> settled{false};  // done or cancelled, for a sender still spinning
    };
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
        std::function<void()> fn;
        uint64_t generation = 0;
    };
    Clock::time_point Now() const;
    bool RunDueTimers();
    // A hand-over between two threads costs two sleeps and two wake-ups; a short spin before
    // sleeping saves both when the other side answers at once (a reader's next read, the
    // loop's quick handler). Only with a core for each side.
    template <typename Ready>
    bool SpinUntil(Ready ready) const;
    void CountSends() { m_queuedSends.store(m_sends.size(), std::memory_order_release); }

    std::thread::id m_owner;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;       // loop thread: work arrived
    std::deque<std::function<void()>> m_posted;
    std::deque<std::shared_ptr<SendState>> m_sends;
    std::atomic<std::size_t> m_queuedSends{0};  // m_sends.size(), read without the lock
    const bool m_spin = std::thread::hardware_concurrency() > 1;
    std::map<unsigned, Timer> m_timers;
    uint64_t m_timerGeneration = 0;
    std::function<Clock::time_point()> m_clock;
    std::set<uint64_t> m_cancelledOwners;
    uint64_t m_nextOwner = 0;
    bool m_shutdown = false;
    bool m_quit = false;
};

}  // namespace orlo
