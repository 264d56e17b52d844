#include "run/Boxes.h"

#include <array>

#include "protocol/ReadBack.h"
#include "tools/BitmapConverter.h"

namespace orlo::run {

namespace {

struct Known {
    std::string_view text;
    BoxVerdict verdict;
    bool prefix;  // the dialog adds a path after the text
};

constexpr BoxVerdict kPort{BoxKind::Failure, ExitCode::PortFailure};
constexpr BoxVerdict kDevice{BoxKind::Failure, ExitCode::DeviceFailure};
constexpr BoxVerdict kFile{BoxKind::Failure, ExitCode::FileProblem};
constexpr BoxVerdict kWarning{BoxKind::Warning, ExitCode::Completed};

const std::array<Known, 22> kKnown = {{
    {"Can not use COM port!", kPort, false},
    {"The port is not ready. Try again!", kPort, false},
    {"Tx Error", kDevice, false},
    {"Check Flash Memory please.....", kDevice, false},
    {"Application program is too BIG!!!", kFile, false},
    {"Voice data is too BIG!!!", kFile, false},
    {"Map data is too BIG!!!", kFile, false},
    {"Can not open ", kFile, true},
    {"Can not read ", kFile, true},
    {"Can not write ", kFile, true},
    {"The image file is empty: ", kFile, true},
    {"Incorrect Mono", kWarning, false},
    {"Incorrect Gray", kWarning, false},
    {kInvalidBmpFormat, kFile, false},
    {kBmpTooBigPrefix, kFile, true},
    {kHeaderWriteFailed, kFile, false},
    {kBmpCannotOpen, kFile, false},
    {"The device leaves the ", kWarning, true},
    {kBmpLayoutPrefix, kFile, true},
    {kBmpCompressed, kFile, false},
    {kBmpNoPalette, kFile, false},
    {kArrayRenamedPrefix, kWarning, true},
}};

}  // namespace

std::string_view ProgramCompletedText(RegionId region) {
    switch (region) {
        case RegionId::Application:
            return "Programming completed of Application data, and Remove Target";
        case RegionId::Voice:
            return "Programming completed of Voice data";
        case RegionId::Map:
            return "Programming completed of Map data";
        case RegionId::User:
            return "Programming completed of User data";
    }
    return {};
}

std::string_view ReadCompletedText(RegionId region) {
    return ReadBackRowFor(region).done;
}

BoxVerdict ClassifyBox(std::string_view text, std::string_view expectedCompletion,
                       bool duringStart) {
    // A read-back's completion names the file it wrote after its text.
    if (!expectedCompletion.empty() &&
        (text == expectedCompletion ||
         (text.starts_with(expectedCompletion) &&
          text.substr(expectedCompletion.size()).starts_with(": "))))
        return {BoxKind::Completion, ExitCode::Completed};
    for (const Known& k : kKnown) {
        if (k.prefix ? text.starts_with(k.text) : text == k.text) return k.verdict;
    }
    // Texts of other runs ("Reading completed of ..." while programming) cannot end this one.
    if (text.starts_with("Programming completed of ") || text.starts_with("Reading completed of "))
        return {BoxKind::Info, ExitCode::Completed};
    // Anything else the dialog reports is a fault; inside the start click it concerns the
    // file the command named, later the device or the run.
    return {BoxKind::Failure, duringStart ? ExitCode::FileProblem : ExitCode::DeviceFailure};
}

}  // namespace orlo::run
