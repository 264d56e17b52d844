// The station's board without a station: the model's tiles and totals reach the widgets, and
// the tiles reflow to fit from 2 to 64 slots on a 1024 x 768 screen.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include "StationBoard.h"

namespace orlo::gui {
namespace {

TileView Tile(const std::string& name, TileState state, double fraction = 0,
              const std::string& serial = "", const std::string& reason = "") {
    TileView t;
    t.name = name;
    t.state = state;
    t.fraction = fraction;
    t.serial = serial;
    t.reason = reason;
    return t;
}

TEST(StationBoardTexts, EveryStateHasItsWordAndLine) {
    struct Case {
        TileView tile;
        std::string word;
        std::string line;
    };
    const std::vector<Case> cases = {
        {Tile("s1", TileState::Waiting), "waiting", "plug in a device"},
        {Tile("s1", TileState::Waiting, 0, "", "unplugged"), "waiting", "last one FAILED: unplugged"},
        {Tile("s1", TileState::Settling), "settling", "hold on"},
        {Tile("s1", TileState::Programming, 0.426), "42 %", "programming"},
        {Tile("s1", TileState::Programming, 1.5), "100 %", "programming"},
        {Tile("s1", TileState::Passed), "PASSED", "remove the device"},
        {Tile("s1", TileState::Failed, 0, "", "Tx Error"), "FAILED", "Tx Error\nremove the device"},
        {Tile("s1", TileState::Failed), "FAILED", "remove the device"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TileWord(c.tile), c.word);
        EXPECT_EQ(TileLine(c.tile), c.line);
    }
    EXPECT_EQ(YieldText({}), "-");
    EXPECT_EQ(YieldText({25, 1}), "96.2 %");
    EXPECT_EQ(YieldText({0, 3}), "0.0 %");
}

TEST(StationBoard, TilesFollowTheModelInNameOrderAndTheTotalsShowAlongTheTop) {
    StationBoardModel model;
    StationBoard board(model);
    board.resize(1024, 700);
    board.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&board));

    model.SetHeader({"line-7 bundle", {{"application: app.bin", std::string(64, 'a')}}});
    model.Update(Tile("slot-b", TileState::Waiting));
    model.Update(Tile("slot-a", TileState::Programming, 0.5, "SN0042"));
    model.Update(Tile("slot-c", TileState::Failed, 0, "SN7", "unplugged"));
    ASSERT_EQ(board.TileWidgets().size(), 3u);
    EXPECT_EQ(board.TileWidgets()[0]->View().name, "slot-a");
    EXPECT_EQ(board.TileWidgets()[2]->View().name, "slot-c");
    EXPECT_EQ(board.TileOf("slot-a")->View().serial, "SN0042");
    EXPECT_EQ(board.TileOf("slot-a")->accessibleDescription(), QStringLiteral("50 % programming"));
    EXPECT_EQ(board.TileOf("slot-c")->View().reason, "unplugged");

    // A tile changes in place; a vacated slot waits again and keeps its place.
    model.Update(Tile("slot-a", TileState::Passed, 1, "SN0042"));
    EXPECT_EQ(board.TileOf("slot-a")->View().state, TileState::Passed);
    model.Vacate("slot-a");
    EXPECT_EQ(board.TileOf("slot-a")->View().state, TileState::Waiting);
    EXPECT_EQ(board.TileOf("slot-a")->View().serial, "");
    EXPECT_EQ(board.TileWidgets().size(), 3u);

    model.SetTotals({12, 1});
    const QString totals = board.TotalsLabel().text();
    EXPECT_TRUE(totals.contains(QStringLiteral("Passed 12"))) << totals.toStdString();
    EXPECT_TRUE(totals.contains(QStringLiteral("Failed 1")));
    EXPECT_TRUE(totals.contains(QStringLiteral("Yield 92.3 %")));
    EXPECT_TRUE(board.HeaderLabel().text().contains(QStringLiteral("line-7 bundle")));
    EXPECT_TRUE(board.HeaderLabel().text().contains(QString(64, u'a')));

    // The colours read from across the room: green for passed, red for failed.
    const QImage picture = board.TileOf("slot-c")->grab().toImage();
    EXPECT_EQ(picture.pixelColor(4, picture.height() / 2),
              StationTile::Background(TileState::Failed));
    EXPECT_GT(StationTile::Background(TileState::Passed).green(),
              2 * StationTile::Background(TileState::Passed).red());
}

// From 2 to 64 slots on a 1024 x 768 screen every tile is inside the board, none overlaps
// another, and the tiles stay large enough for their words.
TEST(StationBoard, TilesReflowToFitTwoToSixtyFourSlots) {
    for (const int count : {2, 3, 8, 16, 32, 33, 64}) {
        SCOPED_TRACE(count);
        StationBoardModel model;
        StationBoard board(model);
        for (int i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "slot-%02d", i);
            model.Update(Tile(name, i % 2 ? TileState::Passed : TileState::Programming, 0.3));
        }
        board.resize(1024, 700);  // a 1024 x 768 screen less the title bar and totals
        board.show();
        QCoreApplication::processEvents();
        ASSERT_EQ(board.TileWidgets().size(), static_cast<std::size_t>(count));
        const QWidget* area = board.TileWidgets()[0]->parentWidget();
        for (std::size_t i = 0; i < board.TileWidgets().size(); ++i) {
            const QRect g = board.TileWidgets()[i]->geometry();
            EXPECT_TRUE(area->rect().contains(g)) << i;
            EXPECT_GE(g.width(), 110) << i;
            EXPECT_GE(g.height(), 60) << i;
            for (std::size_t j = i + 1; j < board.TileWidgets().size(); ++j)
                EXPECT_FALSE(g.intersects(board.TileWidgets()[j]->geometry())) << i << " " << j;
        }
        // The columns leave the tiles near the shape they are drawn for.
        const QRect first = board.TileWidgets()[0]->geometry();
        EXPECT_LT(first.width(), 4 * first.height());
    }
    EXPECT_EQ(StationBoard::BestColumns(2, QSize(1000, 600), 1.6), 2);
    EXPECT_EQ(StationBoard::BestColumns(64, QSize(1000, 600), 1.6), 8);
    EXPECT_EQ(StationBoard::BestColumns(1, QSize(1000, 600), 1.6), 1);
}

}  // namespace
}  // namespace orlo::gui
