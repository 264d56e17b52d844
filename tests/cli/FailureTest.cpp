// How `orlo` ends when the run cannot complete: a device that does not answer or hangs up,
// Ctrl+C, ports that cannot be opened, and command lines that are wrong.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "CliFixture.h"

namespace orlo::cli::test {
namespace {

// A pseudo-terminal nobody answers on.
class SilentTerminal {
  public:
    SilentTerminal() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_slave = ::ptsname(m_master);
    }
    ~SilentTerminal() {
        if (m_master >= 0) ::close(m_master);
    }
    const std::string& Path() const { return m_slave; }

  private:
    int m_master = -1;
    std::string m_slave;
};

TEST_F(CliTest, ASilentDeviceEndsTheRunAfterTheTimeout) {
    SilentTerminal silent;
    ASSERT_FALSE(silent.Path().empty());
    const RunResult r = RunOrlo({"check", "--port", silent.Path(), "--timeout", "1"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find(silent.Path() + ": timeout: the device has not answered for 1 s"),
              std::string::npos)
        << r.err;

    // A device that stops answering in the middle of a run.
    devsim::DeviceOptions options;
    options.faults.silentFrame = 4;
    auto& sim = StartDevice(options);
    const std::string file = WriteFile("v.adm", MakeImage(20000));
    const RunResult p =
        RunOrlo({"program", "voice", file, "--port", sim.SlavePath(), "--timeout", "0.5"});
    EXPECT_EQ(p.exitCode, 4);
    EXPECT_NE(p.err.find("timeout: the device has not answered for 0.5 s"), std::string::npos)
        << p.err;
    EXPECT_EQ(sim.GetDevice().Stats().numbered, 4u);  // nothing after the unanswered frame
}

TEST_F(CliTest, AHangUpMidReadKeepsThePartialFile) {
    devsim::DeviceOptions options;
    options.faults.hangUpAfter = 5;  // five blocks answered, then the line is gone
    auto& sim = StartDevice(options);
    const std::string out = (dir / "voice.adm").string();
    const std::string backup(3 * 4096 + 5, 'b');  // what the user had: a dead line keeps it
    std::ofstream(out, std::ios::binary) << backup;
    const RunResult r = RunOrlo({"read", "voice", out, "--port", sim.SlavePath(), "-t", "1"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(ReadText(out), backup);
    EXPECT_EQ(fs::file_size(out + ".partial"), 5u * 4096);
    EXPECT_NE(r.err.find("partial read-back: 20480 of 2048000 bytes kept in " + out + ".partial"),
              std::string::npos)
        << r.err;
}

// The device goes away under `orlo log` (its end of the line closes, the node vanishes): the
// log ends with exit 4 and says why instead of waiting for ever.
TEST_F(CliTest, LogEndsWhenTheDeviceGoesAway) {
    auto& sim = StartDevice({});
    Child log(BinPath("orlo"), {"log", "--port", sim.SlavePath()});
    ASSERT_TRUE(log.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the port is open
    sim.Stop();
    const RunResult r = log.Wait(std::chrono::seconds(10));
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_NE(r.err.find("the port went away"), std::string::npos) << r.err;
}

TEST_F(CliTest, CtrlCClosesThePortAndKeepsThePartialReadBack) {
    devsim::PtyOptions paced;
    paced.baud = 115200;  // a whole voice region takes minutes: the run is surely interrupted
    auto& sim = StartDevice({}, paced);
    const std::string out = (dir / "voice.adm").string();
    const std::string partial = out + ".partial";
    Child read(BinPath("orlo"), {"read", "voice", out, "--port", sim.SlavePath()});
    ASSERT_TRUE(read.Started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto size = [&] {
        std::error_code ec;
        const auto n = fs::file_size(partial, ec);
        return ec ? 0 : n;
    };
    while (size() < 2 * 4096 && std::chrono::steady_clock::now() < deadline) {
        read.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(size(), 2u * 4096) << read.Err();
    read.Signal(SIGINT);
    const RunResult r = read.Wait(kRunLimit);
    EXPECT_EQ(r.exitCode, 130);
    const auto kept = fs::file_size(partial);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(kept % 4096, 0u);
    EXPECT_NE(r.err.find(sim.SlavePath() + ": interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("partial read-back: " + std::to_string(kept) +
                         " of 2048000 bytes kept in " + partial),
              std::string::npos)
        << r.err;

    // The port was closed and released: the next run opens it. (The test string needs no
    // answer; the device may still be sending the rest of the block it was asked for.)
    const RunResult again = RunOrlo({"test-tx", "--port", sim.SlavePath()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
}

TEST_F(CliTest, PortsThatCannotBeOpenedSayWhy) {
    const std::vector<std::string> noExtra = {"ORLO_EXTRA_PORTS="};
    {
        SCOPED_TRACE("not a serial device");
        const RunResult r = RunOrlo({"check", "--port", "/dev/null"}, noExtra);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_NE(r.err.find("Can not use COM port!\n"), std::string::npos) << r.err;
        // The system's sentence as a clause of orlo's own messages.
        EXPECT_NE(r.err.find("\norlo: COM80 (/dev/null) is not a serial device\n"),
                  std::string::npos)
            << r.err;
    }
    {
        SCOPED_TRACE("missing device");
        const std::string missing = (dir / "ttyUSB9").string();
        const RunResult r = RunOrlo({"check", "--port", missing}, noExtra);
        EXPECT_EQ(r.exitCode, 3);
        // The port is named once.
        EXPECT_EQ(r.err, "orlo: the serial port " + missing +
                             " does not exist. It may have been unplugged: plug it in and try again\n");
    }
    {
        SCOPED_TRACE("COM names the table does not know, or the list cannot show");
        const RunResult unknown = RunOrlo({"check", "--port", "COM98"}, noExtra);
        EXPECT_EQ(unknown.exitCode, 3);
        EXPECT_TRUE(unknown.err.starts_with("orlo: COM98 is not a serial port of this system"))
            << unknown.err;
        const RunResult three = RunOrlo({"check", "--port", "COM123"}, noExtra);
        EXPECT_EQ(three.exitCode, 3);
        EXPECT_NE(three.err.find("COM123 is not a serial port of this system"), std::string::npos)
            << three.err;
    }
    {
        SCOPED_TRACE("held by another program");
        auto& sim = StartDevice();
        Child holder(BinPath("orlo"), {"--json", "log", "--port", sim.SlavePath()});
        ASSERT_TRUE(holder.WaitForOutput("\"event\":\"open\"", kRunLimit)) << holder.Err();
        const RunResult r = RunOrlo({"check", "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_NE(r.err.find("Can not use COM port!\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("is in use by orlo (pid " + std::to_string(holder.Pid()) +
                             "): close that program first\n"),
                  std::string::npos)
            << r.err;
        holder.Signal(SIGINT);
        EXPECT_EQ(holder.Wait(kRunLimit).exitCode, 130);
    }
}

// A denied open names the node's own group, not always dialout. As root, the open runs as an
// unprivileged user on a node of group tty; otherwise the node is closed to everyone.
TEST_F(CliTest, PermissionDeniedNamesTheGroupOfTheNode) {
    SilentTerminal terminal;
    ASSERT_FALSE(terminal.Path().empty());
    const bool root = ::geteuid() == 0;
    const group* tty = ::getgrnam("tty");
    if (root && tty == nullptr) GTEST_SKIP() << "no group tty";
    ASSERT_EQ(root ? ::chown(terminal.Path().c_str(), 0, tty->gr_gid) : 0, 0);
    ASSERT_EQ(::chmod(terminal.Path().c_str(), root ? 0660 : 0), 0);
    const std::vector<std::string> check = {BinPath("orlo"), "check", "--port", terminal.Path()};
    std::vector<std::string> args = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    args.insert(args.end(), check.begin(), check.end());
    Child child(root ? "/usr/bin/setpriv" : check[0],
                root ? args : std::vector<std::string>(check.begin() + 1, check.end()));
    const RunResult r = child.Wait(kRunLimit);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("orlo: permission denied for the serial port "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(terminal.Path() + "): "), std::string::npos) << r.err;
    const std::string fix = root ? "add your user to the tty group and log in again (sudo "
                                   "usermod -aG tty $USER)\n"
                                 : "then add your user to the dialout group and log in again\n";
    EXPECT_NE(r.err.find(fix), std::string::npos) << r.err;
}

TEST_F(CliTest, UsageErrorsPrintTheUsageAndExit2) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"flash"},
        {"program", "bootloader", "x.bin", "--port", "/dev/null"},
        {"program", "application", "--port", "/dev/null"},
        {"read", "user", "--port", "/dev/null"},
        {"sweep", "max+1000", "--port", "/dev/null"},
        {"check", "--port", "/dev/null", "--timeout", "-1"},
        {"bmp2h", "--bits", "8", "a.bmp"},
        {"log", "--port", "/dev/null", "--duration", "0"},
        // Times that are not numbers or overflow: never an instant timeout.
        {"check", "--port", "/dev/null", "--timeout", "1e999"},
        {"check", "--port", "/dev/null", "--timeout", "nan"},
        {"check", "--port", "/dev/null", "--timeout", "3s"},
        {"check", "--port", "/dev/null", "--timeout", "99999999999999999999"},
        {"log", "--port", "/dev/null", "--duration", "inf"},
        // An empty --port names no device.
        {"check", "--port", ""},
        {"program", "map", "x.map", "--port", "/dev/null", "--port", ""},
    };
    for (const auto& args : wrong) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const RunResult r = RunOrlo(args, {"ORLO_PORT="});
        EXPECT_EQ(r.exitCode, 2);
        // The error, the command's one-line usage and where to read more; not the help.
        const std::string command = args.empty() || args[0] == "flash" ? "" : args[0] + " ";
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
        EXPECT_EQ(r.err.rfind("orlo: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\nusage: orlo " + command), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\nrun 'orlo " + command + "--help' for more\n"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
    // A missing --port is a usage error too, unless ORLO_PORT names the device.
    const RunResult noPort = RunOrlo({"check"}, {"ORLO_PORT="});
    EXPECT_EQ(noPort.exitCode, 2);
    EXPECT_NE(noPort.err.find("--port"), std::string::npos) << noPort.err;
}

TEST_F(CliTest, HelpGuidesANewUser) {
    const RunResult top = RunOrlo({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char* word : {"ports", "program", "read", "check", "sweep", "log", "test-tx",
                             "bmp2h", "--json", "--quiet", "Exit status"})
        EXPECT_NE(top.out.find(word), std::string::npos) << word;

    const RunResult program = RunOrlo({"program", "--help"});
    EXPECT_EQ(program.exitCode, 0);
    for (const char* word : {"REGION", "application", "--port", "--timeout", "gang"})
        EXPECT_NE(program.out.find(word), std::string::npos) << word;
    const RunResult sweep = RunOrlo({"sweep", "--help"});
    EXPECT_NE(sweep.out.find("max+100"), std::string::npos);

    // The layout of every help is HelpTest's.
}

// Outputs that are not regular files are refused before the port opens: a pipe would hold the
// command in its open for ever, a device node would receive the data.
TEST_F(CliTest, OutputsThatAreNotRegularFilesAreRefusedBeforeThePortOpens) {
    auto& sim = StartDevice();
    const std::string fifo = (dir / "pipe.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = (dir / "tty.bin").string();
    fs::create_symlink(sim.SlavePath(), link);
    const std::vector<std::vector<std::string>> commands = {
        {"read", "user", fifo},
        {"read", "user", "/dev/null"},
        {"read", "user", link},
        {"log", "--output", fifo, "--duration", "1"},
    };
    for (std::vector<std::string> args : commands) {
        const std::string out = args[2];  // the output file of each command
        args.insert(args.end(), {"--port", sim.SlavePath()});
        const RunResult r = RunOrlo(args, {}, std::chrono::seconds(20));
        EXPECT_FALSE(r.timedOut) << args[2];
        EXPECT_EQ(r.exitCode, 5) << args[2];
        EXPECT_NE(r.err.find("cannot write " + out + ": it is not a regular file"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(sim.GetDevice().Stats().frames, 0u);
}

// What a command prints must not be lost in silence: a standard output that cannot take it ends
// the command with exit 5 and one sentence. (A reader that left, as with `| head -1`, is not an
// error of the command and stays quiet.)
TEST_F(CliTest, AStandardOutputThatFailsEndsTheCommandWithExit5) {
    auto& sim = StartDevice();
    std::atomic<bool> done{false};
    std::thread printer([&] {
        while (!done.load()) {
            sim.PrintLine("device ready");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const std::vector<std::vector<std::string>> commands = {
        {"ports", "--json"},
        {"check", "--port", sim.SlavePath()},
        {"sweep", "read", "--port", sim.SlavePath()},
        {"--json", "check", "--port", sim.SlavePath()},
        {"log", "--port", sim.SlavePath(), "--duration", "600"},  // ends at its first line
    };
    for (const auto& command : commands) {
        std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" > /dev/full", BinPath("orlo")};
        args.insert(args.end(), command.begin(), command.end());
        Child child("/bin/sh", args);
        const RunResult r = child.Wait(std::chrono::seconds(60));
        EXPECT_FALSE(r.timedOut) << command[0];
        EXPECT_EQ(r.exitCode, 5) << command[0] << ": " << r.err;
        const std::string sentence = "orlo: cannot write to standard output: No space left on device";
        const std::size_t said = r.err.find(sentence);
        EXPECT_NE(said, std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(sentence, said + 1), std::string::npos) << r.err;
    }
    done = true;
    printer.join();
}

}  // namespace
}  // namespace orlo::cli::test
