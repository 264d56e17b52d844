// The simulated device on a real pseudo-terminal, driven from the slave side as the tool would.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "Wire.h"
#include "devsim/PtyDevice.h"

namespace orlo::devsim::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);  // upper bound for anything to arrive

// The tool's end of the line.
class Port {
  public:
    explicit Port(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~Port() {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }

    void Write(const std::vector<uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0) << "write to the port failed";
            done += static_cast<std::size_t>(n);
        }
    }

    // Up to `count` bytes, as many as arrive before the patience runs out.
    std::vector<uint8_t> Read(std::size_t count, std::chrono::milliseconds patience = kPatience) {
        std::vector<uint8_t> got;
        const auto deadline = Clock::now() + patience;
        while (got.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t buf[8192];
            const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // True once the port reports a hang-up (end of file or EIO on read).
    bool HungUp() {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0) continue;
            uint8_t b;
            if (::read(m_fd, &b, 1) <= 0) return true;
        }
        return false;
    }

  private:
    int m_fd;
};

template <typename Pred>
bool Eventually(Pred pred) {
    const auto deadline = Clock::now() + kPatience;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(PtyDevice, RawStartFrameWrittenToTheSlaveIsAnsweredWithAck) {
    PtyDevice sim;
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    EXPECT_TRUE(sim.Serving());
    EXPECT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u) << sim.SlavePath();
    Port port(sim.SlavePath());
    ASSERT_TRUE(port.ok());
    port.Write(Hex("04 00 07 10 C2 63 03"));
    EXPECT_EQ(port.Read(7), Hex("04 00 07 06 42 14 03"));
    sim.Stop();
    EXPECT_FALSE(sim.Serving());
}

// The device keeps its own slave descriptor, so closing the tool's port is no hang-up.
TEST(PtyDevice, PortCanBeOpenedAndClosedAgainAndAgain) {
    PtyDevice sim;
    ASSERT_TRUE(sim.Start());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Port port(sim.SlavePath());
        ASSERT_TRUE(port.ok());
        port.Write(kStartApplication);
        EXPECT_EQ(port.Read(7), kAck);
    }
    EXPECT_EQ(sim.GetDevice().Stats().frames, 3u);
}

TEST(PtyDevice, WriteReadRoundTripTwoDevicesSideBySide) {
    PtyDevice a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    ASSERT_NE(a.SlavePath(), b.SlavePath());
    Port pa(a.SlavePath()), pb(b.SlavePath());
    pa.Write(BlockFrame(0x41, 0x3C2000, Pattern(1)));
    pb.Write(BlockFrame(0x41, 0x3C2000, Pattern(2)));
    EXPECT_EQ(pa.Read(7), kAck);
    EXPECT_EQ(pb.Read(7), kAck);
    pa.Write(ReadRequest(0x4A, 0x3C2000));
    const auto reply = pa.Read(4107);
    ASSERT_EQ(reply.size(), 4107u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.begin() + 4104), Pattern(1));
    EXPECT_EQ(b.GetDevice().ReadFlash(0x3C2000, 4096), Pattern(2));
    const auto flash = a.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x3C2000, flash.begin() + 0x3C3000), Pattern(1));
}

TEST(PtyDevice, LinesLogStartAndRawBytesOnDemand) {
    PtyDevice sim;
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    sim.PrintLine("hello");
    sim.SendLogStart();
    sim.SendRaw(Hex("AA 55"));
    EXPECT_EQ(port.Read(16),
              Cat(Cat(Bytes("hello\r\n"), Hex("04 00 07 00 42 00 03")), Hex("AA 55")));
}

TEST(PtyDevice, TraceSeesEachFrameInAndEachUnitOut) {
    std::mutex mutex;
    std::vector<std::pair<Direction, std::vector<uint8_t>>> seen;
    PtyOptions o;
    o.trace = [&](Direction d, const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(mutex);
        seen.emplace_back(d, bytes);
    };
    DeviceOptions d;
    d.faults.lineBeforeReply = "L";
    PtyDevice sim(d, o);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(Cat(Bytes("noise"), kStartApplication));
    EXPECT_EQ(port.Read(10), Cat(Bytes("L\r\n"), kAck));
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(Direction::ToDevice, kStartApplication));
    EXPECT_EQ(seen[1], std::make_pair(Direction::FromDevice, Bytes("L\r\n")));
    EXPECT_EQ(seen[2], std::make_pair(Direction::FromDevice, kAck));
}

TEST(PtyDevice, BytewiseRepliesArriveWhole) {
    DeviceOptions d;
    d.faults.bytewise = true;
    PtyDevice sim(d);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(Hex("04 00 07 50 43 E0 03"));
    EXPECT_EQ(port.Read(11), Hex("04 00 0B 51 07 D0 03 E8 7B DA 03"));
}

