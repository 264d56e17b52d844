// Reading part of a region, comparing a device with image files, and dumps that go back.
#include "CliFixture.h"

namespace orlo::cli::test {
namespace {

TEST_F(CliTest, ReadLengthReadsOnlyTheBlocksThatHoldIt) {
    auto& sim = StartDevice();
    const Bytes voice = MakeImage(3 * 4096, 3);
    ASSERT_TRUE(sim.GetDevice().WriteFlash(0, voice));

    const std::string out = (dir / "head.adm").string();
    const RunResult r =
        RunOrlo({"read", "voice", out, "--length", "5000", "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(out), Bytes(voice.begin(), voice.begin() + 5000));
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x2A], 2u);
    EXPECT_NE(r.out.find("\nRead 5000 bytes in "), std::string::npos) << r.out;

    // More than the region holds is a usage error, before the port opens.
    const RunResult big =
        RunOrlo({"read", "user", out, "--length", "4097", "--port", sim.SlavePath()});
    EXPECT_EQ(big.exitCode, 2);
    EXPECT_NE(big.err.find("--length 4097 is more than the user region holds (4096 bytes)"),
              std::string::npos)
        << big.err;
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x4A], 0u);
}

}  // namespace
}  // namespace orlo::cli::test
