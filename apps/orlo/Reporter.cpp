#include "Reporter.h"

#include "PortListing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "VerifyCommand.h"

#include "ExitCodes.h"
#include "HelpFormat.h"
#include "record/Sha256.h"
#include "run/RunSentences.h"

namespace orlo::cli {

namespace {

using nlohmann::json;

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);  // live line refresh, at most
constexpr int kPlainStepPercent = 10;                           // plain progress line step

std::string KindName(BoxKind kind) {
    switch (kind) {
        case BoxKind::Completion:
            return "completion";
        case BoxKind::Failure:
            return "failure";
        case BoxKind::Warning:
            return "warning";
        case BoxKind::Info:
            return "info";
    }
    return "info";
}

// Device text may hold any byte: what is not UTF-8 is replaced rather than refused. Every
// object carries the stream's schema version.
std::string Dump(json j) {
    j["schema"] = kJsonSchemaVersion;
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// "The" or "Permission", but not "COM80", "USB" or "ModemManager": a word whose capital
// belongs to the sentence, not to the word.
bool CapitalisedByPlace(const std::string& text) {
    if (text.size() < 2 || !std::isupper(static_cast<unsigned char>(text[0]))) return false;
    std::size_t i = 1;
    while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) {
        if (!std::islower(static_cast<unsigned char>(text[i]))) return false;
        ++i;
    }
    return i > 1 && (i == text.size() || text[i] == ' ' || text[i] == ',');
}

constexpr std::string_view kPrefix = "orlo: ";
// The "hang" of data (device lines, the check text, the port list): printed as it is.
constexpr std::size_t kAsIs = static_cast<std::size_t>(-1);

}  // namespace

std::string AsClause(const std::string& sentence) {
    std::string clause = sentence;
    if (CapitalisedByPlace(clause))
        clause[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(clause[0])));
    if (clause.ends_with(".") && !clause.ends_with("..")) clause.pop_back();
    return clause;
}

std::string AsSentence(const std::string& clause) {
    std::string sentence = clause;
    if (sentence.empty()) return sentence;
    if (std::islower(static_cast<unsigned char>(sentence[0])))
        sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    const char last = sentence.back();
    if (last != '.' && last != '!' && last != '?') sentence += '.';
    return sentence;
}

Reporter::Reporter(std::ostream& out, std::ostream& err, ReporterOptions options,
                   std::function<Clock::time_point()> now)
    : m_out(out), m_err(err), m_options(options), m_now(std::move(now)) {
    if (!m_now) m_now = [] { return Clock::now(); };
    if (m_options.json) m_options.quiet = false;  // --json reports everything, as objects
}

Reporter::~Reporter() {
    if (m_drawn > 0 && !Gang()) m_out << "\n";
    FlushOut();
}

void Reporter::FlushOut() {
    m_out.flush();
    // The first failure is the one to tell: the stream stays failed after it.
    if (!m_out && m_outError == 0) m_outError = errno != 0 ? errno : EIO;
}

int Reporter::Conclude(int exitCode) {
    FlushOut();
    if (m_outError == 0 || m_outError == EPIPE) return exitCode;  // a reader that left: quiet
    m_err << "orlo: cannot write to standard output: " << std::strerror(m_outError) << "\n";
    m_err.flush();
    return ToInt(ExitCode::FileProblem);
}

int Reporter::AddPort(const std::string& label, const std::string& comName) {
    // A command that runs one region after another on a port adds it again: the same line.
    for (std::size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i].label == label && m_ports[i].comName == comName) return static_cast<int>(i);
    PortLine line;
    line.label = label;
    line.comName = comName;
    line.added = m_now();
    m_ports.push_back(std::move(line));
    return static_cast<int>(m_ports.size()) - 1;
}

void Reporter::SetImage(const std::string& region, uint64_t size, const std::string& sha256) {
    m_programming = true;
    m_region = region;
    m_imageSize = size;
    m_imageSha = sha256;
}

void Reporter::Json(const std::string& object) {
    m_out << object << "\n";
    FlushOut();
}

std::string Reporter::Prefix(int port) const {
    if (port < 0 || !Gang()) return {};
    return m_ports[static_cast<std::size_t>(port)].label + ": ";
}

