#include "AppIcon.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace orlo::gui {

QPixmap AppIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);  // drawn on a 64 x 64 grid

    // Pins on both sides of the chip.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xB0, 0xB8, 0xC0));
    for (int i = 0; i < 4; ++i) {
        const double y = 16 + i * 10;
        p.drawRect(QRectF(4, y, 8, 5));
        p.drawRect(QRectF(52, y, 8, 5));
    }
    // The chip body.
    p.setBrush(QColor(0x1F, 0x4E, 0x79));
    p.drawRoundedRect(QRectF(10, 8, 44, 48), 6, 6);
    p.setBrush(QColor(0x2E, 0x75, 0xB6));
    p.drawEllipse(QRectF(15, 13, 6, 6));  // pin-one mark

    // A download arrow into a bar: an image going into the flash.
    p.setBrush(QColor(0xFF, 0xC0, 0x00));
    p.drawRect(QRectF(28, 16, 8, 16));
    const QPolygonF head({QPointF(20, 30), QPointF(44, 30), QPointF(32, 43)});
    p.drawPolygon(head);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(18, 46, 28, 4), 2, 2);
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 256}) icon.addPixmap(AppIconPixmap(size));
    return icon;
}

}  // namespace orlo::gui
