// Read-back of whole regions and the check block through the dialog: the requests on the wire,
// the file, the statuses, the messages, and the replies that do not belong to a run.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "protocol/Crc16.h"
#include "protocol/ReadBack.h"
#include "support/DialogFixture.h"
#include "support/TestSystem.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The data of block `i` of a test region: every third block (from the second on) all zero.
Bytes BlockData(uint32_t i) {
    Bytes data(BLOCK_SIZE, 0x00);
    if (i % 3 != 1)
        for (uint32_t j = 0; j < BLOCK_SIZE; ++j) data[j] = static_cast<uint8_t>(i * 7 + j);
    return data;
}

// A 4107-byte read-data reply: code, echoed address, the block, CRC, end.
Bytes ReadReply(uint8_t code, uint32_t address, const Bytes& data) {
    Bytes frame(FRAME_MAX_LEN, 0);
    frame[0] = FRAME_START;
    frame[1] = FRAME_MAX_LEN >> 8;
    frame[2] = FRAME_MAX_LEN & 0xFF;
    frame[3] = code;
    for (int k = 0; k < 4; ++k) frame[4 + k] = static_cast<uint8_t>(address >> (24 - 8 * k));
    std::copy(data.begin(), data.end(), frame.begin() + 8);
    SealFrame(frame.data(), frame.size());
    return frame;
}

uint32_t AddressOf(const Bytes& request) {
    return (uint32_t{request[4]} << 24) | (uint32_t{request[5]} << 16) |
           (uint32_t{request[6]} << 8) | request[7];
}

class ReadBackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->name());
        for (char& c : name)
            if (c == '/') c = '_';
        dir =
            fs::temp_directory_path() / ("orlo-readback-" + std::to_string(getpid()) + "-" + name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        f.OpenFakePort();
        f.TakeWrites();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    COrloDlg& dlg() { return f.dlg(); }
    test::ScriptedWindow& wnd() { return f.wnd(); }

    // The device's reply arrives through the ring and the receive assembler, a little at a
    // time as the reader hands it over.
    void Deliver(const Bytes& frame) {
        for (std::size_t at = 0; at < frame.size(); at += 1000) {
            const std::size_t end = std::min(frame.size(), at + 1000);
            f.Feed(Bytes(frame.begin() + static_cast<long>(at),
                         frame.begin() + static_cast<long>(end)));
        }
    }

    void Start(void (COrloDlg::*handler)(), const fs::path& file) {
        wnd().QueueFileDialog(file.string());
        (dlg().*handler)();
    }

    test::DialogFixture f;
    fs::path dir;
};

struct RegionCase {
    const char* name;
    void (COrloDlg::*handler)();
    uint8_t command;
    uint32_t base;
    uint32_t length;
    const char* defExt;
    const char* initName;
    const char* filter;
    const char* done;
    std::map<uint32_t, Bytes> knownRequests;      // request index -> exact wire bytes
    std::map<uint32_t, std::string> knownStatus;  // replies handled -> status
};

class ReadBackRegion : public ReadBackTest, public ::testing::WithParamInterface<RegionCase> {};

