// Everything the command line prints, in one place, in one of three forms:
//  - human, on a terminal: one updating progress line per port (carriage return for one port,
//    cursor-up for several), messages printed above it. With several ports only the lines
//    that changed are rewritten, and at most once per redraw period: the bytes a state change
//    costs follow what changed, not the number of ports, so a slow terminal does not hold the
//    run up;
//  - human, not a terminal: plain lines (progress at each 10 % step), no control characters;
//  - --json: one JSON object a line on standard output (events, progress, results).
// --quiet keeps errors, warnings and the data a command was asked for, and nothing else.
// Used on the UI thread only.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Messages.h"
#include "Outcome.h"
#include "ProgressLine.h"
#include "serial/PortTable.h"

namespace orlo::cli {

// Version of the --json event stream: raised when a field changes meaning or goes away.
constexpr int kJsonSchemaVersion = 1;

struct ReporterOptions {
    bool json = false;
    bool quiet = false;
    bool tty = false;       // the live line: the output is a terminal (or --progress=live)
    bool progress = true;   // false: --progress=none
    std::size_t width = 0;  // its columns (0: unknown)
    // The terminal's columns now, asked before each redraw so a resized window is followed;
    // empty or 0: `width`.
    std::function<std::size_t()> columns;
    // Messages are wrapped at blanks to these widths: of the terminal the reporter's output
    // and standard error go to (0: not a terminal, one line a message).
    std::size_t outColumns = 0;
    std::size_t errColumns = 0;
};

// The two styles of the command line's own messages, one for each stream: on standard error a
// clause after "orlo: " ("orlo: the serial port /dev/ttyUSB0 does not exist"), on standard
// output a sentence ("Wrote 4096 bytes to user.dat."). Sentences of other layers are turned
// into the stream's style: a first word that is capitalised only by its place is lowered, a
// closing full stop dropped, or the other way round.
std::string AsClause(const std::string& sentence);
std::string AsSentence(const std::string& clause);

class Reporter {
  public:
    using Clock = std::chrono::steady_clock;

    Reporter(std::ostream& out, std::ostream& err, ReporterOptions options,
             std::function<Clock::time_point()> now = {});
    ~Reporter();

    // Ports of this run, in the order given, with the COM name the port list gives each (empty
    // when the port could not be named); returns the port's index.
    int AddPort(const std::string& label, const std::string& comName = {});
    bool Gang() const { return m_ports.size() > 1; }
    // A programming run: the region ("voice"), the image's size and SHA-256 (hex; empty when
    // unknown), for the line that ends each port's run.
    void SetImage(const std::string& region, uint64_t size, const std::string& sha256);
    const ReporterOptions& Options() const { return m_options; }

    // Port -1: a line that belongs to no port.
    void Opened(int port, const std::string& comName, const std::string& path);
    // `context`: what the command line adds after the dialog's text (empty: nothing).
    void Box(int port, const std::string& text, BoxKind kind, const std::string& context = {});
    void Progress(int port, const ProgressSnapshot& snapshot);
    // `hint`: what to check, on a line of its own (--json: the object's "hint"). The port is
    // named ahead of the sentence unless the sentence names it.
    void Error(int port, const std::string& sentence, const std::string& hint = {});
    void Note(int port, const std::string& sentence);  // informational, standard output
    // The run has waited a while for the device: what for (once per wait).
    void Waiting(int port, const std::string& sentence);
    void DeviceLine(int port, const std::string& line, bool print);
    void CheckText(int port, const std::string& text);
    void Sweep(int port, int max, int min, int timeMs, int tm);
    // `orlo ports`: aligned columns under a heading (no heading with --quiet), or one object
    // a port with every detail.
    void PortList(const std::vector<PortInfo>& ports);
    void Header(const std::string& path);
    void Result(int port, const Outcome& outcome);
    // Draws live lines whose redraw the period held back, once the period allows. Called
    // after every turn of the event loop.
    void Refresh();
    // The end of the run: the live lines stay as they are, the results table of several
    // ports follows, and --json gets its last object.
    void Finish(const std::vector<Outcome>& outcomes, int exitCode);
    // True once a write to standard output has failed (a full disk, a reader that left).
    bool OutputBroken() const { return m_outError != 0; }
    // The command's exit status: `exitCode`, or 5 with one sentence on standard error when
    // standard output could not take what was printed. A reader that left (a closed pipe, as
    // with `| head -1`) is not an error of the command and stays quiet.
    int Conclude(int exitCode);

  private:
    struct PortLine {
        std::string label;
        std::string comName;
        std::string line;     // the live line, when there is one
        std::string lastKey;  // what was last printed or drawn
        int lastPercent = -1;
        Clock::time_point added{};   // when the run on it began
        ProgressSnapshot lastBlock;  // the last progress of a block phase
    };
    // What the run's last line says: how programming ended, or what a read-back wrote.
    void Conclusion(int port, const Outcome& o);

    void Json(const std::string& object);
    std::size_t Columns() const;
    std::string Prefix(int port) const;
    // `hang`: the indentation of a wrapped message's further lines.
    void PrintLine(std::ostream& stream, const std::string& text, std::size_t hang = 0);
    void FlushOut();
    void ClearLive();
    // `force`: draw now, whatever the period says (the end of the run).
    void DrawLive(bool force = false);
    void RewriteLiveLines();

    std::ostream& m_out;
    std::ostream& m_err;
    ReporterOptions m_options;
    std::function<Clock::time_point()> m_now;
    std::vector<PortLine> m_ports;
    std::size_t m_drawn = 0;  // live lines on the screen
    std::vector<std::string> m_screen;  // what each of them shows (several ports)
    bool m_live = false;                // the live lines have been started
    bool m_pending = false;             // a change waits for the redraw period
    Clock::time_point m_lastDraw{};
    bool m_finished = false;
    int m_outError = 0;  // errno of the first failed write to standard output
    std::string m_portName;  // one port: its name, until the first progress shows it
    bool m_programming = false;  // SetImage was called
    std::string m_region;
    uint64_t m_imageSize = 0;
    std::string m_imageSha;
};

}  // namespace orlo::cli
