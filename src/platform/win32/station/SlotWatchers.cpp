// Windows has neither a folder of links nor udev: a station there polls the port table, and
// the slot is the COM name.
#include "SystemPorts.h"
#include "station/SlotWatcher.h"

namespace orlo::station {

std::unique_ptr<ISlotWatcher> MakeDirSlotWatcher(const std::string& dir, std::string* error) {
    if (error) *error = "--slots-dir " + dir + ": slots folders are not available on Windows";
    return nullptr;
}

std::unique_ptr<ISlotWatcher> MakeMatchSlotWatcher(std::vector<MatchRule> rules,
                                                   std::vector<std::string> comNames,
                                                   std::string* error) {
    if (rules.empty() && comNames.empty()) {
        if (error) *error = "no --match rule given";
        return nullptr;
    }
    return std::make_unique<PortTableSlotWatcher>(MakeSystemPortTable(comNames), std::move(rules),
                                                  std::move(comNames));
}

}  // namespace orlo::station