TEST_P(ReadBackRegion, WholeRegionReachesTheFileInOrder) {
    const RegionCase& c = GetParam();
    const fs::path file = dir / "region.out";
    Start(c.handler, file);

    ASSERT_EQ(wnd().fileDialogs.size(), 1u);
    const FileDialogRequest& req = wnd().fileDialogs[0];
    EXPECT_FALSE(req.open);
    EXPECT_EQ(req.defaultExt, c.defExt);
    EXPECT_EQ(req.initialName, c.initName);
    EXPECT_EQ(req.flags, 6u);
    EXPECT_EQ(req.filter, c.filter);
    EXPECT_FALSE(req.ownedByDialog);
    EXPECT_FALSE(fs::exists(file));  // the chosen file appears only with the whole region

    const uint32_t blocks = c.length / BLOCK_SIZE;
    std::string expected;
    std::vector<Bytes> requests;
    std::map<uint32_t, std::string> statuses;
    for (uint32_t i = 0; i < blocks; ++i) {
        const auto sent = f.TakeWrites();
        ASSERT_EQ(sent.size(), 1u) << "block " << i;
        requests.push_back(sent[0]);
        const Bytes data = BlockData(i);
        expected.append(data.begin(), data.end());
        Deliver(ReadReply(c.command, c.base + i * BLOCK_SIZE, data));
        statuses[i + 1] = dlg().m_status;
    }
    EXPECT_TRUE(f.TakeWrites().empty());

    ASSERT_EQ(requests.size(), blocks);
    for (uint32_t i = 0; i < blocks; ++i) {
        ASSERT_EQ(requests[i].size(), 11u);
        EXPECT_EQ(requests[i][3], c.command);
        EXPECT_EQ(AddressOf(requests[i]), c.base + i * BLOCK_SIZE) << "request " << i;
    }
    for (const auto& [index, bytes] : c.knownRequests) EXPECT_EQ(requests.at(index), bytes);
    for (const auto& [replies, status] : c.knownStatus) EXPECT_EQ(statuses.at(replies), status);

    EXPECT_EQ(fs::file_size(file), c.length);
    EXPECT_TRUE(ReadAll(file) == expected);
    EXPECT_EQ(dlg().m_status, "Ready");
    EXPECT_EQ(dlg().m_progress, 100);
    ASSERT_FALSE(wnd().progressLog.empty());
    EXPECT_EQ(wnd().progressLog.back(), 100);
    EXPECT_EQ(wnd().BoxTexts(), std::vector<std::string>{std::string(c.done) + ": " + file.string()});
    EXPECT_FALSE(dlg().m_readBackActive);
    EXPECT_EQ(dlg().m_readBackPath, file.string());
    EXPECT_FALSE(fs::exists(file.string() + ".partial"));
}

