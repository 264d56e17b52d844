// The window against the simulated device on a pseudo-terminal, through clicks: a whole
// application run with its countdown, a read-back from the service panel, a message box open
// while the device talks, closing in the middle of a run, and two windows side by side.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "GuiSession.h"
#include "GuiTestSupport.h"
#include "devsim/PtyDevice.h"
#include "support/ChildProcess.h"
#include "images/FlashRegion.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"
#include "protocol/Crc16.h"

namespace orlo::gui {
namespace {

using namespace std::chrono_literals;
using test::ControlWidget;
using test::PumpUntil;
using test::RecordingPrompts;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(std::size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

// A port whose driver takes the line time of `baud` to send what is written, as a real one
// does (a pseudo-terminal sends at once), and that can hand the reader an extra ACK as soon as
// the write of frame `extraAckAt` (counted from 1) has begun to leave.
class TimedLine : public ForwardingTransport {
  public:
    TimedLine(std::shared_ptr<ISerialTransport> inner, uint32_t baud, int extraAckAt)
        : ForwardingTransport(std::move(inner)), m_baud(baud), m_extraAckAt(extraAckAt) {}
    bool WaitForData() override { return Extra() || m_inner->WaitForData(); }
    int BytesWaiting() override {
        std::lock_guard lock(m_mutex);
        return m_extra.empty() ? m_inner->BytesWaiting() : static_cast<int>(m_extra.size());
    }
    int Read(uint8_t* buffer, int count) override {
        {
            std::lock_guard lock(m_mutex);
            if (!m_extra.empty() && count >= static_cast<int>(m_extra.size())) {
                std::copy(m_extra.begin(), m_extra.end(), buffer);
                return static_cast<int>(std::exchange(m_extra, {}).size());
            }
        }
        return m_inner->Read(buffer, count);
    }
    bool Write(const uint8_t* data, std::size_t count) override {
        {
            std::lock_guard lock(m_mutex);
            const auto now = std::chrono::steady_clock::now();
            m_sentAt = std::max(m_sentAt, now) + LineTime(count);
            if (++m_writes == m_extraAckAt) {
                m_extra = {0x04, 0x00, 0x07, 0x06, 0, 0, 0x03};
                SealFrame(m_extra.data(), m_extra.size());
            }
        }
        const bool ok = m_inner->Write(data, count);
        m_inner->WakeReader();
        return ok;
    }
    std::size_t OutputInDriver() override {
        std::lock_guard lock(m_mutex);
        const auto left = m_sentAt - std::chrono::steady_clock::now();
        return left > left.zero() ? 1 : 0;
    }

  private:
    bool Extra() {
        std::lock_guard lock(m_mutex);
        return !m_extra.empty();
    }
    // Nine tenths of the 8N1 time: the simulated device, paced at the same speed, answers
    // no earlier than the whole time after the write.
    std::chrono::steady_clock::duration LineTime(std::size_t bytes) const {
        return std::chrono::microseconds(bytes * 9'000'000ull / m_baud);
    }
    const uint32_t m_baud;
    const int m_extraAckAt;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_sentAt{};
    int m_writes = 0;
    std::vector<uint8_t> m_extra;
};

// Keeps every transport the dialog opens, to ask it afterwards whether it was closed.
class RecordingBackend : public ISerialBackend {
  public:
    explicit RecordingBackend(ISerialBackend& inner) : m_inner(inner) {}
    std::shared_ptr<ISerialTransport> Open(const std::string& name,
                                           SerialOpenResult* result) override {
        auto transport = m_inner.Open(name, result);
        if (transport && timedBaud)
            transport = std::make_shared<TimedLine>(transport, timedBaud, extraAckAt);
        if (transport) opened.push_back(transport);
        return transport;
    }
    std::vector<std::shared_ptr<ISerialTransport>> opened;
    uint32_t timedBaud = 0;  // open every port as a TimedLine at this speed
    int extraAckAt = 0;

  private:
    ISerialBackend& m_inner;
};

// A window wired to its own simulated device, which is the only port in its list (COM80).
class Rig {
  public:
    explicit Rig(devsim::DeviceOptions device = {}, devsim::PtyOptions line = {})
        : m_sim(std::move(device), std::move(line)),
          m_ports(
                  [this](const std::string& name) {
                      return name == LinuxPortTable::kExtraPortsVariable ? m_sim.SlavePath()
                                                                         : std::string();
                  },
                  LinuxPortTable::NoTtys),
          m_posix(&m_ports),
          serial(m_posix) {
        std::string error;
        EXPECT_TRUE(m_sim.Start(&error)) << error;
        session = std::make_unique<GuiSession>(serial, m_ports, GuiSession::Options{true, {}});
        layer().SetPrompts(prompts.Make());
        layer().SetManualTimers(true);
        session->Window().show();
    }
    ~Rig() {
        session.reset();
        m_sim.Stop();
    }

    QtWindow& layer() { return session->Layer(); }
    MainWindow& window() { return session->Window(); }
    QPushButton* button(int id) { return ControlWidget<QPushButton>(layer(), id); }
    std::string Status() {
        return ControlWidget<QLineEdit>(layer(), IDC_STATUS)->text().toStdString();
    }
    Bytes Flash() const { return m_sim.Flash(); }
    const devsim::Device& Device() const { return m_sim.GetDevice(); }

    // Drops the list down and chooses the device's port with the keyboard.
    void ChoosePort() {
        auto* combo = ControlWidget<QComboBox>(layer(), IDC_COMBO_PORT);
        combo->showPopup();
        combo->hidePopup();
        const int index = combo->findText(QStringLiteral("COM80"));
        ASSERT_GE(index, 0) << "the simulated device is not in the port list";
        combo->setFocus();
        while (combo->currentIndex() < index) QTest::keyClick(combo, Qt::Key_Down);
        while (combo->currentIndex() > index) QTest::keyClick(combo, Qt::Key_Up);
        ASSERT_TRUE(button(IDC_OPEN)->isEnabled());
    }

    // Chooses the device's port and presses Open.
    void Connect() {
        ASSERT_NO_FATAL_FAILURE(ChoosePort());
        QTest::mouseClick(button(IDC_OPEN), Qt::LeftButton);
        ASSERT_TRUE(button(IDC_CLOSE)->isEnabled()) << "the port did not open";
    }

    // Clicks `button` with the file dialog answered by a new file holding `image`, named `name`
    // (a name without an extension when empty).
    void Program(int buttonId, const Bytes& image, const std::string& name = {}) {
        prompts.answers.push_back(
            m_dir.Write(name.empty() ? "image" + std::to_string(++m_files) : name, image));
        QTest::mouseClick(button(buttonId), Qt::LeftButton);
    }

    std::string FilePath(const std::string& name) const { return m_dir.Path(name); }
    std::string PortPath() const { return m_sim.SlavePath(); }
    // The device goes away as a pulled adapter does: its node disappears.
    void Unplug() { m_sim.Stop(); }

    RecordingPrompts prompts;
    std::unique_ptr<GuiSession> session;

  private:
    test::TempDir m_dir;
    devsim::PtyDevice m_sim;
    LinuxPortTable m_ports;
    PosixSerialBackend m_posix;

  public:
    RecordingBackend serial;

  private:
    int m_files = 0;
};

void ExpectRegionHolds(const Bytes& flash, const FlashRegion& region, const Bytes& image) {
    ASSERT_GE(flash.size(), region.base + region.maxSize);
    const auto start = flash.begin() + region.base;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), start)) << region.name;
    EXPECT_TRUE(std::all_of(start + static_cast<long>(image.size()),
                            start + static_cast<long>(region.maxSize),
                            [](uint8_t b) { return b == 0xFF; }))
        << region.name;
}

