#include "StationBoard.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orlo::gui {

namespace {

constexpr double kTileAspect = 1.6;  // width / height the tiles are laid out for
constexpr int kTileGap = 6;          // pixels between tiles

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The largest pixel size, at most `most`, at which `text` fits into `width`.
int FittingPixelSize(QFont font, const QString& text, int most, int width) {
    int size = std::max(most, 6);
    font.setPixelSize(size);
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > width && advance > 0) size = std::max(6, size * width / advance);
    return size;
}

}  // namespace

// --- texts ------------------------------------------------------------------------------------

std::string YieldText(const BoardTotals& totals) {
    const unsigned finished = totals.passed + totals.failed;
    if (finished == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * totals.passed / finished);
    return text;
}

std::string TileWord(const TileView& tile) {
    switch (tile.state) {
        case TileState::Waiting:
            return "waiting";
        case TileState::Settling:
            return "settling";
        case TileState::Programming:
            return std::to_string(static_cast<int>(std::clamp(tile.fraction, 0.0, 1.0) * 100)) +
                   " %";
        case TileState::Passed:
            return "PASSED";
        case TileState::Failed:
            return "FAILED";
    }
    return {};
}

std::string TileLine(const TileView& tile) {
    switch (tile.state) {
        case TileState::Waiting:
            // A device pulled out in the middle of its run leaves its slot at once: the
            // slot says why that one failed until the next one comes.
            return tile.reason.empty() ? "plug in a device" : "last one FAILED: " + tile.reason;
        case TileState::Settling:
            return "hold on";
        case TileState::Programming:
            return tile.detail.empty() ? "programming" : tile.detail;
        case TileState::Passed:
            return "remove the device";
        case TileState::Failed:
            return (tile.reason.empty() ? std::string() : tile.reason + "\n") + "remove the device";
    }
    return {};
}

// --- model ------------------------------------------------------------------------------------

void StationBoardModel::Update(const TileView& tile) {
    auto it = std::lower_bound(m_tiles.begin(), m_tiles.end(), tile.name,
                               [](const TileView& t, const std::string& n) { return t.name < n; });
    if (it != m_tiles.end() && it->name == tile.name) {
        if (*it == tile) return;
        *it = tile;
        if (onTileChanged) onTileChanged(static_cast<int>(it - m_tiles.begin()));
        return;
    }
    m_tiles.insert(it, tile);
    if (onTileChanged) onTileChanged(-1);
}

void StationBoardModel::Vacate(const std::string& name) {
    const TileView* old = Find(name);
    if (old == nullptr) return;
    TileView tile;
    tile.name = name;
    Update(tile);
}

void StationBoardModel::SetTotals(const BoardTotals& totals) {
    if (totals == m_totals) return;
    m_totals = totals;
    if (onTotalsChanged) onTotalsChanged();
}

void StationBoardModel::SetHeader(BoardHeader header) {
    m_header = std::move(header);
    if (onHeaderChanged) onHeaderChanged();
}

const TileView* StationBoardModel::Find(const std::string& name) const {
    for (const TileView& t : m_tiles)
        if (t.name == name) return &t;
    return nullptr;
}

// --- one tile ---------------------------------------------------------------------------------

