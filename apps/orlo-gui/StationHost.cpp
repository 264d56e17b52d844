#include "StationHost.h"

#include <QMetaObject>

#include "window/EventLoop.h"

namespace orlo::gui {

namespace {
constexpr auto kLoopSlice = std::chrono::milliseconds(50);  // longest wait between turns
}

// The station's observer, on the station's thread: each call is copied over to the window's.
class StationHost::Forwarder : public station::StationObserver {
  public:
    explicit Forwarder(StationHost& host) : m_host(&host) {}
    void OnSlotAppeared(const station::SlotView& s) override { Slot(s); }
    void OnSlotSettled(const station::SlotView& s) override { Slot(s); }
    void OnSlotStarted(const station::SlotView& s) override { Slot(s); }
    void OnSlotProgress(const station::SlotView& s) override { Slot(s); }
    void OnSlotRemoved(const station::SlotView& s) override { Slot(s); }
    void OnSlotFinished(const station::SlotView& s, const station::FinishedDevice& d) override {
        Post([s, d](StationHost& h) {
            if (h.onSlot) h.onSlot(s);
            if (h.onFinished) h.onFinished(s, d);
        });
    }
    void OnTotals(const station::Totals& t) override {
        Post([t](StationHost& h) {
            if (h.onTotals) h.onTotals(t);
        });
    }
    void OnNotice(const std::string& text) override {
        Post([text](StationHost& h) {
            if (h.onNotice) h.onNotice(text);
        });
    }

  private:
    void Slot(const station::SlotView& s) {
        Post([s](StationHost& h) {
            if (h.onSlot) h.onSlot(s);
        });
    }
    template <class F>
    void Post(F fn) {
        // Queued: the station's thread never waits for the window. The host outlives the
        // thread, and calls still queued when it goes are dropped with it.
        StationHost* host = m_host;
        QMetaObject::invokeMethod(host, [host, fn] { fn(*host); }, Qt::QueuedConnection);
    }
    StationHost* m_host;
};

StationHost::StationHost(Builder builder) : m_builder(std::move(builder)) {}

StationHost::~StationHost() {
    Abandon();
    Join();
}

void StationHost::Start() {
    if (m_thread.joinable()) return;
    m_thread = std::thread([this] { Main(); });
}

void StationHost::Main() {
    EventLoop loop;  // constructed here: this thread is the UI thread of the devices' dialogs
    Forwarder forwarder(*this);
    std::unique_ptr<station::Station> station = m_builder(loop, &forwarder);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_loop = &loop;
    }
    bool stopped = false, abandoned = false;
    while (station) {
        if (m_abandon.load() && !abandoned) {
            abandoned = stopped = true;
            station->Abandon();
        } else if (m_stop.load() && !stopped) {
            stopped = true;
            station->Stop();
        }
        station->Turn();
        if (stopped && station->Done()) break;
        loop.RunOnce(std::chrono::ceil<std::chrono::milliseconds>(
            station->TimeToNextTurn(kLoopSlice)));
    }
    station.reset();  // the runs' dialogs and ports go on this thread, where they were made
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_loop = nullptr;
    }
    m_ended.store(true);
    QMetaObject::invokeMethod(
        this, [this] {
            if (onEnded) onEnded();
        },
        Qt::QueuedConnection);
}

void StationHost::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_loop) m_loop->Post([] {});
}

void StationHost::Stop() {
    m_stop.store(true);
    Wake();
}

void StationHost::Abandon() {
    m_abandon.store(true);
    Wake();
}

void StationHost::Join() {
    if (!m_thread.joinable()) return;
    if (!m_stop.load() && !m_abandon.load()) Stop();
    m_thread.join();
}

}  // namespace orlo::gui
