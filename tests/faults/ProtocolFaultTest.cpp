// Faults on the wire, end to end: orlo against orlo-devsim told to misbehave. Every case ends
// within its bound, with the exit status and message a user can act on, and never reports as
// done what was not: a completed programming run leaves the image in the device's flash, a
// completed read-back leaves the region in the file, and a stopped read-back is reported as
// partial with exactly the bytes the file holds, which are the flash's own.
#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "faults/FaultRig.h"

namespace orlo::faults {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitDeviceFailure = 1;
constexpr int kExitTimeout = 4;
constexpr int kExitInterrupted = 130;

const std::string kVoiceDone = "Programming completed of Voice data";
const std::string kApplicationRead = "Reading completed of Application data";
const std::string kTimedOut = "timeout: the device has not answered for " + kTimeoutArg + " s";

class ProtocolFaults : public FaultTest {
  protected:
    // Programs a voice image of `blocks` blocks; returns orlo's result and leaves the image in
    // `image`.
    RunResult ProgramVoice(SimulatedDevice& device, uint32_t blocks) {
        image = Pattern(blocks * kBlock - 100, 77);  // the last block is a short one
        const fs::path file = dir / "voice.adm";
        WriteFile(file, image);
        return Orlo(
            {"program", "voice", file.string(), "--port", device.Port(), "--timeout", kTimeoutArg});
    }

    // After a run that reported completion: the device's flash holds the image at address 0.
    void ExpectImageInFlash(SimulatedDevice& device) {
        ASSERT_EQ(device.Stop(), 0);
        const Bytes saved = ReadFile(savedFlash);
        ASSERT_EQ(saved.size(), kFlashSize);
        EXPECT_TRUE(Slice(saved, 0, image.size()) == image) << "flash differs from the image";
    }

    RunResult ReadApplication(SimulatedDevice& device) {
        return Orlo({"read", "application", readBack.string(), "--port", device.Port(), "--timeout",
                     kTimeoutArg});
    }

    // The read-back file holds exactly `blocks` blocks of the application region, and the
    // run's report says so.
    void ExpectPartialApplication(const RunResult& r, uint32_t blocks) {
        const fs::path partial = readBack.string() + ".partial";
        EXPECT_FALSE(fs::exists(readBack)) << "the chosen file appeared without the region";
        const Bytes got = ReadFile(partial);
        EXPECT_EQ(got.size(), blocks * kBlock);
        EXPECT_TRUE(got == Slice(flash, kApplicationBase, blocks * kBlock))
            << "the kept blocks are not the flash's";
        EXPECT_NE(r.err.find(PartialReport(blocks * kBlock, kApplicationSize, partial.string())),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find(kApplicationRead), std::string::npos) << r.out;
    }

    void ExpectWholeApplication(const RunResult& r) {
        EXPECT_EQ(r.exitCode, kExitDone) << r.err;
        EXPECT_NE(r.out.find(kApplicationRead), std::string::npos) << r.out;
        EXPECT_TRUE(ReadFile(readBack) == Slice(flash, kApplicationBase, kApplicationSize))
            << "the read-back file is not the region";
    }

    Bytes image;
    fs::path readBack;