TEST(GuiRun, ProgramsAnApplicationThroughClicksAndCountsDownToTheFinalMessage) {
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    const Bytes image = Pattern(100000, 1);
    rig.Program(IDC_PROGRAM_APPLICATION, image);
    ASSERT_EQ(rig.prompts.fileDialogs.size(), 1u);
    EXPECT_TRUE(rig.prompts.fileDialogs[0].open);
    EXPECT_EQ(rig.prompts.fileDialogs[0].filter, "bin file(*.bin), bin file(*.bin)|*.bin;*.bin");

    // Written, verified, finished: the port closes and the countdown starts.
    ASSERT_TRUE(PumpUntil([&] { return rig.layer().TimerActive(COUNTDOWN_TIMER_ID); }))
        << rig.Status();
    EXPECT_EQ(rig.Status(), "Wait please");
    EXPECT_EQ(ControlWidget<QProgressBar>(rig.layer(), IDC_PROGRESS)->value(), 100);
    EXPECT_FALSE(rig.button(IDC_CLOSE)->isEnabled());
    EXPECT_TRUE(rig.button(IDC_OPEN)->isEnabled());
    ASSERT_EQ(rig.serial.opened.size(), 1u);
    EXPECT_FALSE(rig.serial.opened[0]->Write(reinterpret_cast<const uint8_t*>("x"), 1))
        << "the port is still open";
    ASSERT_TRUE(PumpUntil([&] { return rig.Device().Stats().perCode[0x13] == 1; }));
    ExpectRegionHolds(rig.Flash(), Region(RegionId::Application), image);
    EXPECT_TRUE(rig.prompts.boxes.empty());

    // 100000 bytes give 5 seconds: one tick a second, injected here.
    const uint32_t seconds = COrloDlg::CountdownSeconds(100000);
    ASSERT_EQ(seconds, 5u);
    for (uint32_t left = seconds - 1; left >= 1; --left) {
        ASSERT_TRUE(rig.layer().FireTimer(COUNTDOWN_TIMER_ID));
        EXPECT_EQ(rig.Status(), "Wait " + std::to_string(left) + " sec");
    }
    // A tick while the final box is open changes nothing and opens no second box.
    rig.prompts.whileBoxOpen = [&](const test::Box&) { rig.layer().FireTimer(COUNTDOWN_TIMER_ID); };
    ASSERT_TRUE(rig.layer().FireTimer(COUNTDOWN_TIMER_ID));
    EXPECT_EQ(rig.Status(), "Ready");
    ASSERT_EQ(rig.prompts.boxes.size(), 1u);
    EXPECT_EQ(rig.prompts.boxes[0].text,
              "Programming completed of Application data, and Remove Target");
    EXPECT_EQ(rig.prompts.boxes[0].caption, "Orlo");
    EXPECT_EQ(rig.prompts.boxes[0].type, MB_OK);
    EXPECT_FALSE(rig.layer().TimerActive(COUNTDOWN_TIMER_ID));
}