void Reporter::ClearLive() {
    if (m_drawn == 0) return;
    if (Gang())
        m_out << "\x1b[" << m_drawn << "A\r\x1b[J";
    else
        m_out << "\r\x1b[K";
    m_drawn = 0;
    m_screen.clear();
    FlushOut();
}

std::size_t Reporter::Columns() const {
    const std::size_t now = m_options.columns ? m_options.columns() : 0;
    return now > 0 ? now : m_options.width;
}

void Reporter::DrawLive(bool force) {
    if (!m_options.tty || m_options.quiet || m_options.json || m_finished) return;
    const auto now = m_now();
    if (!force && m_live && now - m_lastDraw < kRedrawPeriod) {
        m_pending = true;
        return;
    }
    if (!Gang()) {
        const std::string& line = m_ports.empty() ? std::string() : m_ports[0].line;
        if (line.empty()) return;
        m_out << "\r\x1b[K" << line;
        m_drawn = 1;
    } else {
        RewriteLiveLines();
    }
    m_live = true;
    m_pending = false;
    FlushOut();
    m_lastDraw = now;
}

// Several ports: the first time (or after a message cleared them) every line is written;
// after that only the lines whose text changed, each from its first changed character. The
// cursor rests at the start of the line below the last live line between redraws.
void Reporter::RewriteLiveLines() {
    // One column is left free: a line that fills the last column wraps on some terminals.
    const std::size_t columns = Columns();
    const std::size_t width = columns > 1 ? columns - 1 : columns;
    const std::size_t n = m_ports.size();
    std::vector<std::string> lines(n);
    for (std::size_t i = 0; i < n; ++i) {
        const PortLine& p = m_ports[i];
        lines[i] = p.line.empty() ? p.label + "  opening" : p.line;
        if (width > 0 && lines[i].size() > width) lines[i].resize(width);
    }
    if (m_drawn != n) {
        ClearLive();
        std::string text;
        for (const std::string& line : lines) text += "\x1b[2K" + line + "\n";
        m_out << text;
        m_drawn = n;
        m_screen = std::move(lines);
        return;
    }
    std::string text;
    std::size_t row = n;  // the cursor's line, counted from the first live line
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& line = lines[i];
        const std::string& shown = m_screen[i];
        if (line == shown) continue;
        // Keep what is unchanged at the start; columns are counted in bytes, so only as far
        // as the text is plain ASCII.
        std::size_t same = 0;
        while (same < line.size() && same < shown.size() && line[same] == shown[same] &&
               static_cast<unsigned char>(line[same]) < 0x80)
            ++same;
        text += row > i ? "\x1b[" + std::to_string(row - i) + "A" : "";
        text += row < i ? "\x1b[" + std::to_string(i - row) + "B" : "";
        text += "\x1b[" + std::to_string(same + 1) + "G";
        text += line.substr(same) + "\x1b[K\r";
        row = i;
        m_screen[i] = line;
    }
    if (row < n) text += "\x1b[" + std::to_string(n - row) + "B";
    m_out << text;
}

void Reporter::Refresh() {
    if (m_pending) DrawLive();
}

void Reporter::PrintLine(std::ostream& stream, const std::string& text, std::size_t hang) {
    const bool live = m_drawn > 0;
    if (live) {
        if (Gang()) {
            ClearLive();
        } else {
            // One port: the progress line stays as it is, the message goes below it.
            m_out << "\n";
            FlushOut();
            m_drawn = 0;
            m_pending = false;
        }
    }
    const std::size_t columns = &stream == &m_out ? m_options.outColumns : m_options.errColumns;
    stream << (hang == kAsIs ? text : help::Wrap(text, columns, hang)) << "\n";
    if (&stream == &m_out)
        FlushOut();
    else
        stream.flush();
    // The lines come back at the next redraw: messages that follow one another in the same
    // period cost one clear and one redraw between them.
    if (live && Gang()) DrawLive();
}

