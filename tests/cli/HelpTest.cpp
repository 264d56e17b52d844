// The help of orlo and orlo-devsim as a new user reads it: every text wrapped once to 80
// columns (the width of a pipe), examples in every help, and usage errors that say what was
// wrong and what was meant.
#include <gtest/gtest.h>

#include <sstream>

#include "CliProcess.h"
#include "HelpFormat.h"

namespace orlo::cli::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Where the text of a help line starts: after the gap behind an option's or command's name,
// else after the indentation.
std::size_t TextStart(const std::string& line) {
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent != 2) return indent;
    const std::size_t gap = line.find("  ", indent);
    return gap == std::string::npos ? indent : line.find_first_not_of(' ', gap);
}

// The lines of `text` that are too long, or that a second wrapping cut short: their paragraph
// goes on below them though the next line's first word would still have fitted.
std::vector<std::string> BadLines(const std::string& text, std::size_t width) {
    std::vector<std::string> bad;
    const std::vector<std::string> lines = Lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() > width) bad.push_back("too long: " + line);
        if (i + 1 == lines.size() || line.empty() || lines[i + 1].empty()) continue;
        const std::string& next = lines[i + 1];
        const std::size_t indent = next.find_first_not_of(' ');
        if (indent != TextStart(line)) continue;  // a new entry or heading
        const std::size_t word = next.find(' ', indent);
        const std::size_t wordSize = (word == std::string::npos ? next.size() : word) - indent;
        if (line.size() + 1 + wordSize <= width) bad.push_back("broken early: " + line);
    }
    return bad;
}

// The commands `orlo --help` lists.
std::vector<std::string> Commands(const std::string& help) {
    std::vector<std::string> commands;
    bool in = false;
    for (const std::string& line : Lines(help)) {
        if (!line.empty() && line[0] != ' ') in = line == "Commands:";
        if (in && line.size() > 2 && line[2] != ' ' && line.starts_with("  "))
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    return commands;
}

TEST(HelpTest, EveryHelpFitsEightyColumnsWithExamplesAndNoLineBrokenEarly) {
    const RunResult top = RunOrlo({"--help"});
    ASSERT_EQ(top.exitCode, 0);
    const std::vector<std::string> commands = Commands(top.out);
    for (const char* command : {"ports", "doctor", "program", "read", "check", "sweep", "log",
                                "test-tx", "bmp2h", "help"})
        EXPECT_NE(std::find(commands.begin(), commands.end(), command), commands.end()) << command;

    struct Help {
        std::string program;
        std::vector<std::string> args;
        std::string example;  // what an example of this help starts with
    };
    std::vector<Help> helps = {{"orlo", {"--help"}, "  orlo"},
                               {"orlo-devsim", {"--help"}, "  orlo-devsim"}};
    for (const std::string& command : commands)
        helps.push_back({"orlo", {command, "--help"}, "  orlo " + command});
    for (const Help& h : helps) {
        SCOPED_TRACE(h.program + " " + h.args[0]);
        RunResult r;
        if (h.program == "orlo")
            r = RunOrlo(h.args);
        else
            r = Child(BinPath(h.program), h.args).Wait(kRunLimit);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: " + h.program)) << r.out;
        for (const std::string& bad : BadLines(r.out, 80)) ADD_FAILURE() << bad;
        const std::size_t examples = r.out.find("\nExamples:\n");
        ASSERT_NE(examples, std::string::npos) << r.out;
        const std::string after = r.out.substr(examples);
        EXPECT_TRUE(after.find("\n" + h.example + " ") != std::string::npos ||
                    after.find("\n" + h.example + "\n") != std::string::npos)
            << r.out;
        // `orlo help COMMAND` is the command's own help.
        if (h.program == "orlo" && h.args.size() == 2) {
            EXPECT_EQ(RunOrlo({"help", h.args[0]}).out, r.out);
        }
    }
}

// The same layout on a terminal of any width: lines fill the width, and never pass it.
TEST(HelpTest, HelpIsWrappedToTheWidthItIsGiven) {
    for (const std::size_t width : {40u, 60u, 132u}) {
        SCOPED_TRACE(width);
        CLI::App app{std::string(30, 'a') + " " + std::string(200, 'b') + " words" +
                         std::string(40, ' ') + "and more words to wrap, one after another, " +
                         "until the paragraph has filled a line of every width tried here.",
                     "tool"};
        app.formatter(std::make_shared<help::Formatter>(width));
        app.add_option("--port",
                       "The device, named as the port list names it, or a path "
                       "that leads to it; repeat the option for several devices.");
        help::SetExamples(&app, {{"tool --port COM10",
                                  "Programs the device on COM10, then "
                                  "verifies every block it wrote."}});
        const std::string text = app.help();
        // The one word longer than the line stands whole on its own line, and is the only one
        // allowed past the width.
        EXPECT_NE(text.find("\n" + std::string(200, 'b') + "\n"), std::string::npos) << text;
        std::string rest = text;
        rest.erase(rest.find(std::string(200, 'b')), 200);
        for (const std::string& bad : BadLines(rest, width)) ADD_FAILURE() << bad;
        EXPECT_NE(text.find("\n  tool --port COM10\n      Programs"), std::string::npos) << text;
        std::size_t longest = 0;
        for (const std::string& line : Lines(rest)) longest = std::max(longest, line.size());
        EXPECT_GT(longest, width - 12) << text;
    }
}

TEST(HelpTest, UsageErrorsSayWhatWasWrongAndWhatWasMeant) {
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"prog", "map", "x.map"}, "orlo: 'prog' is not a command; did you mean 'program'?\n"},
        {{"--json", "chek"}, "orlo: 'chek' is not a command; did you mean 'check'?\n"},
        {{"--report", "r.json", "raed"}, "orlo: 'raed' is not a command; did you mean 'read'?\n"},
        {{"frobnicate"}, "orlo: 'frobnicate' is not a command; 'orlo --help' lists them\n"},
        {{"help", "prog"}, "orlo: 'prog' is not a command; did you mean 'program'?\n"},
        {{}, "orlo: no command given\n"},
        {{"check"},
         "orlo: no port given: name the device with --port DEV or in the ORLO_PORT "
         "environment variable; 'orlo ports' lists the ports\n"},
        {{"read", "user", "u.dat", "--bogus", "--port", "/dev/null"},
         "orlo: the following argument was not expected: --bogus\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        const RunResult r = RunOrlo(c.args, {"ORLO_PORT="});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.starts_with(c.said)) << r.err;
        EXPECT_NE(r.err.find("\nusage: orlo "), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(help::Nearest("prots", {"ports", "program"}), "ports");
    EXPECT_EQ(help::Nearest("x", {"ports", "program"}), "");
}

}  // namespace
}  // namespace orlo::cli::test
