#include "PreviewCanvas.h"

#include <QPainter>

namespace orlo::gui {

namespace {
constexpr int kMinWidth = 256;  // the converters' preview is 256 x 32 pixels
constexpr int kMinHeight = 32;
}  // namespace

PreviewCanvas::PreviewCanvas(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PreviewCanvas::Cover(const QRect& rect) {
    if (m_area.contains(rect)) return;
    const QRect grown = m_area.isNull() ? rect : m_area.united(rect);
    QImage image(grown.size(), QImage::Format_RGB32);
    image.fill(palette().color(QPalette::Window));
    if (!m_image.isNull()) {
        QPainter p(&image);
        p.drawImage(m_area.topLeft() - grown.topLeft(), m_image);
    }
    m_area = grown;
    m_image = image;
    updateGeometry();
}

void PreviewCanvas::FillSolidRect(int x, int y, int w, int h, uint32_t rgb) {
    if (w <= 0 || h <= 0) return;
    const QRect rect(x, y, w, h);
    Cover(rect);
    QPainter p(&m_image);
    p.fillRect(rect.translated(-m_area.topLeft()),
               QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF));
    update();
}

bool PreviewCanvas::DrawBitmapFile(const std::string& path, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return false;
    QImage bitmap;
    if (!bitmap.load(QString::fromStdString(path))) return false;
    const QRect rect(x, y, w, h);
    Cover(rect);
    QPainter p(&m_image);
    p.setClipRect(rect.translated(-m_area.topLeft()));
    p.drawImage(QPoint(x, y) - m_area.topLeft(), bitmap, QRect(0, 0, w, h));
    update();
    return true;
}

QColor PreviewCanvas::PixelAt(int x, int y) const {
    if (!m_area.contains(x, y)) return {};
    return m_image.pixelColor(x - m_area.left(), y - m_area.top());
}

QSize PreviewCanvas::sizeHint() const {
    return m_image.isNull() ? QSize(kMinWidth, kMinHeight)
                            : m_image.size().expandedTo(QSize(kMinWidth, kMinHeight));
}

void PreviewCanvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (m_image.isNull()) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("Converter preview"));
        return;
    }
    p.drawImage(QPoint(0, 0), m_image);
}

}  // namespace orlo::gui