void Reporter::Opened(int port, const std::string& comName, const std::string& path) {
    if (m_options.json) {
        Json(Dump({{"event", "open"},
                   {"port", m_ports[static_cast<std::size_t>(port)].label},
                   {"com", comName},
                   {"path", path}}));
        return;
    }
    // One port: named once, ahead of its progress, and left out of the progress line.
    const std::string& label = m_ports[static_cast<std::size_t>(port)].label;
    m_portName = "port " + comName + (label == comName ? "" : " (" + label + ")");
}

void Reporter::Box(int port, const std::string& text, BoxKind kind, const std::string& context) {
    if (m_options.json) {
        json j = {{"event", "message"}, {"text", text}, {"kind", KindName(kind)}};
        if (!context.empty()) j["context"] = context;
        if (port >= 0) j["port"] = m_ports[static_cast<std::size_t>(port)].label;
        Json(Dump(j));
        return;
    }
    const bool problem = kind == BoxKind::Failure || kind == BoxKind::Warning;
    if (!problem && m_options.quiet) return;
    PrintLine(problem ? m_err : m_out,
              Prefix(port) + text + (context.empty() ? "" : " (" + context + ")"));
}

void Reporter::Progress(int port, const ProgressSnapshot& snapshot) {
    PortLine& p = m_ports[static_cast<std::size_t>(port)];
    if (snapshot.hasData) p.lastBlock = snapshot;  // for the run's last line, shown or not
    if (!m_options.progress) return;
    ProgressSnapshot s = snapshot;
    if (!Gang()) s.label.clear();  // named once when the port opened
    if (m_options.json) {
        const std::string key =
            s.hasData ? s.phase + "|" + std::to_string(s.percent) : "status|" + s.status;
        if (key == p.lastKey) return;
        p.lastKey = key;
        json j;
        if (s.hasData) {
            const double eta = SecondsLeft(s);
            j = {{"event", "progress"},
                 {"port", p.label},
                 {"region", s.region},
                 {"phase", s.phase},
                 {"percent", s.percent},
                 {"bytes", s.phaseDone},
                 {"total", s.phaseTotal},
                 {"overall_bytes", s.overallDone},
                 {"overall_total", s.overallTotal},
                 {"rate", RateOf(s)},
                 {"line_limit", kLineLimitBytesPerSecond},
                 {"eta", eta < 0 ? json(nullptr) : json(eta)},
                 {"status", s.status}};
        } else {
            j = {{"event", "status"}, {"port", p.label}, {"region", s.region}, {"text", s.status}};
        }
        Json(Dump(j));
        return;
    }
    if (m_options.quiet) return;
    if (!Gang() && !m_portName.empty()) {
        PrintLine(m_out, m_portName);
        m_portName.clear();
    }
    if (!m_options.tty) {
        const std::string key = s.hasData
                                    ? s.phase + "|" + std::to_string(s.percent / kPlainStepPercent)
                                    : "status|" + s.status;
        if (key == p.lastKey) return;
        p.lastKey = key;
        PrintLine(m_out, FormatProgressLine(s, false, 0));
        return;
    }
    const std::size_t columns = Columns();
    const std::size_t width = columns > 1 ? columns - 1 : columns;
    const std::string key = s.hasData ? s.phase : "status|" + s.status;
    const bool changed = key != p.lastKey || (s.percent >= 100 && p.lastPercent < 100);
    p.lastKey = key;
    p.lastPercent = s.hasData ? s.percent : -1;
    p.line = FormatProgressLine(s, true, width);
    // One port: a new phase shows at once. Several: every change waits for the period.
    DrawLive(changed && !Gang());
}

void Reporter::Error(int port, const std::string& sentence, const std::string& hint) {
    if (m_options.json) {
        json j = {{"event", "error"}, {"text", sentence}};
        if (!hint.empty()) j["hint"] = hint;
        if (port >= 0) j["port"] = m_ports[static_cast<std::size_t>(port)].label;
        Json(Dump(j));
        return;
    }
    std::string line(kPrefix);
    if (port >= 0) {
        const std::string& label = m_ports[static_cast<std::size_t>(port)].label;
        if (sentence.find(label) == std::string::npos) line += label + ": ";
    }
    PrintLine(m_err, line + AsClause(sentence), kPrefix.size());
    if (!hint.empty()) PrintLine(m_err, line + AsClause(hint), kPrefix.size());
}

