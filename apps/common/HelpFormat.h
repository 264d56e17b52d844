// The help of orlo and orlo-devsim, and the long messages of orlo, laid out in one way: texts
// are written as paragraphs (one line each, no line breaks of their own) and wrapped here
// once, at blanks, to the terminal's width (80 columns when the output is not a terminal).
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orlo::help {

// The width help is wrapped to when the output is not a terminal (a pipe, a file, help2man).
constexpr std::size_t kDefaultColumns = 80;

// The columns of the terminal on `fd`, or 0 when `fd` is not a terminal (Windows: the console
// of standard output or standard error).
std::size_t TerminalColumns(int fd);
// The width help is wrapped to on `fd`: its terminal's columns, or kDefaultColumns.
std::size_t HelpColumns(int fd);

// `text` with each line wrapped at blanks to `width` columns: every line is a paragraph, and
// its continuation lines take its own indentation plus `hang`. A word longer than the line is
// kept whole on a line of its own; nothing is ever broken inside a word. Width 0: unchanged.
std::string Wrap(std::string_view text, std::size_t width, std::size_t hang = 0);

// One example of a help's Examples section: the command as typed, and what it does.
struct Example {
    std::string command;
    std::string what;
};
// The "Examples:" section of a help: each command indented by two, what it does by six.
std::string ExamplesSection(const std::vector<Example>& examples);
// Sets `app`'s footer: its examples, then `closing` paragraphs (may be empty).
void SetExamples(CLI::App* app, const std::vector<Example>& examples,
                 const std::string& closing = {});

// CLI11's help laid out for a terminal of `width` columns: the usage first (for a command,
// its arguments and required options: "orlo read REGION OUTFILE --port DEV [OPTIONS]"), then
// the description, the arguments, the options, the commands (each with the first sentence of
// its description) and the footer, every text wrapped once.
class Formatter : public CLI::Formatter {
  public:
    explicit Formatter(std::size_t width);

    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override;
    std::string make_usage(const CLI::App* app, std::string name) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_option_desc(const CLI::Option* opt) const override;
    std::string make_option_opts(const CLI::Option* opt) const override;
    std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_footer(const CLI::App* app) const override;

    std::size_t Width() const { return m_width; }

  private:
    std::size_t m_width;
};

// "orlo read REGION OUTFILE --port DEV [OPTIONS]": the command's positionals and required
// options, or of the program when `app` has no parent.
std::string UsageLine(const CLI::App* app);

// The first sentence of `text` (up to and including the first ". "), or all of it.
std::string FirstSentence(const std::string& text);

// Of `candidates`, the one nearest to `word` (a prefix of it, or at most two edits away), or
// empty when none is near.
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace orlo::help
