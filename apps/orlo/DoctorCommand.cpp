// orlo doctor: names the ports to examine, examines each and prints the findings.
#include <iostream>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Doctor.h"
#include "HelpFormat.h"
#include "PlatformPorts.h"
#include "SystemPorts.h"

namespace orlo::cli {

namespace {

// The ports to examine: those named, as the table lists them where it does; otherwise every
// listed port.
std::vector<DoctorTarget> Targets(const std::vector<std::string>& portArgs,
                                  std::vector<std::string>* unknown) {
    std::vector<DoctorTarget> targets;
    if (portArgs.empty()) {
        for (const PortInfo& port : ListPorts())
            targets.push_back({port.devicePath, port, port.devicePath});
        return targets;
    }
    std::vector<NamedPort> named;
    std::vector<std::string> paths;
    for (const std::string& arg : portArgs) {
        named.push_back(NamePort(arg));
        paths.push_back(named.back().path.empty() ? arg : named.back().path);
    }
    std::unique_ptr<IPortTable> table = MakeSystemPortTable(paths);
    const std::vector<PortInfo> list = table->Open() ? table->Enumerate() : std::vector<PortInfo>();
    for (std::size_t i = 0; i < portArgs.size(); ++i) {
        EndpointError error;
        const int index = MatchPort(list, portArgs[i], named[i].deviceKey, &error);
        if (index >= 0) {
            const PortInfo& port = list[static_cast<std::size_t>(index)];
            targets.push_back({portArgs[i], port, port.devicePath});
        } else if (!named[i].path.empty()) {
            targets.push_back({portArgs[i], PortInfo{}, named[i].path});  // say what is there
        } else {
            // The port is named once: the sentence names it already, as a rule.
            const bool named = error.sentence.find(portArgs[i]) != std::string::npos;
            unknown->push_back((named ? std::string() : portArgs[i] + ": ") + error.sentence);
        }
    }
    return targets;
}

std::string Heading(const DoctorTarget& t) {
    std::string text = t.port.comName.empty() ? t.path : t.port.comName + "  " + t.path;
    if (t.label != t.path && t.label != t.port.comName) text += "  (" + t.label + ")";
    if (!t.port.description.empty()) text += "  " + t.port.description;
    return text;
}

}  // namespace

const char* SeverityWord(Severity severity) {
    switch (severity) {
        case Severity::Ok:
            return "ok     ";
        case Severity::Note:
            return "note   ";
        case Severity::Warning:
            return "warning";
        case Severity::Blocker:
            return "BLOCKS ";
    }
    return "";
}

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Ok:
            return "ok";
        case Severity::Note:
            return "note";
        case Severity::Warning:
            return "warning";
        case Severity::Blocker:
            return "blocker";
    }
    return "";
}

int RunDoctor(const OutputOptions& output, const std::vector<std::string>& portArgs) {
    std::vector<std::string> unknown;
    const std::vector<DoctorTarget> targets = Targets(portArgs, &unknown);
    bool blocked = !unknown.empty() || targets.empty();
    using nlohmann::json;
    // Every object carries the event stream's version, as orlo's other events do.
    auto emit = [](json j) {
        j["schema"] = kJsonSchemaVersion;
        std::cout << j.dump() << "\n";
    };
    // A finding's further lines start under its text, so the words stand in one column.
    const std::size_t columns = output.json ? 0 : help::TerminalColumns(1);
    const std::size_t errColumns = output.json ? 0 : help::TerminalColumns(2);

    for (const std::string& sentence : unknown) {
        if (output.json)
            emit({{"event", "error"}, {"text", sentence}});
        else
            std::cerr << help::Wrap("orlo: " + AsClause(sentence), errColumns, 6) << "\n";
    }
    if (targets.empty() && unknown.empty()) {
        const std::string text =
            "no serial ports found: plug the adapter in, or name its device with --port";
        if (output.json)
            emit({{"event", "error"}, {"text", text}});
        else
            std::cerr << help::Wrap("orlo: " + text, errColumns, 6) << "\n";
    }
    for (const DoctorTarget& target : targets) {
        const std::vector<Finding> findings = ExaminePort(target);
        if (!output.json && !output.quiet) std::cout << Heading(target) << "\n";
        for (const Finding& f : findings) {
            if (f.severity == Severity::Blocker) blocked = true;
            if (output.json) {
                emit({{"event", "finding"},
                      {"port", target.label},
                      {"com", target.port.comName},
                      {"path", target.path},
                      {"check", f.check},
                      {"severity", SeverityName(f.severity)},
                      {"text", f.text},
                      {"fix", f.fix}});
                continue;
            }
            if (output.quiet && f.severity == Severity::Ok) continue;
            std::string line = std::string("  ") + SeverityWord(f.severity) + "  " + f.text;
            if (!f.fix.empty()) line += " - " + f.fix;
            std::cout << help::Wrap(line, columns, 9) << "\n";
        }
    }
    const int code = blocked ? ToInt(ExitCode::PortFailure) : ToInt(ExitCode::Completed);
    if (output.json) emit({{"event", "done"}, {"exit", code}});
    std::cout.flush();
    return code;
}

}  // namespace orlo::cli