StationTile::StationTile(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void StationTile::Show(const TileView& tile) {
    if (tile == m_view && !accessibleName().isEmpty()) return;
    m_view = tile;
    setAccessibleName(Q(tile.name));
    setAccessibleDescription(Q(TileWord(tile) + " " + TileLine(tile)));
    setToolTip(Q(tile.name + (tile.serial.empty() ? "" : " - " + tile.serial) + "\n" +
                 TileWord(tile) + "\n" + TileLine(tile)));
    update();
}

QColor StationTile::Background(TileState state) {
    switch (state) {
        case TileState::Waiting:
            return QColor(0xE8, 0xEA, 0xED);
        case TileState::Settling:
            return QColor(0xFE, 0xF7, 0xE0);
        case TileState::Programming:
            return QColor(0xE8, 0xF0, 0xFE);
        case TileState::Passed:
            return QColor(0x18, 0x80, 0x38);
        case TileState::Failed:
            return QColor(0xC5, 0x22, 0x1F);
    }
    return Qt::white;
}

void StationTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    const TileState state = m_view.state;
    const bool strong = state == TileState::Passed || state == TileState::Failed;
    const QColor fill = Background(state);
    QPainterPath path;
    path.addRoundedRect(box, 6, 6);
    p.fillPath(path, fill);
    p.setPen(QPen(fill.darker(strong ? 130 : 115), 1.5));
    p.drawPath(path);

    const QColor ink = strong ? QColor(Qt::white)
                       : state == TileState::Waiting ? QColor(0x5F, 0x63, 0x68)
                                                     : QColor(0x20, 0x21, 0x24);
    const int h = height(), w = width();
    const int pad = std::max(4, h / 16);
    const QRect inner = rect().adjusted(pad, pad / 2, -pad, -pad / 2);

    // Top: the slot's name, and the serial number at the right.
    QFont small = font();
    small.setPixelSize(std::clamp(h / 9, 9, 20));
    QFont name = small;
    name.setBold(true);
    const int topHeight = QFontMetrics(name).height();
    const QRect top(inner.left(), inner.top(), inner.width(), topHeight);
    p.setPen(ink);
    const QString serial = Q(m_view.serial);
    const int serialWidth =
        serial.isEmpty() ? 0 : std::min(QFontMetrics(small).horizontalAdvance(serial), w / 2);
    p.setFont(name);
    p.drawText(top.adjusted(0, 0, -serialWidth - pad, 0), Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(name).elidedText(Q(m_view.name), Qt::ElideMiddle,
                                             top.width() - serialWidth - pad));
    if (!serial.isEmpty()) {
        p.setFont(small);
        p.drawText(top, Qt::AlignRight | Qt::AlignVCenter,
                   QFontMetrics(small).elidedText(serial, Qt::ElideLeft, serialWidth));
    }

    // Bottom: the progress bar, or the line (reason, remove the device).
    const QString line = Q(TileLine(m_view));
    QFont lineFont = small;
    lineFont.setBold(state == TileState::Failed);
    const int lines = static_cast<int>(line.count(u'\n')) + 1;
    const int lineHeight = QFontMetrics(lineFont).height();
    int bottomHeight = lines * lineHeight;
    QRect bar;
    if (state == TileState::Programming) {
        const int barHeight = std::max(6, h / 10);
        bar = QRect(inner.left(), inner.bottom() - barHeight, inner.width(), barHeight);
        bottomHeight += barHeight + pad / 2;
    }
    const QRect bottom(inner.left(), inner.bottom() - bottomHeight + 1, inner.width(),
                       bottomHeight - (bar.isNull() ? 0 : bar.height() + pad / 2));
    p.setFont(lineFont);
    QStringList shown;
    for (const QString& l : line.split(u'\n'))
        shown << QFontMetrics(lineFont).elidedText(l, Qt::ElideRight, bottom.width());
    p.drawText(bottom, Qt::AlignHCenter | Qt::AlignBottom, shown.join(u'\n'));
    if (!bar.isNull()) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xD2, 0xE3, 0xFC));
        p.drawRoundedRect(bar, 3, 3);
        QRect done = bar;
        done.setWidth(static_cast<int>(bar.width() * std::clamp(m_view.fraction, 0.0, 1.0)));
        p.setBrush(QColor(0x1A, 0x73, 0xE8));
        if (done.width() > 0) p.drawRoundedRect(done, 3, 3);
    }

    // Middle: the large word, as large as the space allows.
    const QRect middle(inner.left(), top.bottom(), inner.width(),
                       std::max(0, bottom.top() - top.bottom()));
    QFont big = font();
    big.setBold(true);
    const QString word = Q(TileWord(m_view));
    big.setPixelSize(FittingPixelSize(big, word, middle.height() * 3 / 4, middle.width() * 9 / 10));
    p.setFont(big);
    p.setPen(ink);
    p.drawText(middle, Qt::AlignCenter, word);
}

// --- the board --------------------------------------------------------------------------------

