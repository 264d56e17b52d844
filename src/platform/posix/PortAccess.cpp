#include "posix/PortAccess.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "posix/SerialErrors.h"

namespace orlo {

namespace {

namespace fs = std::filesystem;

// The pseudo-terminal index of a slave device (/dev/pts/N), or -1 for any other device.
long PtyIndex(dev_t device) {
    const unsigned maj = major(device);
    if (maj < 136 || maj > 143) return -1;  // the kernel's majors of pseudo-terminal slaves
    return static_cast<long>((maj - 136) * 256 + minor(device));
}

bool ProcessHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > 0 && ::getgroups(n, groups.data()) == n)
        for (gid_t g : groups)
            if (g == gid) return true;
    return false;
}

// The group database (files, LDAP, ... as the system is set up) gives the user `gid`: as the
// primary group or as a member. A login started before the user joined still lacks it.
bool DatabaseHasGroup(gid_t gid) {
    const passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr) return false;
    const std::string name = pw->pw_name;
    const gid_t primary = pw->pw_gid;
    int n = 64;
    std::vector<gid_t> groups;
    for (int tries = 0; tries < 4; ++tries) {
        groups.resize(static_cast<std::size_t>(n));
        int count = n;
        if (::getgrouplist(name.c_str(), primary, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            for (gid_t g : groups)
                if (g == gid) return true;
            return false;
        }
        n = count > n ? count : n * 2;
    }
    return false;
}

}  // namespace

std::string FirstLineOf(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

std::vector<std::string> OtherProcessIds() {
    std::vector<std::string> pids;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (name != self) pids.push_back(name);
    }
    return pids;
}

NodeAccess ExamineNodeAccess(const std::string& path, const struct stat& st) {
    NodeAccess access;
    access.path = path;
    const passwd* owner = ::getpwuid(st.st_uid);
    access.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
    const group* gr = ::getgrgid(st.st_gid);
    access.group = gr ? gr->gr_name : std::to_string(st.st_gid);
    access.groupReadWrite = st.st_gid != 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    access.processHasGroup = ProcessHasGroup(st.st_gid);
    access.databaseHasGroup = DatabaseHasGroup(st.st_gid);
    return access;
}

std::string PermissionFix(const NodeAccess& a) {
    const std::string& g = a.group;
    if (a.groupReadWrite) {
        if (a.databaseHasGroup && !a.processHasGroup)
            return "your user is in the " + g + " group, but this login started before it "
                   "joined: log out and in again (or, for one shell: newgrp " + g + ")";
        if (a.processHasGroup)
            return "this program runs with group " + g + " and still may not open the node: "
                   "look at its access list (getfacl " + a.path + ") and at the security modules "
                   "(AppArmor, SELinux)";
        return "add your user to the " + g + " group and log in again (sudo usermod -aG " + g +
               " $USER)";
    }
    std::error_code ec;
    const std::string node = fs::canonical(a.path, ec).filename().string();
    return "the node (owner " + a.owner + ", group " + g +
           ") gives its group no read and write access; give it to the dialout group with a "
           "udev rule (SUBSYSTEM==\"tty\", KERNEL==\"" + (node.empty() ? "ttyUSB0" : node) +
           "\", GROUP=\"dialout\", MODE=\"0660\"), then add your user to the dialout group and "
           "log in again";
}

PortHolders FindPortHolders(dev_t device) {
    PortHolders holders;
    const long pty = PtyIndex(device);
    for (const std::string& pid : OtherProcessIds()) {
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* dir = ::opendir(fdDir.c_str());
        if (dir == nullptr) continue;  // gone, or another user's
        bool holds = false;
        bool master = false;
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            struct stat st {};
            const std::string fd = fdDir + "/" + e->d_name;
            if (::stat(fd.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (st.st_rdev == device) holds = true;
            if (pty >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2) {  // /dev/ptmx
                std::ifstream info("/proc/" + pid + "/fdinfo/" + e->d_name);
                for (std::string line; std::getline(info, line);)
                    if (line.rfind("tty-index:", 0) == 0 && std::atol(line.c_str() + 10) == pty)
                        master = true;
            }
        }
        ::closedir(dir);
        if (!holds && !master) continue;
        const std::string name = FirstLineOf("/proc/" + pid + "/comm") + " (pid " + pid + ")";
        (master ? holders.farEnds : holders.others).push_back(name);
    }
    return holders;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

SerialOpenResult DescribeOpenFailure(int err, const std::string& path, const std::string& device,
                                     const std::string& action) {
    SerialOpenResult result = SerialErrorFromErrno(err, device, action);
    struct stat st {};
    switch (result.error) {
        case SerialError::PermissionDenied: {
            if (::stat(path.c_str(), &st) != 0) break;
            result.message = "Permission denied for the serial port " + device + ": " +
                             PermissionFix(ExamineNodeAccess(path, st)) + ".";
            break;
        }
        case SerialError::Busy: {
            if (::stat(path.c_str(), &st) != 0) break;
            const PortHolders holders = FindPortHolders(st.st_rdev);
            if (!holders.others.empty())
                result.message = "The serial port " + device + " is in use by " +
                                 JoinNames(holders.others) + ": close that program first.";
            break;
        }
        case SerialError::NotFound:
            result.message += " It may have been unplugged: plug it in and try again.";
            break;
        default:
            break;
    }
    return result;
}

}  // namespace orlo
