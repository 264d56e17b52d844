// A production line without hardware: N slots in a folder, each a link to a simulated device
// that comes, is served until it has been programmed and a moment has passed, goes away, and
// is followed by a fresh one (blank flash, new pseudo-terminal). Some devices can be told to
// fail: a share of them refuses a block until the tool gives up ("Tx Error"), another share is
// pulled out in the middle of its run.
//
//   orlo::devsim::RigOptions o;  o.dir = "/tmp/line";  o.slots = 8;  o.failRate = 0.1;
//   orlo::devsim::Rig rig(o);
//   rig.Start(&error);
//   for (;;) { rig.Poll(); sleep 20 ms; }   // plugs and unplugs as time passes
//   rig.Stop();                             // every link removed
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "devsim/PtyDevice.h"

namespace orlo::devsim {

struct RigOptions {
    std::string dir;        // the slots folder; made when missing
    unsigned slots = 4;     // slot-01 .. slot-NN
    uint32_t baud = 0;      // pace every device like a line at this speed (0: unpaced)
    double failRate = 0;    // share of devices that NAK a block until the tool gives up
    double pullRate = 0;    // share of devices pulled out in the middle of their run
    unsigned devices = 0;   // devices to plug in all, then no more (0: no end)
    // How long a programmed device stays once the tool has gone quiet ("a moment"), and how
    // long a slot stays empty before the next device.
    std::chrono::milliseconds linger{1000};
    std::chrono::milliseconds gap{500};
    uint32_t seed = 0;      // of the fault draw (0: from the clock)
    // Called for every plug and unplug with one line ("slot-03: device 7 plugged (/dev/pts/9)").
    std::function<void(const std::string&)> say;
};

struct RigStats {
    unsigned plugged = 0;
    unsigned programmed = 0;  // removed after a run that reached its end
    unsigned pulled = 0;      // removed in the middle of a run, as told
    unsigned failing = 0;     // devices that were told to refuse
};

class Rig {
  public:
    explicit Rig(RigOptions options);
    ~Rig();  // Stop()
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Start(std::string* error);
    // Plugs, unplugs and pulls as their time comes; call every few tens of milliseconds.
    void Poll();
    void Stop();
    // Every device there was to plug has come and gone.
    bool Finished() const;
    RigStats Stats() const { return m_stats; }

  private:
    struct Slot;
    void Plug(Slot& slot);
    void Unplug(Slot& slot, const char* why);

    RigOptions m_options;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::mt19937 m_random;
    RigStats m_stats;
    unsigned m_next = 1;  // number of the next device
};

}  // namespace orlo::devsim