StationBoard::StationBoard(StationBoardModel& model, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("stationBoard"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    m_header = new QLabel(this);
    m_header->setObjectName(QStringLiteral("stationHeader"));
    m_header->setTextFormat(Qt::RichText);
    m_header->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_header->setWordWrap(true);
    // Framed, as a plate that says what this station programs; nothing on it can be changed.
    m_header->setStyleSheet(QStringLiteral(
        "QLabel#stationHeader { background: #f8f9fa; border: 1px solid #dadce0;"
        " border-radius: 4px; padding: 4px 8px; }"));
    m_totals = new QLabel(this);
    m_totals->setObjectName(QStringLiteral("stationTotals"));
    m_totals->setTextFormat(Qt::RichText);
    QFont totalsFont = font();
    totalsFont.setPixelSize(28);
    totalsFont.setBold(true);
    m_totals->setFont(totalsFont);
    m_area = new QWidget(this);
    m_area->setObjectName(QStringLiteral("stationTiles"));
    m_area->installEventFilter(this);
    layout->addWidget(m_header);
    layout->addWidget(m_totals);
    layout->addWidget(m_area, 1);
    m_empty = new QLabel(m_area);
    m_empty->setObjectName(QStringLiteral("stationEmpty"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setWordWrap(true);
    QFont emptyFont = font();
    emptyFont.setPixelSize(24);
    m_empty->setFont(emptyFont);
    m_empty->setForegroundRole(QPalette::PlaceholderText);

    m_model.onTileChanged = [this](int index) {
        if (index < 0 || index >= static_cast<int>(m_tiles.size()))
            Rebuild();
        else
            m_tiles[static_cast<std::size_t>(index)]->Show(
                m_model.Tiles()[static_cast<std::size_t>(index)]);
    };
    m_model.onTotalsChanged = [this] { ShowTotals(); };
    m_model.onHeaderChanged = [this] { ShowHeader(); };
    Rebuild();
    ShowTotals();
    ShowHeader();
}

StationTile* StationBoard::TileOf(const std::string& name) const {
    for (StationTile* t : m_tiles)
        if (t->View().name == name) return t;
    return nullptr;
}

int StationBoard::BestColumns(int count, QSize area, double aspect) {
    if (count <= 1 || area.width() <= 0 || area.height() <= 0) return 1;
    int best = 1;
    double bestScale = -1;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const double w = static_cast<double>(area.width()) / columns;
        const double h = static_cast<double>(area.height()) / rows;
        const double scale = std::min(w / aspect, h);
        if (scale > bestScale + 1e-9) {
            bestScale = scale;
            best = columns;
        }
    }
    return best;
}

void StationBoard::Rebuild() {
    const auto& tiles = m_model.Tiles();
    while (m_tiles.size() > tiles.size()) {
        delete m_tiles.back();
        m_tiles.pop_back();
    }
    while (m_tiles.size() < tiles.size()) {
        auto* tile = new StationTile(m_area);
        tile->show();
        m_tiles.push_back(tile);
    }
    for (std::size_t i = 0; i < tiles.size(); ++i) m_tiles[i]->Show(tiles[i]);
    Reflow();
}

void StationBoard::SetEmptyText(const QString& text) {
    m_empty->setText(text);
}

void StationBoard::Reflow() {
    const int count = static_cast<int>(m_tiles.size());
    m_empty->setGeometry(m_area->rect());
    m_empty->setVisible(count == 0);
    if (count == 0) return;
    const QSize area = m_area->size();
    m_columns = BestColumns(count, area, kTileAspect);
    const int rows = (count + m_columns - 1) / m_columns;
    const int w = (area.width() - (m_columns - 1) * kTileGap) / m_columns;
    int h = (area.height() - (rows - 1) * kTileGap) / rows;
    h = std::min(h, w);  // never taller than wide: spare room stays below the tiles
    for (int i = 0; i < count; ++i) {
        const int row = i / m_columns, column = i % m_columns;
        m_tiles[static_cast<std::size_t>(i)]->setGeometry(column * (w + kTileGap),
                                                          row * (h + kTileGap), w, h);
    }
}

bool StationBoard::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_area && event->type() == QEvent::Resize) Reflow();
    return QWidget::eventFilter(watched, event);
}

void StationBoard::ShowTotals() {
    const BoardTotals& t = m_model.Totals();
    m_totals->setText(QStringLiteral("<span style='color:#188038'>Passed %1</span>"
                                     "&nbsp;&nbsp;&nbsp;&nbsp;"
                                     "<span style='color:#c5221f'>Failed %2</span>"
                                     "&nbsp;&nbsp;&nbsp;&nbsp;Yield %3")
                          .arg(t.passed)
                          .arg(t.failed)
                          .arg(Q(YieldText(t)).toHtmlEscaped()));
}

void StationBoard::ShowHeader() {
    const BoardHeader& h = m_model.Header();
    QString html = QStringLiteral("<span style='font-size:18px; font-weight:bold'>%1</span>")
                       .arg(Q(h.name).toHtmlEscaped());
    for (const BoardHeader::File& f : h.files)
        html += QStringLiteral("<br>%1 &nbsp;<tt>%2</tt>")
                    .arg(Q(f.name).toHtmlEscaped(), Q(f.sha256).toHtmlEscaped());
    m_header->setText(html);
    m_header->setVisible(!h.name.empty() || !h.files.empty());
}

}  // namespace orlo::gui
