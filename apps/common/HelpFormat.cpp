#include "HelpFormat.h"

#include <algorithm>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace orlo::help {

std::size_t TerminalColumns(int fd) {
#ifdef _WIN32
    HANDLE handle = GetStdHandle(fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<std::size_t>(columns) : 0;
#else
    if (::isatty(fd) != 1) return 0;
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
#endif
}

std::size_t HelpColumns(int fd) {
    const std::size_t columns = TerminalColumns(fd);
    return columns > 0 ? columns : kDefaultColumns;
}

std::string Wrap(std::string_view text, std::size_t width, std::size_t hang) {
    if (width == 0) return std::string(text);
    std::string out;
    std::size_t begin = 0;
    while (true) {
        std::size_t end = text.find('\n', begin);
        const bool last = end == std::string_view::npos;
        if (last) end = text.size();
        const std::string_view line = text.substr(begin, end - begin);
        const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
        // Continuation lines are indented like the paragraph, as long as some text still fits.
        std::size_t next = indent + hang;
        if (next + 20 > width) next = std::min(indent, width / 2);
        std::string current(line.substr(0, indent));
        bool empty = true;  // `current` holds no word yet
        std::size_t at = indent;
        while (at < line.size()) {
            const std::size_t wordEnd = std::min(line.find(' ', at), line.size());
            const std::string_view word = line.substr(at, wordEnd - at);
            if (!empty && current.size() + 1 + word.size() > width) {
                out += current + "\n";
                current.assign(next, ' ');
                empty = true;
            }
            if (!empty) current += ' ';
            current += word;
            empty = false;
            at = line.find_first_not_of(' ', wordEnd);
            if (at == std::string_view::npos) break;
        }
        out += current;
        if (last) break;
        out += "\n";
        begin = end + 1;
    }
    return out;
}

std::string ExamplesSection(const std::vector<Example>& examples) {
    std::string text = "Examples:";
    for (const Example& e : examples) {
        text += "\n  " + e.command;
        if (!e.what.empty()) text += "\n      " + e.what;
    }
    return text;
}

void SetExamples(CLI::App* app, const std::vector<Example>& examples, const std::string& closing) {
    std::string footer = ExamplesSection(examples);
    if (!closing.empty()) footer += "\n\n" + closing;
    app->footer(footer);
}

std::string FirstSentence(const std::string& text) {
    const std::size_t stop = text.find(". ");
    return stop == std::string::npos ? text : text.substr(0, stop + 1);
}

namespace {

// Where the descriptions of options and commands begin.
std::size_t DescriptionColumn(std::size_t width) {
    return width >= 78 ? 26 : std::max<std::size_t>(width / 3, 8);
}

// Edits from `a` to `b`: a letter added, removed, changed, or two neighbours swapped.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1u : 0u)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
    if (word.empty()) return {};
    std::string best;
    // A command typed short ("prog") or with something after it ("programs").
    for (const std::string& c : candidates) {
        if ((c.starts_with(word) || (word.starts_with(c) && c.size() >= 3)) &&
            (best.empty() || c.size() < best.size()))
            best = c;
    }
    if (!best.empty()) return best;
    // Two edits at most, and fewer than half the word: "x" is near nothing.
    std::size_t bestDistance = std::min<std::size_t>(3, (word.size() + 1) / 2);
    for (const std::string& c : candidates) {
        const std::size_t d = EditDistance(word, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    return best;
}

std::string UsageLine(const CLI::App* app) {
    const CLI::App* parent = app->get_parent();
    std::string usage = (parent != nullptr ? parent->get_name() + " " : "") + app->get_name();
    bool optional = false;
    std::string positionals;
    for (const CLI::Option* opt : app->get_options()) {
        if (opt->get_positional()) {
            positionals += " " + opt->get_name();
        } else if (opt->get_required()) {
            const auto& longs = opt->get_lnames();
            const std::string form = (longs.empty() ? opt->get_name() : "--" + longs.front()) +
                                     " " + opt->get_type_name();
            positionals += " " + form;
            if (opt->get_expected_max() > 1) positionals += " [" + form + " ...]";
        } else {
            optional = true;
        }
    }
    if (optional) usage += " [OPTIONS]";
    usage += positionals;
    const bool commands = !app->get_subcommands([](const CLI::App* sub) {
                                  return !sub->get_disabled() && !sub->get_name().empty();
                              })
                               .empty();
    if (commands) usage += " COMMAND [ARGUMENTS]";
    return usage;
}

Formatter::Formatter(std::size_t width) : m_width(width) {
    column_width(DescriptionColumn(width));
    label("Positionals", "Arguments");
    label("SUBCOMMAND", "COMMAND");
}

std::string Formatter::make_help(const CLI::App* app, std::string name,
                                 CLI::AppFormatMode mode) const {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    std::string out = make_usage(app, name);
    const std::string description = make_description(app);
    if (!description.empty()) out += "\n" + description;
    out += make_positionals(app);
    out += make_groups(app, mode);
    out += make_subcommands(app, mode);
    const std::string footer = make_footer(app);
    if (!footer.empty()) out += "\n" + footer + "\n";
    return out;
}

std::string Formatter::make_usage(const CLI::App* app, std::string) const {
    return Wrap("Usage: " + UsageLine(app), m_width, 4) + "\n";
}

std::string Formatter::make_description(const CLI::App* app) const {
    const std::string& description = app->get_description();
    if (description.empty()) return {};
    return Wrap(description, m_width) + "\n";
}

std::string Formatter::make_option_desc(const CLI::Option* opt) const {
    return Wrap(CLI::Formatter::make_option_desc(opt), m_width - get_column_width());
}

// Arguments are all required: saying so on each keeps the sweep actions' list of choices
// (which the shell completion reads) on one line.
std::string Formatter::make_option_opts(const CLI::Option* opt) const {
    std::string opts = CLI::Formatter::make_option_opts(opt);
    const std::string required = " REQUIRED";
    if (const auto at = opts.find(required); opt->get_positional() && at != std::string::npos)
        opts.erase(at, required.size());
    return opts;
}

// Every named command under one heading, whatever group it was given.
std::string Formatter::make_subcommands(const CLI::App* app, CLI::AppFormatMode) const {
    std::string out;
    for (const CLI::App* sub : app->get_subcommands({})) {
        if (sub->get_name().empty() || sub->get_disabled()) continue;
        out += make_subcommand(sub);
    }
    return out.empty() ? out : "\nCommands:\n" + out;
}

std::string Formatter::make_subcommand(const CLI::App* sub) const {
    std::stringstream out;
    CLI::detail::format_help(
        out, sub->get_name(),
        Wrap(FirstSentence(sub->get_description()), m_width - get_column_width()),
        get_column_width());
    return out.str();
}

// A command's own footer; the program's, which CLI11 hands every command it adds, belongs to
// the program's help only.
std::string Formatter::make_footer(const CLI::App* app) const {
    const std::string& footer = app->get_footer();
    if (footer.empty()) return {};
    if (app->get_parent() != nullptr && footer == app->get_parent()->get_footer()) return {};
    return Wrap(footer, m_width);
}

}  // namespace orlo::help
