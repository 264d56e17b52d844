// The station window over simulated devices plugged into a folder of slots: a device that
// passes, one that refuses a block until the run gives up, one pulled out in the middle of its
// run; what the tiles show and what the database keeps. Closing asks before it abandons.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <random>

#include "GuiTestSupport.h"
#include "StationSetup.h"
#include "StationWindow.h"
#include "devsim/PtyDevice.h"
#include "record/RunDatabase.h"

namespace orlo::gui {
namespace {

using namespace std::chrono_literals;
using test::PumpUntil;

class StationRig {
  public:
    StationRig() {
        std::filesystem::create_directory(Slots());
        std::mt19937 gen(9);
        std::vector<uint8_t> image(60000);
        for (auto& b : image) b = static_cast<uint8_t>(gen());
        choice.images = {"voice", m_dir.Write("voice.adm", image)};
        choice.slotsDir = Slots();
        choice.database = m_dir.Path("station.db");
        choice.settleSeconds = 0.05;
        choice.timeoutSeconds = 5;
    }
    ~StationRig() {
        window.reset();
        for (auto& d : devices) d->Stop();
    }
    std::string Slots() const { return m_dir.Path("slots"); }

    void Open() {
        std::string error;
        auto prepared = PrepareStation(choice, &error);
        ASSERT_TRUE(prepared) << error;
        window = std::make_unique<StationWindow>(prepared->header, std::move(prepared->builder),
                                                 prepared->where);
        window->resize(1024, 768);
        window->show();
    }
    // A simulated device plugged into `slot`.
    devsim::PtyDevice& Plug(const std::string& slot, devsim::DeviceOptions options = {}) {
        devsim::PtyOptions line;
        line.linkPath = Slots() + "/" + slot;
        devices.push_back(std::make_unique<devsim::PtyDevice>(std::move(options), line));
        std::string error;
        EXPECT_TRUE(devices.back()->Start(&error)) << error;
        return *devices.back();
    }
    const TileView* Tile(const std::string& slot) const { return window->Model().Find(slot); }
    bool TileIs(const std::string& slot, TileState state) const {
        const TileView* t = Tile(slot);
        return t != nullptr && t->state == state;
    }
    std::vector<record::RunRow> Rows() const {
        std::string error;
        auto db = record::RunDatabase::Open(choice.database, record::RunDatabase::Access::ReadOnly,
                                            &error);
        EXPECT_TRUE(db) << error;
        std::vector<record::RunRow> rows;
        if (db) {
            EXPECT_TRUE(db->Runs({}, &rows, &error)) << error;
        }
        return rows;
    }

    StationChoice choice;
    std::vector<std::unique_ptr<devsim::PtyDevice>> devices;
    std::unique_ptr<StationWindow> window;

