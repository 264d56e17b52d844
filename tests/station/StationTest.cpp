// The station's slots over a scripted watcher and scripted runs, on an injected clock: what a
// slot does as devices come, stay, are pulled and are replaced, and how the station ends.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "station/Station.h"

namespace orlo::station {
namespace {

using namespace std::chrono_literals;

class ScriptedWatcher : public ISlotWatcher {
  public:
    std::map<std::string, SlotDevice> present;
    std::string problem;
    const std::map<std::string, SlotDevice>& Present() override { return present; }
    std::chrono::milliseconds Period() const override { return 100ms; }
    std::string Problem() const override { return problem; }

    void Plug(const std::string& slot, const std::string& identity) {
        present[slot] = SlotDevice{"/dev/" + slot, "/dev/pts/" + identity, identity, "", "", ""};
    }
    void Pull(const std::string& slot) { present.erase(slot); }
};

// A run the test ends: by `outcome` ("passed" or anything else for failed), or by Abandon.
struct ScriptedRun : IDeviceRun {
    struct Control {
        std::string outcome;  // empty: still running
        double fraction = 0;
        std::string abandonedWith;
        bool byOperator = false;
    };
    explicit ScriptedRun(std::shared_ptr<Control> c) : control(std::move(c)) {}
    void Poll() override {}
    Clock::duration TimeToNextPoll() const override { return Clock::duration::max(); }
    bool Finished() const override { return !control->outcome.empty(); }
    RunProgress Progress() const override { return {control->fraction, "writing"}; }
    void Abandon(const std::string& why, bool byOperator) override {
        control->abandonedWith = why;
        control->byOperator = byOperator;
        control->outcome = "abandoned";
    }
    RunResult Result() const override {
        RunResult r;
        r.passed = control->outcome == "passed";
        r.abandoned = control->byOperator;
        if (!r.passed) r.reason = control->byOperator ? "abandoned" : control->outcome;
        return r;
    }
    std::shared_ptr<Control> control;
};

struct Recorder : StationObserver {
    std::vector<std::string> events;
    void OnSlotAppeared(const SlotView& s) override { events.push_back("appeared " + s.name); }
    void OnSlotStarted(const SlotView& s) override { events.push_back("started " + s.name); }
    void OnSlotFinished(const SlotView& s, const FinishedDevice& d) override {
        events.push_back("finished " + s.name + " " + (d.result.passed ? "passed" : "failed"));
    }
    void OnSlotRemoved(const SlotView& s) override { events.push_back("removed " + s.name); }
    void OnNotice(const std::string& n) override { events.push_back("notice " + n); }
};

class StationTest : public ::testing::Test {
  protected:
    void Make(unsigned count = 0) {
        auto watcher = std::make_unique<ScriptedWatcher>();
        watcher_ = watcher.get();
        StationOptions options;
        options.count = count;
        options.now = [this] { return now_; };
        auto runs = [this](const std::string& slot, const SlotDevice& device, std::string*) {
            auto control = std::make_shared<ScriptedRun::Control>();
            runs_[slot] = control;
            startedFor_.push_back(slot + "=" + device.identity);
            return std::make_unique<ScriptedRun>(control);
        };
        station_ = std::make_unique<Station>(std::move(watcher), runs, options, &recorder_,
                                             [this](const FinishedDevice& d) {
                                                 records_.push_back(d);
                                                 return std::string();
                                             });
    }
    void Advance(Clock::duration d) {
        now_ += d;
        station_->Turn();
    }
    // The watcher's news is seen at once, and the settle passes.
    void Settle() {
        Advance(0ms);
        Advance(500ms);
    }
    SlotState State(const std::string& slot) const {
        for (const SlotView& v : station_->Slots())
            if (v.name == slot) return v.state;
        return SlotState::Waiting;
    }

