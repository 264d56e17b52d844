// The slots of a USB hub, through udev: every tty device whose USB identity a rule matches is a
// device to program, in the slot of its physical place (the name of its /dev/serial/by-path
// link), so the same hub port is the same slot whatever adapter is plugged in and whatever
// ttyUSB number it gets. The devices are listed once; after that udev's monitor tells of every
// arrival and removal, and its socket is read without waiting.
#include <libudev.h>
#include <poll.h>

#include <cstring>
#include <sstream>

#include "station/SlotWatcher.h"

namespace orlo::station {

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(100);  // how often the monitor is read
constexpr const char* kByPath = "/dev/serial/by-path/";

std::string Property(udev_device* device, const char* name) {
    const char* value = udev_device_get_property_value(device, name);
    return value ? value : "";
}

// The slot's name: the by-path link, else udev's path of the device, else the node's name.
std::string SlotName(udev_device* device) {
    std::istringstream links(Property(device, "DEVLINKS"));
    std::string link;
    while (links >> link)
        if (link.rfind(kByPath, 0) == 0) return link.substr(std::strlen(kByPath));
    const std::string idPath = Property(device, "ID_PATH");
    if (!idPath.empty()) return idPath;
    const char* sysname = udev_device_get_sysname(device);
    return sysname ? sysname : "";
}

class UdevSlotWatcher : public ISlotWatcher {
  public:
    explicit UdevSlotWatcher(std::vector<MatchRule> rules) : m_rules(std::move(rules)) {
        m_udev = udev_new();
        if (m_udev == nullptr) {
            m_problem = "udev cannot be reached: devices plugged in are not seen";
            return;
        }
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (m_monitor != nullptr) {
            udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr);
            if (udev_monitor_enable_receiving(m_monitor) != 0) {
                udev_monitor_unref(m_monitor);
                m_monitor = nullptr;
            }
        }
        if (m_monitor == nullptr)
            m_problem = "udev's monitor cannot be opened: devices plugged in are not seen";
        List();
    }
    ~UdevSlotWatcher() override {
        if (m_monitor) udev_monitor_unref(m_monitor);
        if (m_udev) udev_unref(m_udev);
    }

    const std::map<std::string, SlotDevice>& Present() override {
        if (m_monitor == nullptr) return m_present;
        const int fd = udev_monitor_get_fd(m_monitor);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) break;
            if (p.revents & (POLLERR | POLLNVAL)) {
                List();  // events were lost: list the devices again
                break;
            }
            udev_device* device = udev_monitor_receive_device(m_monitor);
            if (device == nullptr) break;
            const char* action = udev_device_get_action(device);
            if (action && std::strcmp(action, "remove") == 0)
                Remove(device);
            else
                Add(device);
            udev_device_unref(device);
        }
        return m_present;
    }
    std::chrono::milliseconds Period() const override { return kPeriod; }
    std::string Problem() const override { return m_problem; }

  private:
    void List() {
        m_present.clear();
        udev_enumerate* list = udev_enumerate_new(m_udev);
        if (list == nullptr) return;
        udev_enumerate_add_match_subsystem(list, "tty");
        udev_enumerate_scan_devices(list);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
            udev_device* device =
                udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(entry));
            if (device == nullptr) continue;
            Add(device);
            udev_device_unref(device);
        }
        udev_enumerate_unref(list);
    }

    void Add(udev_device* device) {
        const char* node = udev_device_get_devnode(device);
        if (node == nullptr) return;
        SlotDevice slot;
        slot.vendorId = Property(device, "ID_VENDOR_ID");
        slot.productId = Property(device, "ID_MODEL_ID");
        slot.serialNumber = Property(device, "ID_SERIAL_SHORT");
        if (!Matches(m_rules, slot.vendorId, slot.productId, slot.serialNumber)) {
            Remove(device);  // a change that no longer matches
            return;
        }
        slot.path = slot.node = node;
        // The sequence number of udev's event tells a new arrival from the one before it.
        slot.identity = std::string(node) + "|" +
                        std::to_string(udev_device_get_devnum(device)) + "|" +
                        Property(device, "USEC_INITIALIZED") + "|" + slot.serialNumber;
        const std::string name = SlotName(device);
        if (!name.empty()) m_present[name] = std::move(slot);
    }

    void Remove(udev_device* device) {
        const char* node = udev_device_get_devnode(device);
        if (node == nullptr) return;
        for (auto it = m_present.begin(); it != m_present.end();)
            it = it->second.node == node ? m_present.erase(it) : std::next(it);
    }

    std::vector<MatchRule> m_rules;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    std::map<std::string, SlotDevice> m_present;
    std::string m_problem;
};

}  // namespace

std::unique_ptr<ISlotWatcher> MakeMatchSlotWatcher(std::vector<MatchRule> rules,
                                                   std::vector<std::string> comNames,
                                                   std::string* error) {
    if (!comNames.empty()) {
        if (error) *error = "--match " + comNames.front() + ": COM names are for Windows; here "
                            "give VID:PID[:SERIAL], or use --slots-dir";
        return nullptr;
    }
    if (rules.empty()) {
        if (error) *error = "no --match rule given";
        return nullptr;
    }
    return std::make_unique<UdevSlotWatcher>(std::move(rules));
}

}  // namespace orlo::station
