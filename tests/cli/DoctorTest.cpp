// orlo doctor on pseudo-terminals: a free port, one another program holds, one the user may not
// open, and names that lead to no port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "CliFixture.h"
#include "posix/PortAccess.h"
#include "Doctor.h"

namespace orlo::cli::test {
namespace {

struct Found {
    std::string severity, text, fix;
};

// The findings of a --json run by check (the last of each check).
std::map<std::string, Found> Findings(const std::string& out) {
    std::map<std::string, Found> found;
    for (const auto& f : Events(JsonLines(out), "finding"))
        found[f["check"]] = {f["severity"], f["text"], f["fix"]};
    return found;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(CliTest, DoctorSaysWhatBlocksARunAndWhatToDo) {
    auto& sim = StartDevice();
    const std::string port = sim.SlavePath();
    const std::vector<std::string> env = {"ORLO_EXTRA_PORTS=", "ORLO_PORT="};
    {
        SCOPED_TRACE("a free port");
        const RunResult r = RunOrlo({"--json", "doctor", "--port", port}, env);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        auto f = Findings(r.out);
        for (const char* check : {"device", "access", "holder", "line"})
            EXPECT_EQ(f[check].severity, "ok") << check << ": " << f[check].text;
        EXPECT_TRUE(Has(f["line"].text, "115200")) << f["line"].text;
    }
    {
        SCOPED_TRACE("a port another program holds");
        Child holder(BinPath("orlo"), {"--json", "log", "--port", port});
        ASSERT_TRUE(holder.WaitForOutput("\"event\":\"open\"", kRunLimit)) << holder.Err();
        const RunResult r = RunOrlo({"doctor", "--port", port}, env);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_TRUE(Has(r.out, "BLOCKS   the port is open in orlo (pid " +
                                   std::to_string(holder.Pid()) + ") - close that program first"))
            << r.out;
        holder.Signal(SIGINT);
        EXPECT_EQ(holder.Wait(kRunLimit).exitCode, 130);
    }
    {
        SCOPED_TRACE("a port the user may not open");
        // As root, the check runs as an unprivileged user on a node of group dialout.
        const bool root = ::geteuid() == 0;
        ASSERT_EQ(root ? ::chown(port.c_str(), 0, 20) : 0, 0);
        ASSERT_EQ(::chmod(port.c_str(), root ? 0660 : 0), 0);
        Child child(
            root ? "/usr/bin/setpriv" : BinPath("orlo"),
            root ? std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups",
                                            BinPath("orlo"), "--json", "doctor", "--port", port}
                 : std::vector<std::string>{"--json", "doctor", "--port", port},
            env);
        const RunResult r = child.Wait(kRunLimit);
        EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
        auto f = Findings(r.out);
        EXPECT_EQ(f["access"].severity, "blocker") << r.out;
        EXPECT_TRUE(Has(f["access"].fix, root ? "sudo usermod -aG dialout $USER" : "dialout"))
            << f["access"].fix;
        EXPECT_EQ(f["line"].severity, "note");  // not tried
    }
    fs::create_symlink(dir / "unplugged", dir / "dangling");
    const std::vector<std::tuple<std::string, std::string, std::string>> noPorts = {
        {"/dev/null", "device", "is not a serial device"},
        {(dir / "dangling").string(), "device", "which does not exist"},
        {dir.string(), "device", "is not a serial device"},
    };
    for (const auto& [path, check, text] : noPorts) {
        SCOPED_TRACE(path);
        const RunResult r = RunOrlo({"--json", "doctor", "--port", path}, env);
        EXPECT_EQ(r.exitCode, 3);
        auto f = Findings(r.out);
        EXPECT_EQ(f[check].severity, "blocker") << r.out;
        EXPECT_TRUE(Has(f[check].text, text)) << f[check].text;
    }
}


// What to do about a node the user may not open follows from its group and from where the user
// has that group: in the group database only means this login began before the user joined.
TEST(DoctorAdvice, AccessNamesTheNodesOwnGroupAndALoginOlderThanTheGroup) {
    NodeAccess arch{"/dev/ttyUSB0", "root", "uucp", true, false, false};
    EXPECT_EQ(AccessAdvice(arch).fix,
              "join the port's group uucp: sudo usermod -aG uucp $USER, then log out and in again");
    arch.databaseHasGroup = true;
    EXPECT_EQ(AccessAdvice(arch).fix,
              "you are in group uucp, but this login started before you joined it, so its "
              "programs do not have the group yet: log out and in again (or, for one shell: "
              "newgrp uucp)");
    arch.processHasGroup = true;
    EXPECT_TRUE(Has(AccessAdvice(arch).fix, "getfacl /dev/ttyUSB0")) << AccessAdvice(arch).fix;
    const NodeAccess rootOnly{"/dev/ttyS4", "root", "root", false, false, false};
    const Finding f = AccessAdvice(rootOnly);
    EXPECT_EQ(f.severity, Severity::Blocker);
    EXPECT_EQ(f.text, "you may not open /dev/ttyS4 (owner root, group root)");
    EXPECT_TRUE(Has(f.fix, "KERNEL==\"ttyS4\", GROUP=\"dialout\", MODE=\"0660\"")) << f.fix;
}

TEST(DoctorAdvice, BrlttyIsNamedForTheAdaptersItsRulesClaim) {
    const std::string rules =
        "# Device: 1A86:7523\n"
        "# ENV{PRODUCT}==\"dead/beef/*\" (a comment)\n"
        "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"\n"
        "ENV{PRODUCT}==\"10c4/ea60/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"sk\", GOTO=\"brltty_usb_run\"\n"
        "  SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", GOTO=\"x\"\n"
        "ENV{PRODUCT}==\"403/6001/*\", GOTO=\"brltty_usb_run\"\n";
    const std::vector<std::string> claims = BrlttyClaims(rules);
    EXPECT_EQ(claims, (std::vector<std::string>{"1a86:7523", "10c4:ea60", "0403:6001"}));

    const std::string file = "/usr/lib/udev/rules.d/85-brltty.rules";
    const auto ch340 = BrlttyFinding(claims, "1a86", "7523", false, file);
    ASSERT_TRUE(ch340);
    EXPECT_EQ(ch340->severity, Severity::Warning);
    EXPECT_TRUE(Has(ch340->text, "claims USB adapters 1a86:7523")) << ch340->text;
    EXPECT_TRUE(Has(ch340->fix, "sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules"))
        << ch340->fix;
    EXPECT_FALSE(BrlttyFinding(claims, "067b", "2303", false, file));  // not claimed
    EXPECT_FALSE(BrlttyFinding({}, "1a86", "7523", false, file));      // not installed
    const auto vanished = BrlttyFinding(claims, "", "", true, file);
    ASSERT_TRUE(vanished);
    EXPECT_TRUE(Has(vanished->text, "(CH340 1a86:7523, CP210x 10c4:ea60, FT232R 0403:6001 among "
                                    "them): a port that appeared and vanished"))
        << vanished->text;
}

}  // namespace
}  // namespace orlo::cli::test
