// What each of the dialog's message boxes means to a run.
#include <gtest/gtest.h>

#include "run/Boxes.h"

namespace orlo::run {
namespace {

TEST(RunBoxes, EachMessageEndsTheRunAsItShould) {
    struct Case {
        const char* text;
        bool duringStart;
        BoxKind kind;
        ExitCode code;
    };
    const std::string done = "Programming completed of Map data";
    const Case cases[] = {
        {"Programming completed of Map data", false, BoxKind::Completion, ExitCode::Completed},
        {"Programming completed of Voice data", false, BoxKind::Info, ExitCode::Completed},
        {"Tx Error", false, BoxKind::Failure, ExitCode::DeviceFailure},
        {"Check Flash Memory please.....", false, BoxKind::Failure, ExitCode::DeviceFailure},
        {"Can not use COM port!", false, BoxKind::Failure, ExitCode::PortFailure},
        {"The port is not ready. Try again!", false, BoxKind::Failure, ExitCode::PortFailure},
        {"Map data is too BIG!!!", true, BoxKind::Failure, ExitCode::FileProblem},
        {"Application program is too BIG!!!", true, BoxKind::Failure, ExitCode::FileProblem},
        {"Can not write /tmp/x.map", false, BoxKind::Failure, ExitCode::FileProblem},
        {"Incorrect Mono", true, BoxKind::Warning, ExitCode::Completed},
        {"Something new", true, BoxKind::Failure, ExitCode::FileProblem},
        {"Something new", false, BoxKind::Failure, ExitCode::DeviceFailure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const BoxVerdict v = ClassifyBox(c.text, done, c.duringStart);
        EXPECT_EQ(v.kind, c.kind);
        if (c.kind == BoxKind::Failure) {
            EXPECT_EQ(v.code, c.code);
        }
    }
    EXPECT_EQ(ProgramCompletedText(RegionId::Application),
              "Programming completed of Application data, and Remove Target");
    EXPECT_EQ(ReadCompletedText(RegionId::User), "Reading completed of User Data");
}

}  // namespace
}  // namespace orlo::run
