// Runs a station for the window on a thread of its own. That thread is the UI thread of every
// device's dialog (the station's EventLoop), exactly as `orlo station` runs them, so the
// window's painting never holds up a device and a device never holds up the window. What the
// station tells its observer is copied to the window's thread and handed on there.
#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "station/Station.h"

namespace orlo {
class EventLoop;
}

namespace orlo::gui {

class StationHost : public QObject {
  public:
    // Builds the station on its thread, with the loop its runs are to use and the observer
    // that must hear it. Called once, on the station's thread.
    using Builder = std::function<std::unique_ptr<station::Station>(
        EventLoop& loop, station::StationObserver* observer)>;

    explicit StationHost(Builder builder);
    ~StationHost() override;  // abandons what still runs and waits for the thread

    void Start();
    // No new devices; the running ones finish.
    void Stop();
    // Ends the running ones now; their records say they were abandoned.
    void Abandon();
    // Waits until the station has ended (after Stop or Abandon) and its thread is gone.
    void Join();
    bool Running() const { return m_thread.joinable() && !m_ended.load(); }

    // Told on the window's thread.
    std::function<void(const station::SlotView&)> onSlot;
    std::function<void(const station::SlotView&, const station::FinishedDevice&)> onFinished;
    std::function<void(const station::Totals&)> onTotals;
    std::function<void(const std::string&)> onNotice;
    std::function<void()> onEnded;

  private:
    class Forwarder;
    void Main();
    void Wake();

    Builder m_builder;
    std::thread m_thread;
    std::mutex m_mutex;
    EventLoop* m_loop = nullptr;  // the station thread's loop, while it runs
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abandon{false};
    std::atomic<bool> m_ended{false};
};

}  // namespace orlo::gui