TEST(GuiRun, ProgramsAndReadsBackTheUserRegionFromTheServicePanel) {
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    const Bytes image = Pattern(3000, 2);
    rig.Program(IDC_PROGRAM_USER, image);
    ASSERT_TRUE(PumpUntil([&] { return !rig.prompts.boxes.empty(); })) << rig.Status();
    EXPECT_EQ(rig.prompts.boxes[0].text, "Programming completed of User data");
    EXPECT_EQ(rig.Status(), "Ready ");

    const std::string saved = rig.FilePath("user.dat");
    rig.prompts.answers.push_back(saved);
    QTest::mouseClick(rig.button(IDC_READ_USER), Qt::LeftButton);
    ASSERT_EQ(rig.prompts.fileDialogs.size(), 2u);
    EXPECT_FALSE(rig.prompts.fileDialogs[1].open);
    ASSERT_TRUE(PumpUntil([&] { return rig.prompts.boxes.size() == 2; })) << rig.Status();
    EXPECT_EQ(rig.prompts.boxes[1].text, "Reading completed of User Data: " + saved);
    std::ifstream in(saved, std::ios::binary);
    const Bytes back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes expected = image;
    expected.resize(4096, 0xFF);
    EXPECT_EQ(back, expected);
}

TEST(GuiRun, TheDeviceIsServedWhileAMessageBoxIsOpen) {
    // A real box with its own event loop stays open for the whole run: the reader's
    // notifications are served inside it, and the run's own box opens on top of it.
    devsim::DeviceOptions slow;
    slow.faults.replyDelayMs = 2;
    Rig rig(slow);
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    Prompts prompts = rig.prompts.Make();
    prompts.messageBox = nullptr;  // Qt's own boxes from here on
    rig.layer().SetPrompts(prompts);
    const Bytes image = Pattern(40000, 3);
    rig.Program(IDC_PROGRAM_VOICE, image);

    std::vector<std::string> seen;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        if (box->text() == QStringLiteral("Programming completed of Voice data")) {
            seen.push_back(box->windowTitle().toStdString());
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            box->button(QMessageBox::Ok)->click();
        } else if (!seen.empty()) {
            box->button(QMessageBox::Ok)->click();
        }
    });
    watcher.start(5);
    rig.layer().MessageBox("Box open during the run", "Test", MB_ICONINFORMATION);
    watcher.stop();

    EXPECT_EQ(seen, std::vector<std::string>({"Orlo"}));
    EXPECT_EQ(rig.Status(), "Ready ");
    ExpectRegionHolds(rig.Flash(), Region(RegionId::Voice), image);
}

