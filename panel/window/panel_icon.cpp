#include "panel/window/panel_icon.h"

#include <QPainter>
#include <QPainterPath>

QImage panelIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);

    QPainterPath triangle;
    triangle.moveTo(5, 3);
    triangle.lineTo(29, 16);
    triangle.lineTo(5, 29);
    triangle.closeSubpath();
    painter.setPen(QPen(QColor(20, 40, 110), 2));
    painter.setBrush(QColor(70, 130, 220));
    painter.drawPath(triangle);

    painter.setPen(QPen(QColor(220, 30, 30), 2.5));
    painter.drawLine(QPointF(9, 23), QPointF(19, 11));
    painter.drawLine(QPointF(19, 11), QPointF(14, 12));
    painter.drawLine(QPointF(19, 11), QPointF(18.5, 16));
    return image;
}
