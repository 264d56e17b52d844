// What stands between this process and a serial port's device node on Linux: the node's group
// and whether this login has it, and the other programs that hold the device open. The open of
// a port (its failure sentence) and orlo doctor both ask here, so the window and the command
// line name the same group and the same program.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "serial/SerialTransport.h"

namespace orlo {

// What decides whether the user may open a node, as the system tells it.
struct NodeAccess {
    std::string path;
    std::string owner, group;       // the node's own (a link is followed to the node)
    bool groupReadWrite = false;    // the node's mode lets its group read and write
    bool processHasGroup = false;   // this process runs with the node's group
    bool databaseHasGroup = false;  // the group database gives the user that group
};

// The facts of `path` (already stat'ed into `st`) for this process and its user.
NodeAccess ExamineNodeAccess(const std::string& path, const struct stat& st);

// What the user does about a denied open, as the end of a sentence ("add your user to the uucp
// group and log in again (sudo usermod -aG uucp $USER)"): the node's own group, or the login
// that predates joining it, or a node open to no group.
std::string PermissionFix(const NodeAccess& access);

// The other processes that have the device open. A process that also holds the master of a
// pseudo-terminal is its far end (a simulated device, a terminal emulator), not a program in
// the way. Each is named "minicom (pid 4242)". Only processes this user may look at are seen.
struct PortHolders {
    std::vector<std::string> others;
    std::vector<std::string> farEnds;
};
PortHolders FindPortHolders(dev_t device);

// The first line of a small system file (/proc, /sys) without its trailing blanks; empty when
// it cannot be read.
std::string FirstLineOf(const std::string& file);
// The ids of the processes in /proc, except this process.
std::vector<std::string> OtherProcessIds();

// "a, b and c" joined with ", ".
std::string JoinNames(const std::vector<std::string>& names);

// The sentence for an open of `path` that failed with `err`: SerialErrorFromErrno's, told
// more where the system can say more. A denied open names the node's own group and the fix;
// a port in use names the programs that hold it; a node that is not there says the port went
// away. `device` names the port as the user knows it.
SerialOpenResult DescribeOpenFailure(int err, const std::string& path, const std::string& device,
                                     const std::string& action);

}  // namespace orlo
