// The orlo-devsim program as a user or a script runs it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "Wire.h"
#include "support/ChildProcess.h"

namespace orlo::devsim::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);

// orlo-devsim with its standard output and error captured.
class Program {
  public:
    explicit Program(const std::vector<std::string>& args)
        : m_child(orlo::test::BinPath("orlo-devsim"), args) {}
    bool started() const { return m_child.Started(); }

    // The next line of standard output, without its newline; empty when none came in time.
    std::string ReadLine() {
        if (!m_child.WaitForLines(m_linesRead + 1, kPatience)) return {};
        const std::string& out = m_child.Out();
        const std::size_t end = out.find('\n', m_lineStart);
        std::string line = out.substr(m_lineStart, end - m_lineStart);
        m_lineStart = end + 1;
        ++m_linesRead;
        return line;
    }

    void Signal(int sig) { m_child.Signal(sig); }

    // Exit status once the program has ended by itself; -1 when it did not end in time (it is
    // killed then).
    int Wait() {
        m_result = m_child.Wait(kPatience);
        return m_result.timedOut ? -1 : m_result.exitCode;
    }

    // Standard output after the lines ReadLine took, and standard error; call after Wait.
    std::string RestOfOut() const { return m_result.out.substr(m_lineStart); }
    const std::string& Err() const { return m_result.err; }

  private:
    orlo::test::ChildProcess m_child;
    orlo::test::RunResult m_result;
    std::size_t m_linesRead = 0;
    std::size_t m_lineStart = 0;
};

class Port {
  public:
    explicit Port(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~Port() {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    void Write(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> Read(std::size_t count) {
        std::vector<uint8_t> got;
        const auto deadline = Clock::now() + kPatience;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0) continue;
            uint8_t buf[8192];
            const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

  private:
    int m_fd;
};

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/orlo-devsim-XXXXXX";
        m_path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& leaf) const { return m_path + "/" + leaf; }

  private:
    std::string m_path;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(OrloDevsimProgram, PrintsThePortServesTracesAndSavesTheFlashOnSigterm) {
    TempDir dir;
    Program p({"-v", "--save-flash", dir.File("flash.bin")});
    ASSERT_TRUE(p.started());
    const std::string port = p.ReadLine();
    ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
    EXPECT_EQ(p.ReadLine(), "export ORLO_EXTRA_PORTS=" + port);

    Port line(port);
    ASSERT_TRUE(line.ok());
    line.Write(Hex("04 00 07 40 C3 83 03"));
    EXPECT_EQ(line.Read(7), kAck);
    line.Write(BlockFrame(0x41, 0x3C2000, Pattern(7)));
    EXPECT_EQ(line.Read(7), kAck);

    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    const std::string trace = p.RestOfOut();
    EXPECT_NE(trace.find("in  04 00 07 40 C3 83 03\nout 04 00 07 06 42 14 03\n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("in  04 10 0B 41 00 3C 20 00 "), std::string::npos) << trace;
    EXPECT_NE(trace.find("(4107 bytes)"), std::string::npos) << trace;
    EXPECT_NE(p.Err().find("2 frames received, 2 ACK, 0 NAK"), std::string::npos);

    const auto flash = ReadFile(dir.File("flash.bin"));
    ASSERT_EQ(flash.size(), 0x400000u);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x3C2000, flash.begin() + 0x3C3000), Pattern(7));
    EXPECT_EQ(flash[0x3C1FFF], 0xFF);
    EXPECT_EQ(flash[0x3C3000], 0xFF);
}

TEST(OrloDevsimProgram, LinkFlashImageAndGreetingOnTheFirstFrame) {
    TempDir dir;
    {
        std::ofstream img(dir.File("in.bin"), std::ios::binary);
        img.write("\x01\x02\x03", 3);
    }
    const std::string link = dir.File("port");
    Program p({"--link", link, "--flash-in", dir.File("in.bin"), "--log-start", "--print-line",
               "hello", "--print-line", "R 0A,"});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.ReadLine(), link);
    EXPECT_EQ(p.ReadLine(), "export ORLO_EXTRA_PORTS=" + link);

    Port line(link);
    ASSERT_TRUE(line.ok());
    line.Write(Hex("04 00 0B 2A 00 00 00 00 04 22 03"));
    const auto greeting =
        Cat(Cat(Hex("04 00 07 00 42 00 03"), Bytes("hello\r\n")), Bytes("R 0A,\r\n"));
    EXPECT_EQ(line.Read(greeting.size()), greeting);
    const auto reply = line.Read(4107);
    ASSERT_EQ(reply.size(), 4107u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.begin() + 12), Hex("01 02 03 FF"));

    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(OrloDevsimProgram, HangUpFaultEndsTheProgramByItself) {
    Program p({"--hang-up-after", "1"});
    ASSERT_TRUE(p.started());
    const std::string port = p.ReadLine();
    Port line(port);
    ASSERT_TRUE(line.ok());
    line.Write(kStartApplication);
    EXPECT_EQ(line.Read(7), kAck);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(p.Err().find("hung up"), std::string::npos);
}

TEST(OrloDevsimProgram, FaultOptionsReachTheDevice) {
    Program p({"--nak-frame", "2", "--nak-count", "2", "--line-before-reply", "dbg"});
    ASSERT_TRUE(p.started());
    Port line(p.ReadLine());
    ASSERT_TRUE(line.ok());
    const auto dbg = Bytes("dbg\r\n");
    for (const auto& expected : {kAck, kNak, kNak, kAck}) {
        line.Write(kStartApplication);
        EXPECT_EQ(line.Read(12), Cat(dbg, expected));
    }
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
}

TEST(OrloDevsimProgram, HelpExplainsEveryOption) {
    Program p({"--help"});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Wait(), 0);
    const std::string help = p.RestOfOut();
    for (const char* option : {"--verbose",           "--link",           "--flash-in",
                               "--save-flash",        "--baud",           "--sweep-max",
                               "--sweep-min",         "--strict-regions", "--print-line",
                               "--log-start",         "--every",          "--partial-timeout",
                               "--nak-frame",         "--nak-count",      "--silent-frame",
                               "--corrupt-frame",     "--corrupt-offset", "--bytewise",
                               "--line-before-reply", "--reply-delay",    "--hang-up-after",
                               "--oversize-frame"})
        EXPECT_NE(help.find(option), std::string::npos) << option << " missing from:\n" << help;
}

TEST(OrloDevsimProgram, UnreadableFlashImageIsAnErrorBeforeServing) {
    Program p({"--flash-in", "/nonexistent/flash.bin"});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_EQ(p.RestOfOut(), "");
    EXPECT_NE(p.Err().find("/nonexistent/flash.bin"), std::string::npos);
}

}  // namespace
}  // namespace orlo::devsim::test
