// The sentences that end a run: what a region holds after its programming stopped short, and
// the completion line.
#include <gtest/gtest.h>

#include "run/RunSentences.h"

namespace orlo::run {
namespace {

TEST(RunSentences, AStoppedRunSaysWhatTheRegionHoldsNow) {
    struct Case {
        StepReach reach;
        const char* failedPhase;
        std::string said;
    };
    const Case cases[] = {
        // The third write block (the last, 904 bytes) was sent and not answered.
        {{"map", "Programming", 9000, 9000},
         "write",
         "The map region is incomplete (2 of 3 blocks written, none verified): program it "
         "again."},
        {{"voice", "Verifying", 4096, 2048000},
         "verify",
         "The voice region holds every block written, but only 0 of 500 blocks were verified: "
         "program it again."},
        {{"user", "", 0, 4096},
         "start",
         "The user region was not written, though the device may have erased it when it took "
         "the start frame: program it again."},
        {{"application", "Verifying", 241664, 241664},
         "finish",
         "The application image is written and verified, but the device did not confirm the "
         "finish: program it again to be sure it starts."},
        // Interrupted before the start frame was answered: nothing to say.
        {{"map", "", 0, 9000}, "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StoppedProgrammingSentence(c.reach, c.failedPhase), c.said);
}

TEST(RunSentences, TheCompletionLineGivesBytesTimeAndTheHashPrefix) {
    const std::string sha = "48e21dec8eb8f3c2a1d0e9f8a7b6c5d4e3f2a1b0c9d8e7f6a5b4c3d2e1f0a9b8";
    EXPECT_EQ(ProgrammedSentence(100000, 23.04, sha),
              "Programmed and verified 100000 bytes in 23.0 s; image SHA-256 48e21dec8eb8.");
    EXPECT_EQ(ReadSentence(241664, 366.9, sha), "Read 241664 bytes in 6:07; SHA-256 48e21dec8eb8.");
    EXPECT_EQ(ReadSentence(4096, 0.4, ""), "Read 4096 bytes in 0.4 s.");
    EXPECT_EQ(ElapsedText(59.96), "1:00");
    EXPECT_EQ(ElapsedText(3725), "1:02:05");
}

}  // namespace
}  // namespace orlo::run