    void SetUp() override {
        FaultTest::SetUp();
        readBack = dir / "application.bin";
    }
};

// --- NAK storms -------------------------------------------------------------------------

TEST_F(ProtocolFaults, FourNaksInARowAreResentAndTheRunCompletes) {
    auto device = Device({"--nak-frame", "3", "--nak-count", "4"});
    const RunResult r = ProgramVoice(*device, 5);
    EXPECT_EQ(r.exitCode, kExitDone) << r.err;
    EXPECT_NE(r.out.find(kVoiceDone), std::string::npos) << r.out;
    ExpectImageInFlash(*device);
    EXPECT_NE(device->Output().find(", 4 NAK"), std::string::npos) << device->Output();
}

TEST_F(ProtocolFaults, AFifthNakEndsTheRunWithTxError) {
    // The device would refuse the block for ever; the tool stops after the fifth NAK.
    auto device = Device({"--nak-frame", "3", "--nak-count", "1000"});
    const RunResult r = ProgramVoice(*device, 5);
    EXPECT_EQ(r.exitCode, kExitDeviceFailure);
    EXPECT_NE(r.err.find("Tx Error"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
    device->Stop();
    // Start, first block, the refused block and its four resends, and the check requests that
    // prove the line in step before the first frame and before each NAK is acted on: nothing
    // after the fifth NAK.
    EXPECT_NE(device->Output().find("13 frames received"), std::string::npos) << device->Output();
}

TEST_F(ProtocolFaults, ANakStormDuringReadBackKeepsThePartialFile) {
    auto device = Device({"--nak-frame", "3", "--nak-count", "1000"});
    const RunResult r = ReadApplication(*device);
    EXPECT_EQ(r.exitCode, kExitDeviceFailure);
    EXPECT_NE(r.err.find("Tx Error"), std::string::npos) << r.err;
    ExpectPartialApplication(r, 2);
}

TEST_F(ProtocolFaults, ANakToTheStartFrameAsksToCheckTheFlash) {
    auto device = Device({"--nak-frame", "1"});
    const RunResult r = ProgramVoice(*device, 2);
    EXPECT_EQ(r.exitCode, kExitDeviceFailure);
    EXPECT_NE(r.err.find("Check Flash Memory please....."), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
}

// --- dropped replies --------------------------------------------------------------------

TEST_F(ProtocolFaults, ADroppedReplyEndsProgrammingAfterTheTimeout) {
    auto device = Device({"--silent-frame", "4"});
    const RunResult r = ProgramVoice(*device, 5);
    EXPECT_EQ(r.exitCode, kExitTimeout);
    EXPECT_NE(r.err.find(kTimedOut), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
}

TEST_F(ProtocolFaults, ADroppedReplyEndsReadBackWithAPartialFile) {
    auto device = Device({"--silent-frame", "3"});
    const RunResult r = ReadApplication(*device);
    EXPECT_EQ(r.exitCode, kExitTimeout);
    EXPECT_NE(r.err.find(kTimedOut), std::string::npos) << r.err;
    ExpectPartialApplication(r, 2);
}

// --- corrupted reply bytes --------------------------------------------------------------

// A broken start, length, code or end byte makes the ACK unrecognisable: the reply is lost and
// the run ends as after a dropped reply.
TEST_F(ProtocolFaults, AnAckWithABrokenFrameByteIsLostAndTheRunTimesOut) {
    for (const char* offset : {"0", "1", "2", "3", "6"}) {
        SCOPED_TRACE(std::string("inverted ACK byte ") + offset);
        auto device = Device({"--corrupt-frame", "3", "--corrupt-offset", offset});
        const RunResult r = ProgramVoice(*device, 5);
        EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
        EXPECT_NE(r.err.find(kTimedOut), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
    }
}

// Once the device has shown that it fills the CRC of its ACKs, an ACK whose CRC is wrong is not
// taken as an answer: the run waits for one and ends with the timeout, never as completed.
TEST_F(ProtocolFaults, AnAckWithABrokenCrcIsNotTakenAsAnAnswer) {
    for (const char* offset : {"4", "5"}) {
        SCOPED_TRACE(std::string("inverted ACK byte ") + offset);
        auto device = Device({"--corrupt-frame", "3", "--corrupt-offset", offset});
        const RunResult r = ProgramVoice(*device, 5);
        EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
        EXPECT_NE(r.err.find(kTimedOut), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
    }
}

TEST_F(ProtocolFaults, AReadReplyWithABrokenFrameByteStopsTheReadBackAsPartial) {
    for (const char* offset : {"0", "1", "3", "4106"}) {
        SCOPED_TRACE(std::string("inverted read-reply byte ") + offset);
        auto device = Device({"--corrupt-frame", "3", "--corrupt-offset", offset});
        const RunResult r = ReadApplication(*device);
        EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
        ExpectPartialApplication(r, 2);
    }
}

// A data byte inverted on the line must not end up in a read-back file that is reported
// complete. Today it does: replies' CRCs are not tested, so the run completes (exit 0) with
// the inverted byte in the file. Enable when read-data replies are checked (their CRC, and the
// address they echo) and a bad one is asked for again or ends the run.
TEST_F(ProtocolFaults, AReadReplyWithABrokenDataByteIsNotReportedComplete) {
    auto device = Device({"--corrupt-frame", "3", "--corrupt-offset", "100"});
    const RunResult r = ReadApplication(*device);
    if (r.exitCode == kExitDone) {
        EXPECT_TRUE(ReadFile(readBack) == Slice(flash, kApplicationBase, kApplicationSize))
            << "reported complete, but the file holds a byte the device did not send";
    } else {
        EXPECT_NE(r.err.find("partial read-back"), std::string::npos) << r.err;
    }
}

// --- split, interleaved and slow replies ------------------------------------------------

TEST_F(ProtocolFaults, RepliesSplitIntoSingleBytesAreAssembled) {
    auto device = Device({"--bytewise"});
    const RunResult p = ProgramVoice(*device, 3);
    EXPECT_EQ(p.exitCode, kExitDone) << p.err;
    EXPECT_NE(p.out.find(kVoiceDone), std::string::npos) << p.out;

    const fs::path user = dir / "user.dat";
    const RunResult r =
        Orlo({"read", "user", user.string(), "--port", device->Port(), "--timeout", kTimeoutArg});
    EXPECT_EQ(r.exitCode, kExitDone) << r.err;
    EXPECT_NE(r.out.find("Reading completed of User Data"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFile(user) == Slice(flash, kUserBase, kBlock));
    ExpectImageInFlash(*device);
}

TEST_F(ProtocolFaults, TextLinesBetweenRepliesDoNotDisturbTheRun) {
    auto device = Device({"--line-before-reply", "R 0A,1F,3C,7"});
    const RunResult p = ProgramVoice(*device, 3);
    EXPECT_EQ(p.exitCode, kExitDone) << p.err;
    EXPECT_NE(p.out.find(kVoiceDone), std::string::npos) << p.out;
    ExpectWholeApplication(ReadApplication(*device));  // no line lands in the file
    ExpectImageInFlash(*device);
}

TEST_F(ProtocolFaults, SlowRepliesWithinTheTimeoutComplete) {
    auto device = Device({"--reply-delay", "400"});
    const RunResult r = ProgramVoice(*device, 2);
    EXPECT_EQ(r.exitCode, kExitDone) << r.err;
    EXPECT_NE(r.out.find(kVoiceDone), std::string::npos) << r.out;
    ExpectImageInFlash(*device);
}

TEST_F(ProtocolFaults, RepliesSlowerThanTheTimeoutEndTheRun) {
    auto device = Device({"--reply-delay", "6000"});
    const RunResult r = ProgramVoice(*device, 2);
    EXPECT_EQ(r.exitCode, kExitTimeout);
    EXPECT_NE(r.err.find(kTimedOut), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kVoiceDone), std::string::npos) << r.out;
}

// --- a frame that declares 65535 bytes --------------------------------------------------

// The tool gives the frame up at its length field and collects what follows by the ordinary
// rules. The frame's CRC and end byte then start a text unit that takes the real reply in as
// well (a reply has no LF to end it), so the reply is lost: the run ends as after a dropped
// reply, bounded by the 4107-byte accumulator and the timeout.
TEST_F(ProtocolFaults, AnOversizeFrameCostsTheReplyBehindIt) {
    auto device = Device({"--oversize-frame", "3"});
    const RunResult p = ProgramVoice(*device, 5);
    EXPECT_EQ(p.exitCode, kExitTimeout);
    EXPECT_NE(p.err.find(kTimedOut), std::string::npos) << p.err;
    EXPECT_EQ(p.out.find(kVoiceDone), std::string::npos) << p.out;

    auto reader = Device({"--oversize-frame", "3"});
    const RunResult r = ReadApplication(*reader);
    EXPECT_EQ(r.exitCode, kExitTimeout);
    ExpectPartialApplication(r, 2);
}

// With a text line between the oversize frame and the reply, the line's end closes the stray
// unit and the reply arrives whole.
TEST_F(ProtocolFaults, AnOversizeFrameFollowedByALineIsSurvived) {
    auto device = Device({"--oversize-frame", "3", "--line-before-reply", "after the noise"});
    const RunResult p = ProgramVoice(*device, 5);
    EXPECT_EQ(p.exitCode, kExitDone) << p.err;
    EXPECT_NE(p.out.find(kVoiceDone), std::string::npos) << p.out;
    ExpectWholeApplication(ReadApplication(*device));
    ExpectImageInFlash(*device);
}

// --- outcomes the device did not confirm in this run -----------------------------------------

// No reply left over from an earlier run, no extra reply and no frame that is not the answer
// may complete a run, and a device that only talks (text lines, log starts) cannot keep a run
// alive past its timeout.
TEST_F(ProtocolFaults, NoRunCompletesOnRepliesTheDeviceDidNotGiveToIt) {
    const fs::path user = dir / "user.dat";
    WriteFile(user, Pattern(kBlock, 5));
    const std::vector<std::string> programUser = {"program", "user", user.string()};
    const fs::path application = dir / "application.bin";
    WriteFile(application, Pattern(3000, 6));
    const std::vector<std::string> programApplication = {"program", "application",
                                                         application.string()};
    const fs::path voice = dir / "voice.adm";
    WriteFile(voice, Pattern(4 * kBlock, 7));
    // The earlier run gives up on the start frame's answer; it comes 1 s late, and so does the
    // verdict on the next run's only verify block, a NAK: an owed reply that would stand in for
    // it, were the run one step off, arrives long before it.
    const std::vector<std::string> lateStartAndVerdict = {
        "--late-frame", "1", "--late-frame", "4", "--late-ms", "1000",
        "--nak-frame", "4", "--nak-count", "1000"};
    std::vector<std::string> restarting = lateStartAndVerdict;
    restarting.push_back("--restart-on-finish");
    struct Case {
        const char* name;
        std::vector<std::string> device;
        std::vector<std::string> earlierRun;  // run first, cut off by its short timeout
        std::vector<std::string> run;
        int exitCode;
        std::string sentence;
    };
    const std::string notConfirmed = "not confirmed: the device answered a frame of this run out of step";
    const std::vector<Case> cases = {
        {"one extra ACK to the start frame", {"--duplicate-reply", "1"}, {}, programUser,
         kExitDeviceFailure, notConfirmed},
        // The earlier run ends while its check request is unanswered; its late answer is
        // discarded by the next run's own check request, whose frames are then all answered
        // in step (the NAKed frame 4 is never reached): a true completion.
        {"the late answer of a run that timed out",
         {"--reply-delay", "700", "--nak-frame", "4", "--nak-count", "1000"}, programUser,
         programUser, kExitDone, "Programming completed of User data"},
        {"a log start after the sweep set frame",
         {"--silent-frame", "2", "--log-start", "--every", "1"}, {}, {"sweep", "max+100"},
         kExitTimeout, "timeout: the device has not answered for 2 s"},
        {"a device that prints a line a second and never answers",
         {"--silent-frame", "1", "--print-line", "still here", "--every", "1"}, {}, programUser,
         kExitTimeout, "timeout: the device has not answered for 2 s"},
        {"frames of an unknown code every second and no answer",
         {"--silent-frame", "1", "--stray-code", "0x77", "--stray-every", "1"}, {}, programUser,
         kExitTimeout, "timeout: the device has not answered for 2 s"},
        {"check data every second and no answer",
         {"--silent-frame", "1", "--stray-code", "0x1B", "--stray-every", "1"}, {}, programUser,
         kExitTimeout, "timeout: the device has not answered for 2 s"},
        {"the late start answer of a run that timed out", lateStartAndVerdict, programUser,
         programUser, kExitDeviceFailure,
         "Tx Error (verify block at flash address 0x3C2000, sent 5 times)"},
        {"the same for the application, whose finish frame the device does not answer",
         restarting, programApplication, programApplication, kExitDeviceFailure,
         "Tx Error (verify block at flash address 0x3C3000, sent 5 times)"},
        // The extra ACK of the first write block and the lost answer of the third verify block
        // would cancel out by the end; the NAK of the second verify block comes in between.
        {"an extra reply and a lost one around a NAK",
         {"--duplicate-reply", "2", "--nak-frame", "7", "--silent-frame", "10"}, {},
         {"program", "voice", voice.string()}, kExitDeviceFailure, notConfirmed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Device(c.device);
        if (!c.earlierRun.empty()) {
            std::vector<std::string> args = c.earlierRun;
            args.insert(args.end(), {"--port", device->Port(), "--timeout", "0.4"});
            EXPECT_EQ(Orlo(args).exitCode, kExitTimeout);
        }
        std::vector<std::string> args = c.run;
        args.insert(args.end(), {"--port", device->Port(), "--timeout", "2"});
        const RunResult r = Orlo(args, std::chrono::seconds(15));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (c.exitCode == kExitDone) {
            EXPECT_NE(r.out.find(c.sentence), std::string::npos) << r.out;
            continue;
        }
        EXPECT_NE(r.err.find(c.sentence), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("completed"), std::string::npos) << r.out;
    }
}

// Ctrl+C after the application's only verify block has its ACK, while the check request that
// proves that ACK the answer to it, and not one owed from before, is still unanswered: nothing
// is confirmed yet, so the run is interrupted, not "written and verified".
TEST_F(ProtocolFaults, CtrlCBeforeTheApplicationsEndIsProvenIsAnInterruption) {
    auto device = Device({"-v", "--reply-delay", "1000"});
    const fs::path file = dir / "application.bin";
    WriteFile(file, Pattern(3000, 9));
    Process orlo(BinPath("orlo"), {"program", "application", file.string(), "--port",
                                   device->Port(), "--timeout", "10"},
                 {"ORLO_EXTRA_PORTS=", "ORLO_PORT="});
    // The second check request has reached the device: the one after the verify's ACK.
    const std::string checkRequest = "in  04 00 0B 1B";
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    std::string trace = device->Output();
    while (trace.find(checkRequest, trace.find(checkRequest) + 1) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        trace = device->Output();
    }
    ASSERT_NE(trace.find("in  04 10 0B 12"), std::string::npos) << trace;
    orlo.Signal(SIGINT);
    const RunResult r = orlo.Wait(kHangLimit);
    EXPECT_EQ(r.exitCode, kExitInterrupted) << r.out << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find("written and verified"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("completed"), std::string::npos) << r.out;
    device->Stop();
    EXPECT_EQ(device->Output().find("in  04 00 07 13"), std::string::npos) << "finish frame sent";
}

// A read-back the device did not confirm in step leaves the user's file as it was: the blocks
// stay in the partial file beside it.
TEST_F(ProtocolFaults, AReadBackNotConfirmedLeavesTheChosenFileAlone) {
    struct Case {
        const char* name;
        std::vector<std::string> device;
        std::string region;
    };
    const std::vector<Case> cases = {
        {"the last block answered twice", {"--duplicate-reply", "1"}, "user"},
        // Blocks 4 to 10 would hold the data of blocks 3 to 9: nothing in the replies of this
        // device tells them apart.
        {"an extra reply and a lost one, CRC and address unfilled",
         {"--no-reply-crc", "--no-reply-address", "--duplicate-reply", "3", "--silent-frame",
          "10"},
         "application"},
    };
    const Bytes mine = Pattern(5 * kBlock + 17, 99);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(readBack, mine);
        auto device = Device(c.device);
        const RunResult r = Orlo({"read", c.region, readBack.string(), "--port", device->Port(),
                                  "--timeout", kTimeoutArg});
        EXPECT_EQ(r.exitCode, kExitDeviceFailure) << r.out << r.err;
        EXPECT_NE(r.err.find("not confirmed"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Reading completed"), std::string::npos) << r.out;
        EXPECT_TRUE(ReadFile(readBack) == mine) << "the user's file was changed";
    }
}

// A frame that answers nothing of the run (a sweep report, check data, read data of another
// region, a code nobody knows) between two replies drives nothing: no frame is sent for it, and
// the run completes in step.
TEST_F(ProtocolFaults, StrayFramesInTheMiddleOfARunDriveNothing) {
    const Bytes user = Pattern(kBlock, 8);
    const fs::path file = dir / "user.dat";
    WriteFile(file, user);
    for (const char* code : {"0x51", "0x1B", "0x2A", "0x77"}) {
        SCOPED_TRACE(code);
        auto device = Device({"-v", "--stray-frame", "2", "--stray-code", code});
        const RunResult r = Orlo({"program", "user", file.string(), "--port", device->Port(),
                                  "--timeout", kTimeoutArg});
        EXPECT_EQ(r.exitCode, kExitDone) << r.err;
        EXPECT_NE(r.out.find("Programming completed of User data"), std::string::npos) << r.out;
        ASSERT_EQ(device->Stop(), 0);
        EXPECT_TRUE(Slice(ReadFile(savedFlash), kUserBase, kBlock) == user);
        const std::string trace = device->Output();
        EXPECT_NE(trace.find("in  04 10 0B 42"), std::string::npos) << trace;  // the verify
        EXPECT_EQ(trace.find("in  04 00 0F 52"), std::string::npos) << "a sweep set was sent";
        // The start, write and verify frames and the two check requests around them.
        EXPECT_NE(trace.find("5 frames received"), std::string::npos) << trace;
    }
}

// Reply integrity: a damaged reply is asked for again (never written back to the device, into
// a file or onto the screen), and a device that leaves the CRC and the address of its replies
// unfilled is served all the same, with one note.
TEST_F(ProtocolFaults, DamagedRepliesAreAskedAgainAndUnfilledFieldsAreAccepted) {
    std::string checkText;
    for (uint32_t i = 0; i < 16; ++i) {
        static const char* hex = "0123456789abcdef";
        const uint8_t b = flash[0x3FE000 + i];
        checkText += {hex[b >> 4], hex[b & 15], ' '};
    }
    const std::vector<std::string> unfilled = {"--no-reply-crc", "--no-reply-address"};
    const std::string note = "The device leaves the CRC of its replies unfilled";
    struct Case {
        const char* name;
        std::vector<std::string> device;
        std::vector<std::string> run;
        std::string printed;  // on standard output
        bool noted;
    };
    const std::vector<Case> cases = {
        {"damaged sweep report", {"--corrupt-frame", "1", "--corrupt-offset", "5"},
         {"sweep", "max+100"}, "sweep max: 2100\n", false},
        {"damaged check block", {"--corrupt-frame", "1", "--corrupt-offset", "12"}, {"check"},
         checkText, false},
        {"unfilled sweep report", unfilled, {"sweep", "read"}, "sweep max: 2000\n", true},
        {"unfilled check reply", unfilled, {"check"}, checkText, true},
        {"unfilled read replies", unfilled, {"read", "application", readBack.string()},
         kApplicationRead, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Device(c.device);
        std::vector<std::string> args = c.run;
        args.insert(args.end(), {"--port", device->Port(), "--timeout", kTimeoutArg});
        const RunResult r = Orlo(args);
        EXPECT_EQ(r.exitCode, kExitDone) << r.out << r.err;
        EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
        EXPECT_EQ((r.out + r.err).find(note) != std::string::npos, c.noted) << r.out << r.err;
    }
    EXPECT_TRUE(ReadFile(readBack) == Slice(flash, kApplicationBase, kApplicationSize));
}

}  // namespace
}  // namespace orlo::faults