void Reporter::Note(int port, const std::string& sentence) {
    if (m_options.json) {
        json j = {{"event", "note"}, {"text", sentence}};
        if (port >= 0) j["port"] = m_ports[static_cast<std::size_t>(port)].label;
        Json(Dump(j));
        return;
    }
    if (m_options.quiet) return;
    PrintLine(m_out, Prefix(port) + AsSentence(sentence));
}

void Reporter::Waiting(int port, const std::string& sentence) {
    if (m_options.json) {
        json j = {{"event", "waiting"}, {"text", sentence}};
        if (port >= 0) j["port"] = m_ports[static_cast<std::size_t>(port)].label;
        Json(Dump(j));
        return;
    }
    if (m_options.quiet) return;
    PrintLine(m_err, std::string(kPrefix) + Prefix(port) + AsClause(sentence), kPrefix.size());
}

void Reporter::DeviceLine(int port, const std::string& line, bool print) {
    if (m_options.json) {
        Json(Dump({{"event", "line"},
                   {"port", m_ports[static_cast<std::size_t>(port)].label},
                   {"text", line}}));
        return;
    }
    if (print) PrintLine(m_out, Prefix(port) + line, kAsIs);
}

void Reporter::CheckText(int port, const std::string& text) {
    if (m_options.json) {
        Json(Dump({{"event", "check"},
                   {"port", m_ports[static_cast<std::size_t>(port)].label},
                   {"text", text}}));
        return;
    }
    PrintLine(m_out, Prefix(port) + text, kAsIs);
}

void Reporter::Sweep(int port, int max, int min, int timeMs, int tm) {
    if (m_options.json) {
        Json(Dump({{"event", "sweep"},
                   {"port", m_ports[static_cast<std::size_t>(port)].label},
                   {"max", max},
                   {"min", min},
                   {"time_ms", timeMs},
                   {"tm", tm}}));
        return;
    }
    const std::string p = Prefix(port);
    PrintLine(m_out, p + "sweep max: " + std::to_string(max));
    PrintLine(m_out, p + "sweep min: " + std::to_string(min));
    PrintLine(m_out, p + "sweep time: " + std::to_string(timeMs) + " ms");
    PrintLine(m_out, p + "Tm: " + std::to_string(tm));
}

void Reporter::PortList(const std::vector<PortInfo>& ports) {
    if (m_options.json) {
        for (const PortInfo& p : ports) {
            Json(Dump({{"event", "port"},
                       {"com", p.comName},
                       {"path", p.devicePath},
                       {"kernel", p.valueName},
                       {"description", p.description},
                       {"by_id", p.byId},
                       {"by_path", p.byPath},
                       {"vendor_id", p.vendorId},
                       {"product_id", p.productId},
                       {"manufacturer", p.manufacturer},
                       {"product", p.product},
                       {"serial", p.serialNumber},
                       {"driver", p.driver}}));
        }
        return;
    }
    if (ports.empty()) return;
    const std::vector<std::string> lines = PortListingLines(ports);
    for (std::size_t i = m_options.quiet ? 1 : 0; i < lines.size(); ++i)
        PrintLine(m_out, lines[i], kAsIs);
}

void Reporter::Header(const std::string& path) {
    if (m_options.json) {
        Json(Dump({{"event", "header"}, {"path", path}}));
        return;
    }
    if (!m_options.quiet) PrintLine(m_out, "Wrote " + path + ".");
}

