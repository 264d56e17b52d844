// Where a station learns which devices are plugged in: one watcher per kind of slot.
//  - a folder of links (`--slots-dir DIR`): every entry that is a link to a serial device is a
//    device in the slot named by the entry (MakeDirSlotWatcher, src/platform/posix);
//  - udev (`--match VID:PID[:SERIAL]`): every serial device with that USB identity, in the slot
//    of its physical place, the by-path link (MakeUdevSlotWatcher, src/platform/posix);
//  - the port table, polled (Windows): the slot is the COM name (PortTableSlotWatcher).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/PortTable.h"

namespace orlo::station {

// A device in a slot.
struct SlotDevice {
    std::string path;      // what to open: the slot's link, the device node or the COM name
    std::string node;      // the device node it leads to, where known
    // What makes it this device: a slot whose identity changes holds another device, even
    // when it never looked empty in between (a link replaced in place).
    std::string identity;
    std::string vendorId;  // USB vendor and product ids and serial number, where known
    std::string productId;
    std::string serialNumber;
};

class ISlotWatcher {
  public:
    virtual ~ISlotWatcher() = default;
    // The devices plugged in now, by slot name. Asked after every turn of the station: it
    // answers from what it knows and looks at the system again only when the system has told
    // it of a change, or when its period has passed - never a busy loop.
    virtual const std::map<std::string, SlotDevice>& Present() = 0;
    // How long the station may wait before Present() could tell something new.
    virtual std::chrono::milliseconds Period() const = 0;
    // What keeps the watcher from seeing devices (the folder has gone), or an entry it leaves
    // alone; empty when nothing. The station passes each new sentence on once.
    virtual std::string Problem() const = 0;
};

// `VID:PID[:SERIAL]`, four hex digits each; "0403:6001:A50285BI".
struct MatchRule {
    std::string vendorId;  // lower case
    std::string productId;
    std::string serialNumber;  // empty: any
};
// False with a sentence for anything else.
bool ParseMatch(const std::string& text, MatchRule* rule, std::string* error);
// The --match values of a station: USB rules, and COM names (COM5) as they are. False with the
// rule's sentence for a value that is neither.
bool ParseSlotMatches(const std::vector<std::string>& values, std::vector<MatchRule>* rules,
                      std::vector<std::string>* comNames, std::string* error);
bool Matches(const std::vector<MatchRule>& rules, const std::string& vendorId,
             const std::string& productId, const std::string& serialNumber);

// Polls a port table every `period`; a port that one of `rules` matches, or whose COM name is
// in `comNames`, is a device in the slot of its COM name.
class PortTableSlotWatcher : public ISlotWatcher {
  public:
    PortTableSlotWatcher(std::unique_ptr<IPortTable> table, std::vector<MatchRule> rules,
                         std::vector<std::string> comNames,
                         std::chrono::milliseconds period = std::chrono::milliseconds(500));
    const std::map<std::string, SlotDevice>& Present() override;
    std::chrono::milliseconds Period() const override { return m_period; }
    std::string Problem() const override { return m_problem; }

  private:
    std::unique_ptr<IPortTable> m_table;
    std::vector<MatchRule> m_rules;
    std::vector<std::string> m_comNames;
    std::chrono::milliseconds m_period;
    std::chrono::steady_clock::time_point m_next{};
    std::map<std::string, SlotDevice> m_present;
    std::string m_problem;
};

// The system's watchers, one file per system (src/platform/posix/station,
// src/platform/win32/station); nullptr with a sentence when the system has no such slots.
// A folder of links (Linux).
std::unique_ptr<ISlotWatcher> MakeDirSlotWatcher(const std::string& dir, std::string* error);
// The devices that `rules` match: udev's on Linux, the polled port table on Windows, where
// `comNames` may also name ports by their COM name (ports the table knows nothing more of).
std::unique_ptr<ISlotWatcher> MakeMatchSlotWatcher(std::vector<MatchRule> rules,
                                                   std::vector<std::string> comNames,
                                                   std::string* error);

}  // namespace orlo::station
