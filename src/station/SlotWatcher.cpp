#include "station/SlotWatcher.h"

#include <algorithm>
#include <cctype>

namespace orlo::station {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool FourHex(const std::string& text) {
    return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
           });
}

}  // namespace

bool ParseMatch(const std::string& text, MatchRule* rule, std::string* error) {
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    MatchRule parsed;
    parsed.vendorId = Lower(text.substr(0, first));
    if (first != std::string::npos)
        parsed.productId = Lower(text.substr(first + 1, second == std::string::npos
                                                            ? std::string::npos
                                                            : second - first - 1));
    if (second != std::string::npos) parsed.serialNumber = text.substr(second + 1);
    if (!FourHex(parsed.vendorId) || !FourHex(parsed.productId) ||
        (second != std::string::npos && parsed.serialNumber.empty())) {
        if (error)
            *error = "--match " + text +
                     ": expected VID:PID or VID:PID:SERIAL, with four hex digits each for the "
                     "USB vendor and product (for example 0403:6001)";
        return false;
    }
    *rule = parsed;
    return true;
}

bool ParseSlotMatches(const std::vector<std::string>& values, std::vector<MatchRule>* rules,
                      std::vector<std::string>* comNames, std::string* error) {
    for (const std::string& value : values) {
        MatchRule rule;
        std::string ruleError;
        if (ParseMatch(value, &rule, &ruleError)) {
            rules->push_back(rule);
            continue;
        }
        std::string upper = value;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (upper.rfind("COM", 0) == 0 && upper.size() > 3 &&
            std::all_of(upper.begin() + 3, upper.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
            comNames->push_back(upper);
            continue;
        }
        *error = ruleError;
        return false;
    }
    return true;
}

bool Matches(const std::vector<MatchRule>& rules, const std::string& vendorId,
             const std::string& productId, const std::string& serialNumber) {
    const std::string vid = Lower(vendorId), pid = Lower(productId);
    return std::any_of(rules.begin(), rules.end(), [&](const MatchRule& r) {
        return r.vendorId == vid && r.productId == pid &&
               (r.serialNumber.empty() || r.serialNumber == serialNumber);
    });
}

PortTableSlotWatcher::PortTableSlotWatcher(std::unique_ptr<IPortTable> table,
                                           std::vector<MatchRule> rules,
                                           std::vector<std::string> comNames,
                                           std::chrono::milliseconds period)
    : m_table(std::move(table)),
      m_rules(std::move(rules)),
      m_comNames(std::move(comNames)),
      m_period(period) {}

const std::map<std::string, SlotDevice>& PortTableSlotWatcher::Present() {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_next) return m_present;
    m_next = now + m_period;
    if (!m_table->Open()) {
        m_problem = "the system's table of serial ports cannot be read";
        m_present.clear();
        return m_present;
    }
    m_problem.clear();
    std::map<std::string, SlotDevice> present;
    for (const PortInfo& port : m_table->Enumerate()) {
        const bool named = std::find(m_comNames.begin(), m_comNames.end(), port.comName) !=
                           m_comNames.end();
        if (!named && !Matches(m_rules, port.vendorId, port.productId, port.serialNumber))
            continue;
        SlotDevice device;
        device.path = port.comName;
        device.node = port.devicePath;
        device.vendorId = port.vendorId;
        device.productId = port.productId;
        device.serialNumber = port.serialNumber;
        device.identity = port.comName + "|" + port.devicePath + "|" + port.deviceKey + "|" +
                          port.serialNumber;
        present.emplace(port.comName, std::move(device));
    }
    m_present = std::move(present);
    return m_present;
}

}  // namespace orlo::station