void Reporter::Result(int port, const Outcome& o) {
    // Port -1: a run refused before any port was opened.
    const std::string label = port >= 0 ? m_ports[static_cast<std::size_t>(port)].label : "";
    if (m_options.json) {
        json j = {{"event", "result"},
                  {"port", port >= 0 ? json(label) : json(nullptr)},
                  {"com", port >= 0 ? json(m_ports[static_cast<std::size_t>(port)].comName)
                                    : json(nullptr)},
                  {"ok", o.code == ExitCode::Completed},
                  {"exit", ToInt(o.code)},
                  {"outcome", std::string(ExitName(o.code))},
                  {"message", o.message},
                  {"detail", o.detail}};
        if (!o.phase.empty()) {
            j["phase"] = o.phase;
            j["address"] = o.address ? json(*o.address) : json(nullptr);
            j["sends"] = o.sends;
        }
        if (o.fileSize) j["size"] = *o.fileSize;
        if (o.limit) j["limit"] = *o.limit;
        if (!o.file.empty()) {
            j["file"] = o.file;
            j["bytes"] = o.fileBytes;
            j["expected_bytes"] = o.expectedBytes;
            j["partial"] = o.partial;
        }
        if (o.verify) j["verify"] = VerifyJson(*o.verify);
        Json(Dump(j));
        return;
    }
    if (port < 0) return;
    if (m_options.tty && Gang() && !m_options.quiet) {
        // The port's live line ends with its result.
        std::string text = o.message.empty() ? o.detail : o.message;
        m_ports[static_cast<std::size_t>(port)].line =
            label + "  " + std::string(ExitName(o.code)) + (text.empty() ? "" : "  " + text);
        if (m_live) DrawLive();
    }
    Conclusion(port, o);
}

void Reporter::Conclusion(int port, const Outcome& o) {
    const PortLine& p = m_ports[static_cast<std::size_t>(port)];
    const double seconds = std::chrono::duration<double>(m_now() - p.added).count();
    if (m_programming) {
        if (o.code == ExitCode::Completed) {
            Note(port, run::ProgrammedSentence(m_imageSize, seconds, m_imageSha));
            return;
        }
        run::StepReach reach;
        reach.region = p.lastBlock.region;
        reach.phase = p.lastBlock.hasData ? p.lastBlock.phase : std::string();
        reach.done = p.lastBlock.phaseDone;
        reach.total = p.lastBlock.hasData ? p.lastBlock.phaseTotal : m_imageSize;
        if (reach.region.empty()) reach.region = m_region;
        const std::string sentence = run::StoppedProgrammingSentence(reach, o.phase);
        if (!sentence.empty()) Error(port, sentence);
        return;
    }
    if (o.file.empty()) return;
    if (o.partial) {
        // Standard output takes only a whole region: the bytes of one that did not complete
        // are not kept anywhere.
        Error(port, "partial read-back: " + std::to_string(o.fileBytes) + " of " +
                        std::to_string(o.expectedBytes) +
                        (o.file == "-" ? std::string(" bytes read, none written to standard output")
                                       : " bytes kept in " + o.file));
    } else if (o.code == ExitCode::Completed && o.file != "-") {
        // Standard output gets the bytes after the run; the command says when they are out.
        Note(port, run::ReadSentence(o.fileBytes, seconds, record::FileSha256(o.file).value_or("")));
    }
}

void Reporter::Finish(const std::vector<Outcome>& outcomes, int exitCode) {
    if (m_live && (m_pending || (Gang() && m_drawn == 0))) DrawLive(true);  // the last state
    if (m_drawn > 0) {
        // Leave the live lines standing with their last state.
        if (!Gang()) m_out << "\n";
        m_drawn = 0;
        FlushOut();
    }
    m_finished = true;
    if (m_options.json) {
        Json(Dump({{"event", "done"}, {"exit", exitCode}}));
        return;
    }
    if (!Gang() || m_options.quiet) return;
    std::size_t labelWidth = 4;
    for (const PortLine& p : m_ports) labelWidth = std::max(labelWidth, p.label.size());
    auto row = [&](const std::string& a, const std::string& com, const std::string& b,
                   const std::string& c) {
        std::string line = a + std::string(labelWidth + 2 - a.size(), ' ') + com;
        line += std::string(com.size() < 7 ? 7 - com.size() : 1, ' ') + b;
        line += std::string(b.size() < 16 ? 16 - b.size() : 1, ' ') + c;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        m_out << line << "\n";
    };
    m_out << "\n";
    row("PORT", "COM", "RESULT", "MESSAGE");
    for (std::size_t i = 0; i < m_ports.size() && i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        std::string text = o.message;
        if (!o.detail.empty()) text += text.empty() ? o.detail : " (" + o.detail + ")";
        row(m_ports[i].label, m_ports[i].comName.empty() ? "-" : m_ports[i].comName,
            std::string(ExitName(o.code)), text);
    }
    FlushOut();
}

}  // namespace orlo::cli
