// The station's board: one tile per slot, large enough to read from across the bench, with
// what is being programmed and the totals along the top. Driven by StationBoardModel, which
// knows nothing of the station: whoever watches the station (or a test) fills it in.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QLabel;

namespace orlo::gui {

enum class TileState {
    Waiting,      // no device
    Settling,     // a device came and is given a moment before its run starts
    Programming,  // its run is under way (a progress bar)
    Passed,       // green; the device is to be removed
    Failed,       // red with the short reason; the device is to be removed
};

struct TileView {
    std::string name;    // the slot's name
    TileState state = TileState::Waiting;
    double fraction = 0;      // Programming: of the whole run, 0..1
    std::string detail;       // Programming: what the device is doing, the time left
    std::string serial;       // the device's serial number, when known
    std::string reason;       // Failed: in a few words; Waiting: why the last device failed
    bool operator==(const TileView&) const = default;
};

struct BoardTotals {
    unsigned passed = 0;
    unsigned failed = 0;
    bool operator==(const BoardTotals&) const = default;
};

// What the station programs, shown at the top and fixed while it runs.
struct BoardHeader {
    struct File {
        std::string name;    // a region's image (or the region itself)
        std::string sha256;  // lower-case hex
    };
    std::string name;  // the bundle's or manifest's name
    std::vector<File> files;
};

// "96.2 %", or "-" before any device has finished.
std::string YieldText(const BoardTotals& totals);
// The large word of a tile: "waiting", "settling", "42 %", "PASSED", "FAILED".
std::string TileWord(const TileView& tile);
// The smaller line under it: the run's detail, the reason, "remove the device".
std::string TileLine(const TileView& tile);

class StationBoardModel {
  public:
    // Adds the slot, or replaces the one of that name. Tiles stay in order of their names.
    void Update(const TileView& tile);
    // The tile of `name` shows waiting again (the slot stays on the board).
    void Vacate(const std::string& name);
    void SetTotals(const BoardTotals& totals);
    void SetHeader(BoardHeader header);

    const std::vector<TileView>& Tiles() const { return m_tiles; }
    const TileView* Find(const std::string& name) const;
    const BoardTotals& Totals() const { return m_totals; }
    const BoardHeader& Header() const { return m_header; }

    // Told after each change: a tile's index, or -1 when tiles were added (the board reflows).
    std::function<void(int index)> onTileChanged;
    std::function<void()> onTotalsChanged;
    std::function<void()> onHeaderChanged;

  private:
    std::vector<TileView> m_tiles;
    BoardTotals m_totals;
    BoardHeader m_header;
};

// One slot's tile, painted: name and serial number at the top, the large word in the middle,
// the progress bar or the line under it.
class StationTile : public QWidget {
  public:
    explicit StationTile(QWidget* parent = nullptr);
    void Show(const TileView& tile);
    const TileView& View() const { return m_view; }
    // The tile's background colour for its state.
    static QColor Background(TileState state);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    TileView m_view;
};

// The whole board: header, totals and the tiles, which reflow to the widget's size.
class StationBoard : public QWidget {
  public:
    explicit StationBoard(StationBoardModel& model, QWidget* parent = nullptr);

    const std::vector<StationTile*>& TileWidgets() const { return m_tiles; }
    StationTile* TileOf(const std::string& name) const;
    int Columns() const { return m_columns; }
    QLabel& TotalsLabel() { return *m_totals; }
    QLabel& HeaderLabel() { return *m_header; }
    // Shown in place of the tiles while there are none.
    void SetEmptyText(const QString& text);

    // Columns that give the largest tiles of about the aspect `aspect` (width / height) for
    // `count` tiles in `area`.
    static int BestColumns(int count, QSize area, double aspect);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;  // the tiles' area resized

  private:
    void Rebuild();
    void Reflow();
    void ShowTotals();
    void ShowHeader();

    StationBoardModel& m_model;
    QLabel* m_header = nullptr;
    QLabel* m_totals = nullptr;
    QWidget* m_area = nullptr;
    QLabel* m_empty = nullptr;
    std::vector<StationTile*> m_tiles;
    int m_columns = 1;
};

}  // namespace orlo::gui