TEST(GuiRun, ClosingTheWindowDuringARunClosesThePortAtOnce) {
    devsim::DeviceOptions slow;
    slow.faults.replyDelayMs = 2;
    Rig rig(slow);
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    rig.Program(IDC_PROGRAM_VOICE, Pattern(400000, 4));
    ASSERT_TRUE(PumpUntil([&] { return rig.Status().rfind("Programming ", 0) == 0; }));

    // Let the reader block in its notification while the window is not serving, then close.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!rig.layer().Sender().HasWaiting() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_TRUE(rig.layer().Sender().HasWaiting());
    {
        test::HangGuard guard(30s, "closing the window during a run");
        EXPECT_TRUE(rig.window().close());
    }

    EXPECT_EQ(rig.session->Dialog(), nullptr);
    ASSERT_EQ(rig.serial.opened.size(), 1u);
    EXPECT_FALSE(rig.serial.opened[0]->Write(reinterpret_cast<const uint8_t*>("x"), 1))
        << "the port is still open";
    EXPECT_EQ(rig.Device().Stats().perCode[0x22], 0u) << "the run went on to verify";
    EXPECT_TRUE(rig.prompts.boxes.empty());
}

// While a run is under way the window shows its file, bytes, rate and time left beside the
// status text, and the buttons that cannot act look disabled; afterwards they are back.
TEST(GuiRun, ARunShowsItsDetailsAndDisablesTheButtonsThatCannotActMeanwhile) {
    devsim::DeviceOptions slow;
    slow.faults.replyDelayMs = 2;
    Rig rig(slow);
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    rig.Program(IDC_PROGRAM_VOICE, Pattern(400000, 7));
    ASSERT_TRUE(PumpUntil([&] {
        return rig.session->Dialog()->m_imageOffset > 8 * BLOCK_SIZE;
    })) << rig.Status();
    rig.session->Details().Poll();
    QTest::qWait(300);  // a rate needs some time
    rig.session->Details().Poll();
    const QStringList lines = rig.window().RunDetailsLabel().text().split(u'\n');
    ASSERT_EQ(lines.size(), 3) << rig.window().RunDetailsLabel().text().toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("image1"));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" of 390.6 KiB"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral("/s, ")) && lines[2].endsWith(" left"))
        << lines[2].toStdString();
    EXPECT_EQ(rig.Status().rfind("Programming ", 0), 0u) << "the status text is the dialog's";

    const std::vector<int> locked = {IDC_PROGRAM_APPLICATION, IDC_PROGRAM_VOICE, IDC_PROGRAM_MAP,
                                     IDC_PROGRAM_USER, IDC_READ_USER, IDC_CHECK_APPLICATION,
                                     IDC_SWEEP_READ, IDC_TEST_TX};
    for (int id : locked) EXPECT_FALSE(rig.layer().Widget(id)->isEnabled()) << id;
    EXPECT_TRUE(rig.button(IDC_CLOSE)->isEnabled());
    EXPECT_TRUE(rig.button(IDC_SAVE_AS)->isEnabled());
    EXPECT_TRUE(rig.button(IDC_BMP_1BIT)->isEnabled());

    ASSERT_TRUE(PumpUntil([&] { return !rig.prompts.boxes.empty(); })) << rig.Status();
    rig.session->Details().Poll();
    for (int id : locked) EXPECT_TRUE(rig.layer().Widget(id)->isEnabled()) << id;
    EXPECT_TRUE(rig.window().RunDetailsLabel().text().startsWith(QStringLiteral("image1\n")));
}