INSTANTIATE_TEST_SUITE_P(
    Regions, ReadBackRegion,
    ::testing::Values(
        RegionCase{"Application",
                   &COrloDlg::OnReadApplication,
                   0x1A,
                   0x3C3000,
                   241664,
                   "bin file",
                   "*.bin",
                   "bin File(*.bin) | *.bin | 모든파일(*.*) | *.*|",
                   "Reading completed of Application data",
                   {{0, {0x04, 0x00, 0x0B, 0x1A, 0x00, 0x3C, 0x30, 0x00, 0xAF, 0x92, 0x03}},
                    {1, {0x04, 0x00, 0x0B, 0x1A, 0x00, 0x3C, 0x40, 0x00, 0x8F, 0x94, 0x03}}},
                   {{1, "Reading 1 %"}, {58, "Reading 98 %"}, {59, "Ready"}}},
        RegionCase{"Voice",
                   &COrloDlg::OnReadVoice,
                   0x2A,
                   0x000000,
                   2048000,
                   "adm file",
                   "*.adm",
                   "adm File(*.adm) | *.adm | 모든파일(*.*) | *.*|",
                   "Reading completed of Voice data",
                   {{0, {0x04, 0x00, 0x0B, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x22, 0x03}},
                    {499, {0x04, 0x00, 0x0B, 0x2A, 0x00, 0x1F, 0x30, 0x00, 0x25, 0xAD, 0x03}}},
                   {{1, "Reading 0 %"}, {4, "Reading 0 %"}, {5, "Reading 1 %"}}},
        RegionCase{"Map",
                   &COrloDlg::OnReadMap,
                   0x3A,
                   0x1F4000,
                   1892352,
                   "Map file",
                   "*.map",
                   "map File(*.map) | *.map | 모든파일(*.*) | *.*|",
                   "Reading completed of Map data",
                   {{0, {0x04, 0x00, 0x0B, 0x3A, 0x00, 0x1F, 0x40, 0x00, 0x82, 0x28, 0x03}}},
                   {{462, "Ready"}}},
        RegionCase{"User",
                   &COrloDlg::OnReadUser,
                   0x4A,
                   0x3C2000,
                   4096,
                   "Data file",
                   "*.dat",
                   "Data File(*.dat) | *.dat | 모든파일(*.*) | *.*|",
                   "Reading completed of User Data",
                   {{0, {0x04, 0x00, 0x0B, 0x4A, 0x00, 0x3C, 0x20, 0x00, 0x56, 0x11, 0x03}}},
                   {{1, "Ready"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// How a read-back into an existing file ends, and what the user is left with: the old file
// until the whole region has arrived, the blocks read so far beside it otherwise.
struct EndingCase {
    const char* name;
    uint32_t blocks;   // read replies delivered
    bool closePort;    // then the port is closed
    bool replaced;     // the chosen file holds the blocks
    bool partialKept;  // the blocks stay in the partial file
};

class ReadBackEnding : public ReadBackTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(ReadBackEnding, ChosenFileIsReplacedOnlyByAWholeRegion) {
    const EndingCase& c = GetParam();
    const fs::path file = dir / "backup.bin";
    const fs::path partial = dir / "backup.bin.partial";
    const std::string old(5000, 'o');
    std::ofstream(file, std::ios::binary) << old;
    // Permissions the system keeps as set (where it has only a read-only flag, all it shows).
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const auto perms = fs::status(file).permissions() & fs::perms::all;

    // Two regions: the user region completes after one block, the application's needs 59.
    const bool user = c.replaced;
    Start(user ? &COrloDlg::OnReadUser : &COrloDlg::OnReadApplication, file);
    std::string blocks;
    for (uint32_t i = 0; i < c.blocks; ++i) {
        const Bytes data = BlockData(i);
        blocks.append(data.begin(), data.end());
        Deliver(ReadReply(user ? 0x4A : 0x1A, (user ? 0x3C2000 : 0x3C3000) + i * BLOCK_SIZE, data));
        EXPECT_TRUE(ReadAll(file) == (c.replaced && i + 1 == c.blocks ? blocks : old));
    }
    if (c.closePort) dlg().OnClosePort();

    EXPECT_TRUE(ReadAll(file) == (c.replaced ? blocks : old));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, perms);
    EXPECT_EQ(fs::exists(partial), c.partialKept);
    if (c.partialKept) {
        EXPECT_TRUE(ReadAll(partial) == blocks);
        EXPECT_EQ(fs::status(partial).permissions() & fs::perms::all, perms);
        EXPECT_EQ(wnd().BoxTexts(),
                  std::vector<std::string>{"Reading stopped: " + std::to_string(blocks.size()) +
                                           " of 241664 bytes are kept in " + partial.string() +
                                           "; " + file.string() + " is unchanged"});
    }
    EXPECT_FALSE(dlg().m_readBackActive);
}

INSTANTIATE_TEST_SUITE_P(Endings, ReadBackEnding,
                         ::testing::Values(EndingCase{"Completed", 1, false, true, false},
                                           EndingCase{"ClosedAfterTwoBlocks", 2, true, false, true},
                                           EndingCase{"ClosedBeforeAnyBlock", 0, true, false,
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

bool MakeLink(const fs::path& to, const fs::path& at) {
    std::error_code ec;
    fs::create_symlink(to, at, ec);
    return !ec && fs::exists(at);
}

// Only a regular file (or a link to one) is written: a pipe would hold the window in its open,
// a device node would receive the flash. Refused before anything is sent.
struct OutputCase {
    const char* name;
    std::function<bool(const fs::path&)> make;  // what is at the chosen path; false: no such
                                                // thing on this system
    const char* refusal;                        // nullptr: accepted
};

class ReadBackOutput : public ReadBackTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(ReadBackOutput, OnlyRegularFilesAreWritten) {
    const OutputCase& c = GetParam();
    const fs::path chosen = dir / "out.dat";
    if (!c.make(chosen)) GTEST_SKIP() << "this system cannot make it";
    Start(&COrloDlg::OnReadUser, chosen);
    if (c.refusal) {
        EXPECT_EQ(wnd().BoxTexts(),
                  std::vector<std::string>{"Can not write " + chosen.string() + ": " + c.refusal});
        EXPECT_TRUE(f.TakeWrites().empty());
        EXPECT_FALSE(dlg().m_readBackActive);
        return;
    }
    const Bytes data = BlockData(0);
    Deliver(ReadReply(0x4A, 0x3C2000, data));
    // The box names the file that was written: behind a link, the one it names.
    EXPECT_EQ(wnd().BoxTexts(), std::vector<std::string>{"Reading completed of User Data: " +
                                                         fs::weakly_canonical(chosen).string()});
    EXPECT_TRUE(fs::is_symlink(chosen));  // the link stays; the file it names is replaced
    EXPECT_TRUE(ReadAll(chosen) == std::string(data.begin(), data.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReadBackOutput,
    ::testing::Values(
        OutputCase{"Fifo", [](const fs::path& p) { return test::MakeFifo(p.string()); },
                   "it is not a regular file"},
        OutputCase{"DeviceNode", [](const fs::path& p) { return MakeLink("/dev/null", p); },
                   "it is not a regular file"},
        OutputCase{"Directory", [](const fs::path& p) { return fs::create_directory(p); },
                   "it is a directory"},
        OutputCase{"LinkToRegularFile",
                   [](const fs::path& p) {
                       std::ofstream(p.string() + ".real") << "old";
                       return MakeLink(p.filename().string() + ".real", p);
                   },
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadBackTest, CancelledDialogTouchesNothing) {
    dlg().m_outputPath = (dir / "device.txt").string();
    dlg().m_imageBase = 0x1234;
    dlg().m_imageOffset = 0x5678;
    dlg().m_imageSize = 0x9ABC;
    wnd().QueueFileDialog("");
    dlg().OnReadMap();
    EXPECT_EQ(wnd().fileDialogs.size(), 1u);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(dlg().m_outputPath, (dir / "device.txt").string());
    EXPECT_TRUE(dlg().m_readBackPath.empty());
    EXPECT_FALSE(dlg().m_readBackActive);
    EXPECT_EQ(dlg().m_imageBase, 0x1234u);
    EXPECT_EQ(dlg().m_imageOffset, 0x5678u);
    EXPECT_EQ(dlg().m_imageSize, 0x9ABCu);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(ReadBackTest, ReadBackFileAndLogFileStayApart) {
    const fs::path log = dir / "device.txt";
    const fs::path out = dir / "user.dat";
    wnd().QueueFileDialog(log.string());
    dlg().OnSaveAs();
    Start(&COrloDlg::OnReadUser, out);
    EXPECT_EQ(dlg().m_outputPath, log.string());
    EXPECT_EQ(dlg().m_logPathText, log.string());

    const std::string line = "OK\r\n";
    std::copy(line.begin(), line.end(), dlg().m_rxFrame.begin());
    dlg().m_rxExpected = static_cast<uint32_t>(line.size());
    dlg().OnDeviceLine();
    const Bytes data = BlockData(0);
    Deliver(ReadReply(0x4A, 0x3C2000, data));

    EXPECT_EQ(ReadAll(log), "OK\r\r\n");
    EXPECT_TRUE(ReadAll(out) == std::string(data.begin(), data.end()));
}

TEST_F(ReadBackTest, RepliesThatBelongToNoRunAreIgnored) {
    const Bytes data = BlockData(0);
    // No read-back was ever started.
    dlg().m_imageOffset = 0;
    dlg().m_imageSize = 8192;
    dlg().m_txFrame[3] = 0x1A;
    Deliver(ReadReply(0x1A, 0x3C3000, data));
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(dlg().m_imageOffset, 0u);

    // A finished read-back takes no further block.
    const fs::path user = dir / "user.dat";
    Start(&COrloDlg::OnReadUser, user);
    f.TakeWrites();
    Deliver(ReadReply(0x4A, 0x3C2000, data));
    Deliver(ReadReply(0x4A, 0x3C2000, data));
    EXPECT_EQ(fs::file_size(user), BLOCK_SIZE);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(wnd().boxes.size(), 1u);

    // A reply whose code is not the request's read command.
    const fs::path map = dir / "map.map";
    Start(&COrloDlg::OnReadMap, map);
    f.TakeWrites();
    Deliver(ReadReply(0x1A, 0x1F4000, data));
    EXPECT_EQ(fs::file_size(map.string() + ".partial"), 0u);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(dlg().m_imageOffset, 0u);

    // A reply too short to hold a block.
    Bytes shortReply = {0x04, 0x00, 0x0B, 0x3A, 0x00, 0x1F, 0x40, 0x00, 0x00, 0x00, 0x03};
    Deliver(shortReply);
    EXPECT_EQ(fs::file_size(map.string() + ".partial"), 0u);
    EXPECT_TRUE(f.TakeWrites().empty());

    // The Check button cannot replace the read request during the read-back: it is refused.
    dlg().OnCheckApplication();
    EXPECT_TRUE(f.TakeWrites().empty());
    ASSERT_EQ(wnd().boxes.size(), 2u);
    EXPECT_EQ(wnd().boxes[1].text, COrloDlg::kRunUnderWay);

    // After another request has replaced the read request, the late block is not taken.
    dlg().SendSweepQuery();
    f.TakeWrites();
    Deliver(ReadReply(0x3A, 0x1F4000, data));
    EXPECT_EQ(fs::file_size(map.string() + ".partial"), 0u);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(wnd().boxes.size(), 2u);
}

TEST_F(ReadBackTest, FileThatCannotBeCreatedStopsBeforeAnyRequest) {
    const fs::path file = dir / "missing" / "app.bin";
    Start(&COrloDlg::OnReadApplication, file);
    EXPECT_EQ(wnd().BoxTexts(), std::vector<std::string>{"Can not write " + file.string()});
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_FALSE(dlg().m_readBackActive);
}

TEST_F(ReadBackTest, FileThatCannotBeAppendedStopsTheRun) {
    const fs::path sub = dir / "sub";
    fs::create_directories(sub);
    const fs::path file = sub / "app.bin";
    Start(&COrloDlg::OnReadApplication, file);
    Deliver(ReadReply(0x1A, 0x3C3000, BlockData(0)));
    EXPECT_EQ(fs::file_size(file.string() + ".partial"), BLOCK_SIZE);
    f.TakeWrites();

    fs::remove_all(sub);
    Deliver(ReadReply(0x1A, 0x3C4000, BlockData(1)));
    EXPECT_EQ(wnd().BoxTexts(),
              std::vector<std::string>{"Can not write " + file.string() + ".partial"});
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_FALSE(dlg().m_readBackActive);
    EXPECT_EQ(dlg().m_progress, 0);

    Deliver(ReadReply(0x1A, 0x3C4000, BlockData(1)));  // a late reply changes nothing
    EXPECT_EQ(wnd().boxes.size(), 1u);
    EXPECT_TRUE(f.TakeWrites().empty());
}

// The read-back writes, measures and removes only the partial file it created: when its name
// leads elsewhere (a link someone put there, a pipe, a path the dialog never created), the
// blocks stop and whatever is there, and whatever it leads to, stays as it is.
TEST_F(ReadBackTest, OnlyItsOwnPartialFileIsTouched) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim, std::ios::binary) << "precious";
    const fs::path file = dir / "app.bin";
    Start(&COrloDlg::OnReadApplication, file);
    Deliver(ReadReply(0x1A, 0x3C3000, BlockData(0)));
    const fs::path partial = file.string() + ".partial";
    ASSERT_EQ(fs::file_size(partial), BLOCK_SIZE);
    fs::remove(partial);
    if (!MakeLink(victim, partial)) GTEST_SKIP() << "this system cannot make links";
    Deliver(ReadReply(0x1A, 0x3C4000, BlockData(1)));
    EXPECT_FALSE(dlg().m_readBackActive);
    EXPECT_EQ(ReadAll(victim), "precious");
    EXPECT_TRUE(fs::is_symlink(partial));
    EXPECT_FALSE(fs::exists(file));
    // The removed file's number may be given to the next file made (as happened to `empty`
    // below under a busy test run): who it was must be forgotten.
    EXPECT_FALSE(dlg().m_readBackId.known);

    // A run the dialog never set up (as a fuzzer injects it): the path is not its file, so
    // ending the run leaves it alone, even when it is empty or not a regular file.
    const fs::path fifo = dir / "fifo";
    const fs::path empty = dir / "empty";
    std::ofstream(empty).close();
    for (const fs::path& path : {empty, fifo}) {
        if (path == fifo && !test::MakeFifo(fifo.string())) continue;
        dlg().m_readBackPath = path.string();
        dlg().m_readBackActive = true;
        dlg().OnClosePort();
        EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
    }
}

TEST_F(ReadBackTest, NakResendsTheIdenticalRequestFourTimes) {
    const Bytes nak = {0x04, 0x00, 0x07, 0x15, 0x00, 0x00, 0x03};
    const Bytes ack = {0x04, 0x00, 0x07, 0x06, 0x00, 0x00, 0x03};
    Start(&COrloDlg::OnReadApplication, dir / "app.bin");
    Deliver(ReadReply(0x1A, 0x3C3000, BlockData(0)));
    f.TakeWrites();
    const Bytes second = {0x04, 0x00, 0x0B, 0x1A, 0x00, 0x3C, 0x40, 0x00, 0x8F, 0x94, 0x03};

    Deliver(nak);
    Deliver(ack);  // an ACK only clears the count
    for (int i = 0; i < 4; ++i) Deliver(nak);
    EXPECT_EQ(f.TakeWrites(), std::vector<Bytes>(5, second));
    EXPECT_TRUE(wnd().boxes.empty());
    Deliver(nak);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(wnd().BoxTexts(), std::vector<std::string>{"Tx Error"});
    EXPECT_EQ(dlg().m_progress, 0);

    // The device may still answer the request last sent: the run goes on from there.
    Deliver(ReadReply(0x1A, 0x3C4000, BlockData(1)));
    EXPECT_EQ(f.TakeWrites().size(), 1u);
    EXPECT_EQ(fs::file_size(dir / "app.bin.partial"), 2 * BLOCK_SIZE);
}

TEST_F(ReadBackTest, CheckRequestAndHexText) {
    dlg().m_imageOffset = 0x2000;
    dlg().m_status = "Reading 3 %";
    dlg().m_progress = 3;
    dlg().m_outputPath = "device.txt";
    dlg().OnCheckApplication();
    EXPECT_EQ(
        f.TakeWrites(),
        (std::vector<Bytes>{{0x04, 0x00, 0x0B, 0x1B, 0x00, 0x3F, 0xE0, 0x00, 0xCF, 0xD9, 0x03}}));
    ASSERT_FALSE(wnd().progressLog.empty());
    EXPECT_EQ(wnd().progressLog.back(), 0);

    Bytes reply(27, 0);
    reply[0] = FRAME_START;
    reply[2] = 27;
    reply[3] = CMD_CHECK;
    reply[5] = 0x3F;  // the address, echoed
    reply[6] = 0xE0;
    for (int i = 0; i < 16; ++i) reply[8 + i] = static_cast<uint8_t>(i);
    SealFrame(reply.data(), reply.size());
    Deliver(reply);
    EXPECT_EQ(dlg().m_checkText, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ");
    EXPECT_EQ(dlg().m_checkText.size(), 48u);

    reply[8] = 0xAB;
    reply[23] = 0xFF;
    SealFrame(reply.data(), reply.size());
    Deliver(reply);
    EXPECT_EQ(dlg().m_checkText, "ab 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e ff ");

    // The check leaves the read-back counters, the status and the log path alone.
    EXPECT_EQ(dlg().m_imageOffset, 0x2000u);
    EXPECT_EQ(dlg().m_status, "Reading 3 %");
    EXPECT_EQ(dlg().m_progress, 3);
    EXPECT_EQ(dlg().m_outputPath, "device.txt");

    // A reply too short to hold the 16 bytes shows nothing new.
    Deliver({0x04, 0x00, 0x0B, 0x1B, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x03});
    EXPECT_EQ(dlg().m_checkText, "ab 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e ff ");
}

// A length reads only the blocks that hold it, and the file gets exactly that many bytes.
TEST_F(ReadBackTest, LengthReadsOnlyTheBlocksThatHoldIt) {
    struct Case {
        uint32_t length;
        uint32_t requests;
    };
    for (const Case c : {Case{1, 1}, Case{4096, 1}, Case{5000, 2}, Case{61440, 15}}) {
        const fs::path file = dir / ("voice-" + std::to_string(c.length) + ".adm");
        dlg().m_readBackLength = c.length;
        Start(&COrloDlg::OnReadVoice, file);
        std::string blocks;
        uint32_t requests = 0;
        for (auto sent = f.TakeWrites(); !sent.empty() && requests < 20; sent = f.TakeWrites()) {
            ASSERT_EQ(AddressOf(sent[0]), requests * BLOCK_SIZE);
            const Bytes data = BlockData(requests++);
            blocks.append(data.begin(), data.end());
            Deliver(ReadReply(0x2A, AddressOf(sent[0]), data));
        }
        EXPECT_EQ(requests, c.requests) << c.length;
        EXPECT_TRUE(ReadAll(file) == blocks.substr(0, c.length)) << c.length;
        EXPECT_EQ(wnd().BoxTexts().back(), "Reading completed of Voice data: " + file.string());
    }
}

// A device as the comparison sees it: the flash of one region, and the replies it sends.
struct VerifyDevice {
    uint32_t base = 0;
    std::map<uint32_t, Bytes> flash;  // region offset -> block; 0xFF elsewhere
    bool unfilled = false;            // CRC and address left zero
    uint32_t damagedReply = 0;        // this reply (from 1) has one data byte inverted
};

struct VerifyRun {
    std::string sentence;
    uint32_t differing = 0;
    uint32_t replies = 0;
    std::vector<std::string> boxes;
};

class ReadBackVerify : public ReadBackTest {
  protected:
    // Answers every request until none follows; at most 40 exchanges.
    VerifyRun Verify(RegionId region, const Bytes& image, const VerifyDevice& device) {
        dlg().StartVerify(ReadBackRowFor(region), image);
        VerifyRun run;
        for (auto sent = f.TakeWrites(); !sent.empty() && run.replies < 40; sent = f.TakeWrites()) {
            const uint32_t offset = AddressOf(sent.back()) - device.base;
            const auto it = device.flash.find(offset);
            const Bytes data = it == device.flash.end() ? Bytes(BLOCK_SIZE, 0xFF) : it->second;
            Bytes reply = ReadReply(sent.back()[3], device.unfilled ? 0 : device.base + offset, data);
            if (device.unfilled) reply[FRAME_MAX_LEN - 3] = reply[FRAME_MAX_LEN - 2] = 0;
            if (++run.replies == device.damagedReply) reply[8 + 77] ^= 0xFF;  // on the line
            Deliver(reply);
        }
        run.sentence = dlg().m_verify.Sentence();
        run.differing = dlg().m_verify.DifferingBlocks();
        run.boxes = wnd().BoxTexts();
        return run;
    }

    // The device holds `image` as programming left it: whole blocks, the rest 0xFF.
    static VerifyDevice Holding(uint32_t base, const Bytes& image) {
        VerifyDevice device;
        device.base = base;
        for (uint32_t at = 0; at < image.size(); at += BLOCK_SIZE) {
            Bytes block(BLOCK_SIZE, 0xFF);
            const auto end = std::min<std::size_t>(image.size(), at + BLOCK_SIZE);
            std::copy(image.begin() + at, image.begin() + static_cast<long>(end), block.begin());
            device.flash[at] = block;
        }
        return device;
    }
};

TEST_F(ReadBackVerify, ComparesOnlyTheImagesBlocksAsProgrammingWritesThem) {
    Bytes image(10000);  // two whole blocks and 1808 bytes
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    const uint32_t map = 0x1F4000;
    struct Case {
        const char* name;
        uint32_t offset;  // region offset of the flash byte that is changed (~0u: none)
        const char* sentence;
    };
    const Case cases[] = {
        {"equal", ~0u, "all 3 blocks are equal"},
        {"one block", 0x1064,
         "1 of 3 blocks differ; the first difference is at 0x1F5064 (region offset 0x001064)"},
        {"last partial block, image byte", 9999,
         "1 of 3 blocks differ; the first difference is at 0x1F670F (region offset 0x00270F)"},
        {"last partial block, padding", 10000,
         "1 of 3 blocks differ; the first difference is at 0x1F6710 (region offset 0x002710)"},
    };
    for (const Case& c : cases) {
        VerifyDevice device = Holding(map, image);
        if (c.offset != ~0u) device.flash[c.offset / BLOCK_SIZE * BLOCK_SIZE][c.offset % BLOCK_SIZE] ^= 0x5A;
        wnd().boxes.clear();
        const VerifyRun run = Verify(RegionId::Map, image, device);
        EXPECT_EQ(run.sentence, c.sentence) << c.name;
        EXPECT_EQ(run.replies, 3u) << c.name;  // the image's blocks, not the region's 462
        EXPECT_EQ(run.boxes, std::vector<std::string>{"Verify completed of Map data"}) << c.name;
        EXPECT_EQ(dlg().m_status, "Ready");
        EXPECT_FALSE(dlg().m_readBackActive);
    }
    EXPECT_TRUE(fs::is_empty(dir));  // a comparison writes no file
}

// A reply that cannot prove itself is never taken for a difference: damage is asked for
// again, and a block counts as differing only when two readings agree.
TEST_F(ReadBackVerify, UnprovedRepliesAreNeverTakenForADifference) {
    const Bytes image(3 * BLOCK_SIZE, 0x42);
    const std::string unfilledCrc =
        "The device leaves the CRC of its replies unfilled; it is no longer tested on this "
        "connection.";
    const std::string unfilledAddress =
        "The device leaves the address of its replies unfilled; it is no longer tested on this "
        "connection.";
    struct Case {
        const char* name;
        bool unfilled;
        uint32_t damagedReply;
        bool flashDiffers;  // block 1 holds other bytes
        const char* sentence;
        uint32_t replies;
    };
    const Case cases[] = {
        // A filled CRC shows the damage at once: one reply more.
        {"filled, damaged", false, 2, false, "all 3 blocks are equal", 4},
        {"filled, differs", false, 0, true,
         "1 of 3 blocks differ; the first difference is at 0x001000 (region offset 0x001000)", 3},
        // Unfilled: the CRC is learnt at the first block, the address at the second (the
        // first asks for address 0); a block that differs is read until two readings agree.
        {"unfilled, damaged", true, 3, false, "all 3 blocks are equal", 6},
        {"unfilled, differs", true, 0, true,
         "1 of 3 blocks differ; the first difference is at 0x001000 (region offset 0x001000)", 6},
    };
    for (const Case& c : cases) {
        VerifyDevice device = Holding(0, image);
        device.unfilled = c.unfilled;
        device.damagedReply = c.damagedReply;
        if (c.flashDiffers) device.flash[BLOCK_SIZE] = Bytes(BLOCK_SIZE, 0x24);
        dlg().OnClosePort();  // what the device fills is learnt per connection
        f.OpenFakePort();
        f.TakeWrites();
        wnd().boxes.clear();
        const VerifyRun run = Verify(RegionId::Voice, image, device);
        EXPECT_EQ(run.sentence, c.sentence) << c.name;
        EXPECT_EQ(run.replies, c.replies) << c.name;
        std::vector<std::string> boxes;
        if (c.unfilled) boxes = {unfilledCrc, unfilledAddress};
        boxes.push_back("Verify completed of Voice data");
        EXPECT_EQ(run.boxes, boxes) << c.name;
    }
}

TEST_F(ReadBackVerify, ImagesThatCannotBeComparedAreRefused) {
    Verify(RegionId::User, {}, {});
    Verify(RegionId::User, Bytes(BLOCK_SIZE + 1, 0), {});
    EXPECT_EQ(wnd().BoxTexts(), (std::vector<std::string>{"The image to compare with is empty",
                                                          std::string(Region(RegionId::User).tooBig)}));
    EXPECT_FALSE(dlg().m_readBackActive);
}

}  // namespace
}  // namespace orlo