// Every answer late, or only the first: the frame behind a late one is answered after it.
TEST(PtyDevice, ReplyDelayHoldsTheAnswerBack) {
    for (const bool onlyTheFirst : {false, true}) {
        SCOPED_TRACE(onlyTheFirst);
        DeviceOptions d;
        if (onlyTheFirst) {
            d.faults.lateFrames = {1};
            d.faults.lateMs = 150;
        } else {
            d.faults.replyDelayMs = 150;
        }
        PtyDevice sim(d);
        ASSERT_TRUE(sim.Start());
        Port port(sim.SlavePath());
        const auto t0 = Clock::now();
        port.Write(Cat(kStartApplication, Hex("04 00 07 50 43 E0 03")));
        EXPECT_EQ(port.Read(18), Cat(kAck, Hex("04 00 0B 51 07 D0 03 E8 7B DA 03")));
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(150));
    }
}

// A smoke test only; the arithmetic itself is tested in LinePacerTest.
TEST(PtyDevice, PacedLineTakesAtLeastTheWireTimeOfBothFrames) {
    PtyOptions o;
    o.baud = 1200;  // 14 bytes: 116.7 ms
    PtyDevice sim({}, o);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    const auto t0 = Clock::now();
    port.Write(kStartApplication);
    EXPECT_EQ(port.Read(7), kAck);
    EXPECT_GE(Clock::now() - t0, WireTime(14, 1200));
}

TEST(PtyDevice, StopEndsALongReplyDelayAtOnce) {
    DeviceOptions d;
    d.faults.replyDelayMs = 600000;
    PtyDevice sim(d);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(kStartApplication);
    ASSERT_TRUE(Eventually([&] { return sim.GetDevice().Stats().frames == 1; }));
    const auto t0 = Clock::now();
    sim.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    EXPECT_TRUE(port.Read(7, std::chrono::milliseconds(50)).empty());
}

TEST(PtyDevice, HangUpAfterTheNthFrameClosesTheLine) {
    DeviceOptions d;
    d.faults.hangUpAfter = 1;
    PtyDevice sim(d);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(kStartApplication);
    EXPECT_EQ(port.Read(7), kAck);
    EXPECT_TRUE(port.HungUp());
    EXPECT_TRUE(Eventually([&] { return !sim.Serving(); }));
}

// The terminal throws unread input away when the master closes, so the device waits for the
// tool to take its last answer before it hangs up.
TEST(PtyDevice, HangUpLeavesTheToolTimeToReadTheLastAnswer) {
    std::atomic<bool> answered{false};
    PtyOptions o;
    o.trace = [&](Direction d, const std::vector<uint8_t>&) {
        if (d == Direction::FromDevice) answered = true;
    };
    DeviceOptions d;
    d.faults.hangUpAfter = 1;
    PtyDevice sim(d, o);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(kStartApplication);
    ASSERT_TRUE(Eventually([&] { return answered.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a slow reader
    EXPECT_EQ(port.Read(7), kAck);
    EXPECT_TRUE(port.HungUp());
}

TEST(PtyDevice, HalfFrameIsForgottenAfterTheLineGoesQuiet) {
    PtyOptions o;
    o.partialTimeout = std::chrono::milliseconds(50);
    PtyDevice sim({}, o);
    ASSERT_TRUE(sim.Start());
    Port port(sim.SlavePath());
    port.Write(Hex("04 00 0B 1A"));  // a read request cut short
    ASSERT_TRUE(Eventually([&] { return sim.GetDevice().HasPartial(); }));
    ASSERT_TRUE(Eventually([&] { return !sim.GetDevice().HasPartial(); }));
    port.Write(kStartApplication);
    EXPECT_EQ(port.Read(7), kAck);
}

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

TEST(PtyDeviceLink, PointsToTheSlaveWhileServingAndIsRemovedAfter) {
    TempDir dir;
    const std::string link = dir.File("orlo-port");
    std::filesystem::create_symlink("/nonexistent", link);  // a stale link is replaced
    PtyOptions o;
    o.linkPath = link;
    PtyDevice sim({}, o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.SlavePath());
    {
        Port port(link);
        ASSERT_TRUE(port.ok());
        port.Write(kStartApplication);
        EXPECT_EQ(port.Read(7), kAck);
    }
    sim.Stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(PtyDeviceLink, AnExistingFileIsNeverReplaced) {
    TempDir dir;
    const std::string path = dir.File("precious");
    std::ofstream(path) << "keep me";
    PtyOptions o;
    o.linkPath = path;
    PtyDevice sim({}, o);
    std::string error;
    EXPECT_FALSE(sim.Start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(sim.Serving());
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
}

}  // namespace
}  // namespace orlo::devsim::test
