// orlo doctor: what stands between a port and a run, found before anything is sent. Each
// finding is one line: what was found and, where something is to be done, what to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serial/PortTable.h"

namespace orlo {
struct NodeAccess;  // what decides whether the user may open a node (posix/PortAccess.h)
}  // namespace orlo

namespace orlo::cli {

enum class Severity {
    Ok,       // checked and fine
    Note,     // worth knowing; a run works
    Warning,  // a run may fail because of it
    Blocker,  // a run cannot work until it is fixed
};

struct Finding {
    std::string check;  // what was looked at: "device", "access", "holder", "modem-manager", ...
    Severity severity = Severity::Ok;
    std::string text;  // what was found
    std::string fix;   // what to do; empty when nothing is to be done
};

// A port to examine: the path to look at and what the port table tells of it.
struct DoctorTarget {
    std::string label;  // as the user named it, or the table's path
    PortInfo port;      // comName and the details are empty when the table does not list it
    std::string path;   // the device path to examine
};

// Looks at one port the way the system the build is for allows (posix/ or win32/Doctor.cpp).
std::vector<Finding> ExaminePort(const DoctorTarget& target);

// The access finding of a node the user may not open: what to do follows from the node's group
// and from where the user has it (the group database only: a login from before the user joined).
Finding AccessAdvice(const NodeAccess& access);

// The USB adapters ("vvvv:pppp", four lowercase hex digits each) that brltty's udev rules claim
// for braille displays, from the rules' text.
std::vector<std::string> BrlttyClaims(const std::string& rules);
// What brltty means for a port: its adapter's `vendorId`/`productId` (may be empty), whether
// its node is missing (the symptom: it appeared and vanished), and the rule files that claim.
std::optional<Finding> BrlttyFinding(const std::vector<std::string>& claims,
                                     const std::string& vendorId, const std::string& productId,
                                     bool nodeMissing, const std::string& ruleFile);

// The word a finding's line starts with, and its name in --json.
const char* SeverityWord(Severity severity);
const char* SeverityName(Severity severity);

}  // namespace orlo::cli
