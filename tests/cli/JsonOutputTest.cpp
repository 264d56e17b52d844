// --json output, parsed back: one object a line, in the order things happened, against the
// orlo-devsim program.
#include <signal.h>

#include "CliFixture.h"

namespace orlo::cli::test {
namespace {

// orlo-devsim in the background; its first line of output names the port.
class DevsimProcess {
  public:
    explicit DevsimProcess(std::vector<std::string> args = {})
        : m_child(BinPath("orlo-devsim"), std::move(args)) {
        if (m_child.WaitForOutput("\n", kRunLimit)) {
            const std::string& out = m_child.Out();
            m_port = out.substr(0, out.find('\n'));
        }
    }
    ~DevsimProcess() {
        m_child.Signal(SIGTERM);
        m_child.Wait(kRunLimit);
    }
    const std::string& Port() const { return m_port; }
    Child& Process() { return m_child; }

  private:
    Child m_child;
    std::string m_port;
};

TEST_F(CliTest, JsonReportsTheRunAsOneObjectALine) {
    DevsimProcess devsim;
    ASSERT_EQ(devsim.Port().rfind("/dev/", 0), 0u) << devsim.Process().Err();
    const Bytes image = MakeImage(12000, 2);
    const std::string file = WriteFile("app.bin", image);

    const RunResult r =
        RunOrlo({"--json", "program", "application", file, "--port", devsim.Port()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto events = JsonLines(r.out);
    ASSERT_GE(events.size(), 4u);

    EXPECT_EQ(events.front()["event"], "open");
    EXPECT_EQ(events.front()["port"], devsim.Port());
    EXPECT_EQ(events.front()["path"], devsim.Port());
    EXPECT_EQ(events.back(), (nlohmann::json{{"event", "done"}, {"exit", 0}, {"schema", 1}}));

    // Progress: programming, then verifying, each percentage rising to 100, with the bytes.
    std::string phase = "Programming";
    int last = -1;
    bool verified = false;
    for (const auto& p : Events(events, "progress")) {
        EXPECT_EQ(p["region"], "application");
        EXPECT_EQ(p["total"], image.size());
        EXPECT_EQ(p["overall_total"], 2 * image.size());
        EXPECT_EQ(p["line_limit"], 11520.0);
        if (p["phase"] != phase) {
            EXPECT_EQ(phase, "Programming");
            EXPECT_EQ(last, 100);
            EXPECT_EQ(p["phase"], "Verifying");
            phase = "Verifying";
            last = -1;
        }
        EXPECT_GT(p["percent"].get<int>(), last);
        last = p["percent"].get<int>();
        if (phase == "Verifying" && last == 100) verified = true;
    }
    EXPECT_TRUE(verified);

    // The countdown's statuses, then the window's message, then the result.
    std::vector<std::string> statuses;
    for (const auto& s : Events(events, "status")) statuses.push_back(s["text"]);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "Wait please");
    EXPECT_EQ(statuses.back(), "Ready");
    const auto messages = Events(events, "message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["text"], "Programming completed of Application data, and Remove Target");
    EXPECT_EQ(messages[0]["kind"], "completion");
    const auto results = Events(events, "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["ok"], true);
    EXPECT_EQ(results[0]["exit"], 0);
    EXPECT_EQ(results[0]["outcome"], "completed");
}

TEST_F(CliTest, JsonReportsFailuresAndPartialFiles) {
    DevsimProcess devsim({"--silent-frame", "3"});
    ASSERT_FALSE(devsim.Port().empty());
    const std::string out = (dir / "map.map").string();
    const RunResult r =
        RunOrlo({"--json", "read", "map", out, "--port", devsim.Port(), "--timeout", "1"});
    EXPECT_EQ(r.exitCode, 4);
    const auto events = JsonLines(r.out);
    const auto errors = Events(events, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["text"],
              "timeout: the device has not answered for 1 s (the read request for flash "
              "address 0x1F6000)");
    EXPECT_NE(errors[0]["hint"].get<std::string>().find("power"), std::string::npos);
    const auto results = Events(events, "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["ok"], false);
    EXPECT_EQ(results[0]["exit"], 4);
    EXPECT_EQ(results[0]["outcome"], "timeout");
    EXPECT_EQ(results[0]["partial"], true);
    EXPECT_EQ(results[0]["file"], out + ".partial");
    EXPECT_EQ(results[0]["bytes"], 2 * 4096);
    EXPECT_EQ(results[0]["expected_bytes"], 1892352);
    EXPECT_EQ(fs::file_size(out + ".partial"), 2u * 4096);
    EXPECT_EQ(events.back()["exit"], 4);
}

}  // namespace
}  // namespace orlo::cli::test