// The device answers the start frame 3 s late; the user closes the port before that, opens
// it again and programs again. The late ACK arrives in the second run, whose replies are one
// step off from then on, and the device NAKs its verify block: no completion, a box that says
// to repeat the run, and the port closed.
// The first run is closed while its start frame's answer is owed; the next run is aligned at its
// start, so the owed answer is discarded and the device's NAKs of the verify block are its own.
TEST(GuiRun, ALateAnswerAcrossCloseAndOpenIsNeverACompletion) {
    devsim::DeviceOptions late;
    late.faults.lateFrames = {1};
    late.faults.lateMs = 3000;
    late.faults.nakFrame = 4;
    late.faults.nakCount = 10;
    Rig rig(late);
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    const Bytes image = Pattern(3000, 9);
    rig.Program(IDC_PROGRAM_APPLICATION, image);
    ASSERT_TRUE(PumpUntil([&] { return rig.Device().Stats().perCode[0x10] == 1; }));
    QTest::qWait(500);
    QTest::mouseClick(rig.button(IDC_CLOSE), Qt::LeftButton);
    ASSERT_TRUE(rig.layer().FireTimer(run::Run::kPollTimerId));  // the run sees the port closed
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    rig.session->Details().Poll();  // the window's timer: the buttons are free again
    rig.Program(IDC_PROGRAM_APPLICATION, image);
    ASSERT_TRUE(rig.prompts.answers.empty()) << "the second Program found its button locked";
    ASSERT_TRUE(PumpUntil([&] { return !rig.prompts.boxes.empty(); }, 30s)) << rig.Status();
    QTest::qWait(200);  // a completion would come now, if at all
    ASSERT_EQ(rig.prompts.boxes.size(), 1u);
    EXPECT_EQ(rig.prompts.boxes[0].text, "Tx Error");
    EXPECT_EQ(rig.Device().Stats().naks, 5u) << "the verify block was not sent five times";
    EXPECT_TRUE(rig.button(IDC_CLOSE)->isEnabled()) << "a refusal leaves the port open";
    EXPECT_EQ(rig.Device().Stats().perCode[0x13], 0u) << "the finish frame was sent";
    EXPECT_FALSE(rig.layer().TimerActive(COUNTDOWN_TIMER_ID));
}

