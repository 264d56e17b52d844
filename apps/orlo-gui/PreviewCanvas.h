// The converter preview: the dialog paints into its client area (a white rectangle, then the
// bitmap file), and this canvas keeps what was painted and shows it. The canvas covers the
// smallest rectangle of client coordinates that holds every painting so far, so both
// converters' previews appear one above the other at their own positions.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <string>

namespace orlo::gui {

class PreviewCanvas : public QWidget {
  public:
    explicit PreviewCanvas(QWidget* parent = nullptr);

    // `rgb` as the dialog gives it: 0x00BBGGRR.
    void FillSolidRect(int x, int y, int w, int h, uint32_t rgb);
    // Copies w x h pixels from the bitmap's top-left corner to (x, y); false (and nothing
    // drawn) when the file cannot be loaded.
    bool DrawBitmapFile(const std::string& path, int x, int y, int w, int h);

    // The painted area in client coordinates and its pixels (empty before any painting).
    QRect Area() const { return m_area; }
    QImage Image() const { return m_image; }
    // The colour at a client point, or an invalid colour outside the painted area.
    QColor PixelAt(int x, int y) const;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Cover(const QRect& rect);

    QRect m_area;  // client coordinates covered by m_image
    QImage m_image;
};

}  // namespace orlo::gui