    Clock::time_point now_{std::chrono::hours(1)};
    ScriptedWatcher* watcher_ = nullptr;
    Recorder recorder_;
    std::map<std::string, std::shared_ptr<ScriptedRun::Control>> runs_;
    std::vector<std::string> startedFor_;
    std::vector<FinishedDevice> records_;
    // Last, so it goes first: its destructor abandons running slots into the members above.
    std::unique_ptr<Station> station_;
};

TEST_F(StationTest, EachPluggedDeviceIsProgrammedOnceAfterItsSettleAndThenWaitsForRemoval) {
    Make();
    watcher_->Plug("a", "1");
    watcher_->Plug("b", "2");
    Advance(0ms);
    EXPECT_EQ(State("a"), SlotState::Settling);
    Advance(499ms);
    EXPECT_TRUE(runs_.empty()) << "started before the settle had passed";
    Advance(1ms);
    ASSERT_EQ(runs_.size(), 2u);
    EXPECT_EQ(State("a"), SlotState::Programming);

    runs_["a"]->outcome = "passed";
    runs_["b"]->outcome = "Tx Error";
    Advance(10ms);
    EXPECT_EQ(State("a"), SlotState::Passed);
    EXPECT_EQ(State("b"), SlotState::Failed);
    // Still plugged: never a second run, however long it stays.
    Advance(10s);
    EXPECT_EQ(startedFor_.size(), 2u);

    watcher_->Pull("a");
    Advance(10ms);
    EXPECT_EQ(State("a"), SlotState::Waiting);
    watcher_->Plug("a", "3");
    Settle();
    EXPECT_EQ(startedFor_, (std::vector<std::string>{"a=1", "b=2", "a=3"}));
    const Totals t = station_->GetTotals();
    EXPECT_EQ(t.passed, 1u);
    EXPECT_EQ(t.failed, 1u);
    EXPECT_EQ(t.running, 1u);
    ASSERT_EQ(records_.size(), 2u);
    EXPECT_EQ(records_[1].result.reason, "Tx Error");
    EXPECT_EQ(records_[1].device.node, "/dev/pts/2");
}

TEST_F(StationTest, DevicesPulledOrReplacedAreNotProgrammedOrFailTheirRun) {
    Make();
    // Plugged and pulled within the settle: no run, no record.
    watcher_->Plug("a", "1");
    Advance(200ms);
    watcher_->Pull("a");
    Advance(400ms);
    EXPECT_TRUE(runs_.empty());
    // Replaced in the settle: the new device's settle starts again.
    watcher_->Plug("a", "2");
    Advance(300ms);
    watcher_->Plug("a", "3");
    Advance(300ms);
    EXPECT_TRUE(runs_.empty());
    Advance(200ms);
    EXPECT_TRUE(runs_.empty()) << "the replacement's settle did not start again";
    Advance(300ms);
    EXPECT_EQ(startedFor_, std::vector<std::string>{"a=3"});

    // Pulled mid-run: the run fails and the slot takes the next device.
    watcher_->Pull("a");
    Advance(10ms);
    EXPECT_EQ(runs_["a"]->abandonedWith, "the device was unplugged during the run");
    EXPECT_FALSE(runs_["a"]->byOperator);
    EXPECT_EQ(State("a"), SlotState::Waiting);
    ASSERT_EQ(records_.size(), 1u);
    EXPECT_FALSE(records_[0].result.passed);
    EXPECT_FALSE(records_[0].result.abandoned);

    // Another device in its place without the slot ever looking empty: the old run fails,
    // the new device gets a run of its own.
    watcher_->Plug("a", "4");
    Settle();
    watcher_->Plug("a", "5");
    Advance(10ms);
    ASSERT_EQ(records_.size(), 2u);
    EXPECT_EQ(runs_["a"]->abandonedWith, "another device took its place during the run");
    Advance(500ms);
    EXPECT_EQ(startedFor_, (std::vector<std::string>{"a=3", "a=4", "a=5"}));
    EXPECT_EQ(station_->ExitStatus(), 1);
}

TEST_F(StationTest, CountStopAndAbandonEndTheStation) {
    // --count 2 with three devices plugged: two are programmed, the third is left alone.
    Make(2);
    watcher_->Plug("a", "1");
    watcher_->Plug("b", "2");
    watcher_->Plug("c", "3");
    Settle();
    EXPECT_EQ(runs_.size(), 2u);
    runs_.begin()->second->outcome = "passed";
    Advance(10ms);
    EXPECT_FALSE(station_->Done());
    std::next(runs_.begin())->second->outcome = "passed";
    Advance(10ms);
    EXPECT_TRUE(station_->Done());
    EXPECT_EQ(runs_.size(), 2u);
    EXPECT_EQ(station_->ExitStatus(), 0);

    // Stop: the running device finishes, no new device starts; Abandon ends it on record.
    Make();
    runs_.clear();
    watcher_->Plug("a", "1");
    Settle();
    station_->Stop();
    watcher_->Plug("b", "2");
    Settle();
    EXPECT_EQ(runs_.size(), 1u);
    EXPECT_FALSE(station_->Done());
    runs_["a"]->fraction = 0.5;
    station_->Abandon();
    EXPECT_TRUE(station_->Done());
    EXPECT_TRUE(runs_["a"]->byOperator);
    EXPECT_TRUE(records_.back().result.abandoned);
    EXPECT_EQ(station_->ExitStatus(), 130);
}

TEST_F(StationTest, AWatcherProblemIsToldOnceAndARunThatCannotStartFails) {
    Make();
    watcher_->problem = "slot x leads to /dev/null, not a serial device: left alone";
    Advance(0ms);
    Advance(100ms);
    int notices = 0;
    for (const std::string& e : recorder_.events) notices += e.rfind("notice ", 0) == 0;
    EXPECT_EQ(notices, 1);

    auto watcher = std::make_unique<ScriptedWatcher>();
    watcher->Plug("a", "1");
    StationOptions options;
    options.now = [this] { return now_; };
    Station station(
        std::move(watcher),
        [](const std::string&, const SlotDevice&, std::string* error) {
            *error = "cannot open the port";
            return std::unique_ptr<IDeviceRun>();
        },
        options);
    station.Turn();
    now_ += 500ms;
    station.Turn();
    ASSERT_EQ(station.Slots().size(), 1u);
    EXPECT_EQ(station.Slots()[0].state, SlotState::Failed);
    EXPECT_EQ(SlotStateText(station.Slots()[0]),
              "FAILED: cannot open the port - remove the device");
    EXPECT_EQ(station.ExitStatus(), 1);
}

}  // namespace
}  // namespace orlo::station