// On a line that takes its time, an extra ACK that comes while the next block is still leaving
// is no block's answer, even when a lost answer later evens the count.
TEST(GuiRun, AnExtraAckWhileABlockIsLeavingIsNeverTakenForItsAnswer) {
    constexpr uint32_t kBaud = 460800;
    const Bytes image = Pattern(4 * 4096, 11);
    struct Case {
        const char* name;
        int extraAckAt;     // the tool's write after which it comes (0: none)
        uint32_t silent;    // the device's frame it never answers (0: none)
        std::string box;
        bool portOpen;  // a run not confirmed closes the port
    } cases[] = {
        {"a polite device", 0, 0, "Programming completed of Map data", true},
        // Writes: check request, start, block 1, block 2; frame 7 is the second verify block.
        {"extra ACK, then a lost answer", 4, 7,
         "This run is not confirmed: the device's answers came out of step with the frames "
         "sent, so what it stored cannot be trusted. Repeat the run.",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        devsim::DeviceOptions device;
        device.faults.silentFrame = c.silent;
        devsim::PtyOptions line;
        line.baud = kBaud;
        Rig rig(device, line);
        rig.serial.timedBaud = kBaud;
        rig.serial.extraAckAt = c.extraAckAt;
        ASSERT_NO_FATAL_FAILURE(rig.Connect());
        rig.Program(IDC_PROGRAM_MAP, image, "image.map");
        ASSERT_TRUE(PumpUntil([&] { return !rig.prompts.boxes.empty(); }, 30s)) << rig.Status();
        QTest::qWait(200);  // a second box would come now
        ASSERT_EQ(rig.prompts.boxes.size(), 1u);
        EXPECT_EQ(rig.prompts.boxes[0].text, c.box);
        EXPECT_EQ(rig.button(IDC_CLOSE)->isEnabled(), c.portOpen);
        EXPECT_EQ(rig.button(IDC_OPEN)->isEnabled(), !c.portOpen);
    }
}

// A device that goes away (the adapter pulled) while its port is open, between runs or in the
// middle of one: the window closes the port at once, says which port went away, and shows
// "Ready", never a completion or a run that seems to go on.
TEST(GuiRun, APortThatGoesAwayIsClosedAndNamed) {
    for (const bool midRun : {false, true}) {
        SCOPED_TRACE(midRun ? "in the middle of a run" : "between runs");
        devsim::PtyOptions line;
        line.baud = 115200;  // 4 KiB blocks take 0.36 s each: the run is under way when pulled
        Rig rig({}, line);
        ASSERT_NO_FATAL_FAILURE(rig.Connect());
        if (midRun) {
            rig.Program(IDC_PROGRAM_VOICE, Pattern(8 * 4096, 3), "voice.adm");
            ASSERT_TRUE(PumpUntil([&] { return rig.Device().Stats().perCode[0x21] >= 1; }));
        }
        rig.Unplug();
        ASSERT_TRUE(PumpUntil([&] {
            rig.layer().FireTimer(run::Run::kPollTimerId);
            return !rig.prompts.boxes.empty();
        })) << rig.Status();
        QTest::qWait(100);  // a second box would come now
        ASSERT_EQ(rig.prompts.boxes.size(), 1u);
        EXPECT_EQ(rig.prompts.boxes[0].text,
                  "The serial port COM80 went away: the line was hung up, the device node "
                  "vanished or the device ended the connection. Nothing more can be sent to "
                  "it: plug the device in, choose its port and press Open.");
        EXPECT_EQ(rig.Status(), "Ready");
        EXPECT_FALSE(rig.button(IDC_CLOSE)->isEnabled());
        EXPECT_TRUE(rig.button(IDC_OPEN)->isEnabled());
    }
}

TEST(GuiRun, TwoWindowsProgramTwoDevicesSideBySide) {
    Rig first;
    Rig second;
    ASSERT_NO_FATAL_FAILURE(first.Connect());
    ASSERT_NO_FATAL_FAILURE(second.Connect());
    const Bytes a = Pattern(50000, 5);
    const Bytes b = Pattern(70000, 6);
    first.Program(IDC_PROGRAM_MAP, a);
    second.Program(IDC_PROGRAM_VOICE, b);
    ASSERT_TRUE(
        PumpUntil([&] { return !first.prompts.boxes.empty() && !second.prompts.boxes.empty(); }));
    EXPECT_EQ(first.prompts.boxes[0].text, "Programming completed of Map data");
    EXPECT_EQ(second.prompts.boxes[0].text, "Programming completed of Voice data");
    ExpectRegionHolds(first.Flash(), Region(RegionId::Map), a);
    ExpectRegionHolds(second.Flash(), Region(RegionId::Voice), b);
    EXPECT_EQ(first.Device().Stats().perCode[0x21], 0u);
    EXPECT_EQ(second.Device().Stats().perCode[0x31], 0u);
}


// The rules the command line keeps, kept by the window too. Every Program, Read and Check
// button without an open port says so before any file dialog, and nothing is sent.
TEST(GuiGuards, ButtonsThatNeedThePortSaySoBeforeTheFileDialogWhenNoneIsOpen) {
    Rig rig;
    const int buttons[] = {IDC_PROGRAM_APPLICATION, IDC_PROGRAM_VOICE, IDC_PROGRAM_MAP,
                           IDC_PROGRAM_USER,        IDC_READ_APPLICATION, IDC_READ_VOICE,
                           IDC_READ_MAP,            IDC_READ_USER,     IDC_CHECK_APPLICATION};
    for (int id : buttons) {
        SCOPED_TRACE(id);
        rig.prompts.boxes.clear();
        rig.prompts.answers = {rig.FilePath("chosen.bin")};
        QTest::mouseClick(rig.button(id), Qt::LeftButton);
        ASSERT_EQ(rig.prompts.boxes.size(), 1u);
        EXPECT_EQ(rig.prompts.boxes[0].text,
                  "No COM port is open. Choose the port and press Open first.");
        EXPECT_EQ(rig.prompts.boxes[0].caption, "Orlo");
    }
    EXPECT_TRUE(rig.prompts.fileDialogs.empty());
    EXPECT_FALSE(std::filesystem::exists(rig.FilePath("chosen.bin")));
    EXPECT_EQ(rig.Device().Stats().frames, 0u);
    // With the port open, the same button goes on to its dialog.
    rig.prompts.answers.clear();
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    rig.Program(IDC_PROGRAM_USER, Pattern(100, 7));
    EXPECT_EQ(rig.prompts.fileDialogs.size(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return rig.prompts.boxes.size() == 2; })) << rig.Status();
    EXPECT_EQ(rig.prompts.boxes[1].text, "Programming completed of User data");
}