  private:
    test::TempDir m_dir;
};

TEST(StationWindow, PassFailAndUnplugShowOnTheirTilesAndEachDeviceIsARow) {
    test::HangGuard guard(120s, "the station window's run");
    StationRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    EXPECT_TRUE(rig.window->Model().Header().files.size() == 1);
    EXPECT_EQ(rig.window->Model().Header().files[0].sha256.size(), 64u);

    devsim::DeviceOptions refusing;
    refusing.faults.nakFrame = 4;  // a write block, and every resend of it
    refusing.faults.nakCount = 100;
    devsim::DeviceOptions slow;
    slow.faults.replyDelayMs = 40;
    rig.Plug("slot-1");
    rig.Plug("slot-2", refusing);
    devsim::PtyDevice& pulled = rig.Plug("slot-3", slow);

    ASSERT_TRUE(PumpUntil([&] { return rig.TileIs("slot-3", TileState::Programming); }, 30s));
    ASSERT_TRUE(PumpUntil([&] { return rig.Tile("slot-3")->fraction > 0.05; }, 30s));
    const StationTile* tile3 = rig.window->Board().TileOf("slot-3");
    ASSERT_NE(tile3, nullptr);
    EXPECT_EQ(TileWord(tile3->View()).back(), '%');
    pulled.Stop();  // pulled out in the middle of its run

    ASSERT_TRUE(PumpUntil([&] { return rig.TileIs("slot-1", TileState::Passed); }, 30s));
    ASSERT_TRUE(PumpUntil([&] { return rig.TileIs("slot-2", TileState::Failed); }, 30s));
    // The pulled slot is free at once; it says why its device failed until the next one.
    ASSERT_TRUE(PumpUntil([&] {
        return rig.TileIs("slot-3", TileState::Waiting) && !rig.Tile("slot-3")->reason.empty();
    }, 30s));
    EXPECT_NE(rig.Tile("slot-3")->reason.find("unplugged"), std::string::npos)
        << rig.Tile("slot-3")->reason;
    EXPECT_EQ(rig.Tile("slot-2")->reason, "Tx Error");
    EXPECT_EQ(TileLine(*rig.Tile("slot-1")), "remove the device");
    EXPECT_EQ(rig.window->Board().TileOf("slot-1")->View().state, TileState::Passed);
    ASSERT_TRUE(PumpUntil([&] { return rig.window->Model().Totals().failed == 2; }));
    EXPECT_EQ(rig.window->Model().Totals(), (BoardTotals{1, 2}));

    const std::vector<record::RunRow> rows = rig.Rows();
    ASSERT_EQ(rows.size(), 3u);
    std::map<std::string, const record::RunRow*> bySlot;
    for (const record::RunRow& r : rows) bySlot[r.slot] = &r;
    ASSERT_EQ(bySlot.size(), 3u);
    EXPECT_TRUE(bySlot["slot-1"]->passed);
    EXPECT_FALSE(bySlot["slot-2"]->passed);
    EXPECT_FALSE(bySlot["slot-3"]->passed);
    ASSERT_EQ(bySlot["slot-1"]->regions.size(), 1u);
    EXPECT_EQ(bySlot["slot-1"]->regions[0].region, "voice");
    EXPECT_EQ(bySlot["slot-1"]->regions[0].sha256, rig.window->Model().Header().files[0].sha256);
    EXPECT_GT(bySlot["slot-2"]->naks, 0);

    // Nothing runs: the window closes without asking.
    int asked = 0;
    rig.window->confirmAbandon = [&](int) { return ++asked, true; };
    EXPECT_TRUE(rig.window->close());
    EXPECT_EQ(asked, 0);
}

TEST(StationWindow, KeysStartNothingAndClosingAsksBeforeItAbandonsARun) {
    test::HangGuard guard(120s, "closing the station window");
    StationRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    devsim::DeviceOptions slow;
    slow.faults.replyDelayMs = 40;
    rig.Plug("slot-1", slow);
    ASSERT_TRUE(PumpUntil([&] { return rig.TileIs("slot-1", TileState::Programming); }, 30s));

    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(rig.window.get(), key);
    EXPECT_TRUE(rig.window->isVisible());

    std::vector<int> asked;
    rig.window->confirmAbandon = [&](int running) {
        asked.push_back(running);
        return false;  // keep running
    };
    EXPECT_FALSE(rig.window->close());
    EXPECT_TRUE(rig.window->isVisible());
    EXPECT_EQ(asked, std::vector<int>{1});
    EXPECT_TRUE(rig.TileIs("slot-1", TileState::Programming));

    rig.window->confirmAbandon = [&](int running) {
        asked.push_back(running);
        return true;
    };
    EXPECT_TRUE(rig.window->close());
    const std::vector<record::RunRow> rows = rig.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0].passed);
    EXPECT_EQ(rows[0].slot, "slot-1");
}

TEST(StationSetup, NothingButAClickStartsTheStationAndAProblemIsShownInTheDialog) {
    StationRig rig;
    StationSetupDialog setup(rig.choice);
    setup.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&setup));
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
        QTest::keyClick(&setup, key);
    EXPECT_TRUE(setup.isVisible());
    EXPECT_EQ(setup.result(), 0);

    StationChoice missing = rig.choice;
    missing.images = {"voice", rig.Slots() + "/no-such.adm"};
    StationSetupDialog bad(missing);
    bad.TryStart();
    EXPECT_EQ(bad.result(), 0);
    auto* problem = bad.findChild<QLabel*>(QStringLiteral("problem"));
    ASSERT_NE(problem, nullptr);
    EXPECT_TRUE(problem->text().contains(QStringLiteral("no-such.adm"))) << problem->text().toStdString();

    setup.findChild<QPushButton*>(QStringLiteral("start"))->click();
    EXPECT_EQ(setup.result(), QDialog::Accepted);
    EXPECT_NE(setup.TakePrepared(), nullptr);
}

}  // namespace
}  // namespace orlo::gui
