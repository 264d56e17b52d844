// Faults of the files around a run, end to end: an output folder that cannot be written, a disk
// that fills up, and image files that are not a fixed set of bytes (a FIFO, a file that grows
// while it is loaded).
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "faults/FaultRig.h"
#include "tools/BmpBuilder.h"

namespace orlo::faults {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFileProblem = 5;

// A disk that fills after `kilobytes`: a small tmpfs when this process may mount one, else
// none (Path() empty) and the case falls back to /dev/full, which fails every write with
// ENOSPC.
class SmallDisk {
  public:
    SmallDisk(const fs::path& where, int kilobytes) : m_dir(where) {
        fs::create_directories(m_dir);
        const std::string options = "size=" + std::to_string(kilobytes) + "k";
        if (::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            m_mounted = true;
        else
            m_why = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    }
    ~SmallDisk() {
        if (m_mounted) ::umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }
    const fs::path& Dir() const { return m_dir; }
    const std::string& Why() const { return m_why; }

  private:
    fs::path m_dir;
    bool m_mounted = false;
    std::string m_why;
};

class FileFaults : public FaultTest {
  protected:
    // The device saw no frame at all (the run was refused before anything was sent).
    void ExpectNothingSent(SimulatedDevice& device) {
        device.Stop();
        EXPECT_NE(device.Output().find(" 0 frames received"), std::string::npos) << device.Output();
    }
};

// As root, permission bits do not stop a write; a folder that cannot exist does, for everyone:
// its "parent" is a regular file.
TEST_F(FileFaults, AnOutputFolderThatCannotExistIsRefusedBeforeSending) {
    auto device = Device({});
    const fs::path notAFolder = dir / "notes.txt";
    WriteFile(notAFolder, Bytes{'x'});
    const fs::path out = notAFolder / "application.bin";
    const RunResult r = Orlo({"read", "application", out.string(), "--port", device->Port()});
    EXPECT_EQ(r.exitCode, kExitFileProblem);
    EXPECT_NE(r.err.find("cannot write " + out.string()), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
    ExpectNothingSent(*device);
}

TEST_F(FileFaults, AReadOnlyOutputFolderIsRefused) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root, where permission bits do not stop a write; the "
                        "output folder that cannot exist covers the refusal";
    auto device = Device({});
    const fs::path folder = dir / "read-only";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path out = folder / "application.bin";
    const RunResult r = Orlo({"read", "application", out.string(), "--port", device->Port()});
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(r.exitCode, kExitFileProblem);
    EXPECT_NE(r.err.find(out.string()), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Reading completed"), std::string::npos) << r.out;
}

TEST_F(FileFaults, ADiskThatFillsStopsTheReadBackAsPartial) {
    SmallDisk disk(dir / "small-disk", 64);
    auto device = Device({});
    if (!disk.Mounted()) {
        // No small disk here; /dev/full is a device, which is refused before the port opens.
        RecordProperty("full_disk", "/dev/full: " + disk.Why());
        const RunResult r = Orlo({"read", "voice", "/dev/full", "--port", device->Port()});
        EXPECT_EQ(r.exitCode, kExitFileProblem);
        EXPECT_NE(r.err.find("cannot write /dev/full: it is not a regular file"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("Reading completed"), std::string::npos) << r.out;
        return;
    }
    RecordProperty("full_disk", "tmpfs of 64 KiB");
    const fs::path out = disk.Dir() / "voice.adm";
    const RunResult r = Orlo({"read", "voice", out.string(), "--port", device->Port()});
    EXPECT_EQ(r.exitCode, kExitFileProblem);
    const fs::path partial = out.string() + ".partial";
    EXPECT_NE(r.err.find("Can not write " + partial.string()), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Reading completed"), std::string::npos) << r.out;
    // Whole blocks only, exactly as many as reported, and the flash's own.
    const Bytes got = ReadFile(partial);
    EXPECT_GT(got.size(), 0u);
    EXPECT_EQ(got.size() % kBlock, 0u);
    EXPECT_TRUE(got == Slice(flash, 0, got.size()));
    EXPECT_NE(r.err.find(PartialReport(got.size(), kVoiceSize, partial.string())),
              std::string::npos)
        << r.err;
}

TEST_F(FileFaults, AHeaderThatDoesNotFitTheDiskIsReported) {
    SmallDisk disk(dir / "small-disk", 8);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    const fs::path bmp = disk.Dir() / "logo.bmp";
    WriteFile(bmp, test::BuildBmp(test::BmpParams{}));
    // The header path is a link to the user's existing header: a failed write keeps both.
    const Bytes old = {'o', 'l', 'd'};
    WriteFile(disk.Dir() / "kept.h", old);
    fs::create_symlink("kept.h", disk.Dir() / "logo.h");
    {
        // Fill the disk up to its last byte.
        std::ofstream fill(disk.Dir() / "fill", std::ios::binary);
        const std::string block(1024, 'x');
        for (int i = 0; i < 64 && fill.good(); ++i) fill.write(block.data(), block.size());
    }
    const RunResult r = Orlo({"bmp2h", "--bits", "1", bmp.string()});
    EXPECT_EQ(r.exitCode, kExitFileProblem);
    EXPECT_NE(r.err.find("Can not write header file!"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_symlink(disk.Dir() / "logo.h"));
    EXPECT_TRUE(ReadFile(disk.Dir() / "kept.h") == old);
    EXPECT_FALSE(fs::exists(disk.Dir() / "kept.h.new"));
}

// The device's text lines must not be lost in silence: a log file that cannot take them is
// reported once, the lines keep coming on standard output to the end of the run, and the exit
// status says the file failed.
TEST_F(FileFaults, ALogFileOnAFullDiskIsReported) {
    SmallDisk disk(dir / "small-disk", 64);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    {
        std::ofstream fill(disk.Dir() / "fill", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 32 && fill.good(); ++i) fill.write(block.data(), block.size());
    }
    auto device = Device({"--log-start", "--print-line", "R 0A,1F,3C,7", "--every", "1"});
    const fs::path log = disk.Dir() / "device.log";
    const RunResult r =
        Orlo({"log", "--port", device->Port(), "--output", log.string(), "--duration", "2.5"});
    // The lines come at 1 s and 2 s, each after a log start whose stamp is the first write.
    const std::size_t first = r.out.find("10,31,60,");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("10,31,60,", first + 1), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, kExitFileProblem) << "log file size " << fs::file_size(log);
    const std::string report = "Can not write " + log.string();
    const std::size_t said = r.err.find(report);
    ASSERT_NE(said, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(report, said + 1), std::string::npos) << "reported twice: " << r.err;
}

TEST_F(FileFaults, AFifoAsImageIsRefusedWithoutWaitingForAWriter) {
    auto device = Device({});
    const fs::path fifo = dir / "voice.adm";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const RunResult r = Orlo({"program", "voice", fifo.string(), "--port", device->Port()});
    EXPECT_EQ(r.exitCode, kExitFileProblem);
    EXPECT_NE(r.err.find("Can not read " + fifo.string()), std::string::npos) << r.err;
    ExpectNothingSent(*device);
}

// Reads the number after "total": in the first Programming progress object.
std::size_t ProgrammedTotal(const std::string& json) {
    const std::size_t at = json.find("\"phase\":\"Programming\"");
    if (at == std::string::npos) return 0;
    const std::size_t line = json.rfind('\n', at) + 1;
    const std::size_t field = json.find("\"total\":", line);
    if (field == std::string::npos) return 0;
    return std::stoul(json.substr(field + 8));
}

// The file grows while orlo loads it. Whatever size the tool measured, it must program exactly
// that many of the file's bytes, and say how many: never a mix of sizes, never more than the
// file held.
TEST_F(FileFaults, AnImageThatGrowsWhileLoadingIsProgrammedAsMeasured) {
    auto device = Device({});
    const fs::path image = dir / "voice.adm";
    const Bytes full = Pattern(300 * kBlock, 9);  // below the voice region's limit
    const std::size_t initial = 20 * kBlock;
    WriteFile(image, Slice(full, 0, initial));

    std::atomic<bool> stop{false};
    std::thread grower([&] {
        std::ofstream out(image, std::ios::binary | std::ios::app);
        for (std::size_t at = initial; at < full.size() && !stop; at += kBlock) {
            out.write(reinterpret_cast<const char*>(full.data() + at), kBlock);
            out.flush();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const RunResult r = Orlo({"--json", "program", "voice", image.string(), "--port",
                              device->Port(), "--timeout", kTimeoutArg});
    stop = true;
    grower.join();

    ASSERT_EQ(r.exitCode, kExitDone) << r.out;
    EXPECT_NE(r.out.find("\"kind\":\"completion\""), std::string::npos) << r.out;
    const std::size_t measured = ProgrammedTotal(r.out);
    EXPECT_GE(measured, initial);
    EXPECT_LE(measured, full.size());
    RecordProperty("measured_bytes", std::to_string(measured));
    ASSERT_EQ(device->Stop(), 0);
    const Bytes saved = ReadFile(savedFlash);
    ASSERT_EQ(saved.size(), kFlashSize);
    EXPECT_TRUE(Slice(saved, 0, measured) == Slice(full, 0, measured));
    // The last block is filled up with 0xFF behind the image; the flash beyond it is untouched.
    const std::size_t blocksEnd = (measured + kBlock - 1) / kBlock * kBlock;
    EXPECT_TRUE(Slice(saved, measured, blocksEnd - measured) == Bytes(blocksEnd - measured, 0xFF));
    EXPECT_TRUE(Slice(saved, blocksEnd, kBlock) == Slice(flash, blocksEnd, kBlock));
}

}  // namespace
}  // namespace orlo::faults