// A voice image chosen for the map region is programmed only after Yes; No sends nothing.
TEST(GuiGuards, AnotherRegionsExtensionAsksYesOrNoBeforeAnythingIsLoaded) {
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Connect());
    const Bytes image = Pattern(6000, 8);
    rig.prompts.replies = {IDNO, IDYES};
    rig.Program(IDC_PROGRAM_MAP, image, "voice.adm");
    ASSERT_EQ(rig.prompts.boxes.size(), 1u);
    EXPECT_EQ(rig.prompts.boxes[0].text,
              "This file has the extension of voice data. Program it into the map region anyway?");
    EXPECT_EQ(rig.prompts.boxes[0].type & MB_TYPEMASK, MB_YESNO);
    EXPECT_EQ(rig.prompts.boxes[0].type & MB_DEFBUTTON2, MB_DEFBUTTON2);  // No is the default

    rig.Program(IDC_PROGRAM_MAP, image, "voice.adm");
    ASSERT_TRUE(PumpUntil([&] { return rig.prompts.boxes.size() == 3; })) << rig.Status();
    EXPECT_EQ(rig.prompts.boxes[1].text, rig.prompts.boxes[0].text);
    EXPECT_EQ(rig.prompts.boxes[2].text, "Programming completed of Map data");
    EXPECT_EQ(rig.Device().Stats().perCode[0x30], 1u) << "the answer No sent a start frame";
    ExpectRegionHolds(rig.Flash(), Region(RegionId::Map), image);
}

// "Can not use COM port!" is followed by the reason: the program that holds the port, or a
// port that went away after the list showed it. The controls return to the closed state.
TEST(GuiGuards, AFailedOpenSaysWhyUnderTheBoxText) {
    Rig rig;
    {
        SCOPED_TRACE("held by another program");
        orlo::test::ChildProcess holder(orlo::test::BinPath("orlo"), {"--json", "log", "--port", rig.PortPath()});
        ASSERT_TRUE(holder.WaitForOutput("\"event\":\"open\"", 20s)) << holder.Err();
        ASSERT_NO_FATAL_FAILURE(rig.ChoosePort());
        QTest::mouseClick(rig.button(IDC_OPEN), Qt::LeftButton);
        ASSERT_EQ(rig.prompts.boxes.size(), 1u);
        const std::string& text = rig.prompts.boxes[0].text;
        EXPECT_EQ(text.rfind("Can not use COM port!\n\n", 0), 0u) << text;
        EXPECT_NE(text.find("is in use by orlo (pid " + std::to_string(holder.Pid()) + ")"),
                  std::string::npos)
            << text;
        EXPECT_FALSE(rig.button(IDC_CLOSE)->isEnabled());
        EXPECT_TRUE(rig.button(IDC_OPEN)->isEnabled());
        holder.Signal(SIGINT);
        EXPECT_EQ(holder.Wait(20s).exitCode, 130);
    }
    ASSERT_NO_FATAL_FAILURE(rig.Connect());  // free again
    QTest::mouseClick(rig.button(IDC_CLOSE), Qt::LeftButton);
    {
        SCOPED_TRACE("unplugged after the list showed it");
        ASSERT_NO_FATAL_FAILURE(rig.ChoosePort());
        rig.Unplug();
        QTest::mouseClick(rig.button(IDC_OPEN), Qt::LeftButton);
        ASSERT_EQ(rig.prompts.boxes.size(), 2u);
        const std::string& text = rig.prompts.boxes[1].text;
        EXPECT_EQ(text.rfind("Can not use COM port!\n\nThe serial port COM80", 0), 0u) << text;
        EXPECT_NE(text.find("does not exist. It may have been unplugged"), std::string::npos)
            << text;
        EXPECT_FALSE(rig.button(IDC_CLOSE)->isEnabled());
    }
}

}  // namespace
}  // namespace orlo::gui
