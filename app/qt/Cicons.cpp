#include "app/qt/Cicons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

void note(QPainter& p, QPointF head, double h, QColor c)
{
    p.setPen(QPen(c, 1.4));
    p.setBrush(c);
    p.drawEllipse(head, 2.4, 1.8);
    p.drawLine(QPointF(head.x() + 2.2, head.y()), QPointF(head.x() + 2.2, head.y() - h));
    p.drawLine(QPointF(head.x() + 2.2, head.y() - h), QPointF(head.x() + 5.0, head.y() - h + 2.5));
}

void wave(QPainter& p, QRectF r, QColor c)
{
    QPainterPath path(QPointF(r.left(), r.center().y()));
    const double w = r.width() / 4;
    for (int i = 0; i < 4; ++i) {
        const double x = r.left() + i * w;
        const double dy = (i % 2 ? 1 : -1) * r.height() / 2;
        path.cubicTo(x + w / 3, r.center().y() + dy, x + 2 * w / 3, r.center().y() + dy, x + w, r.center().y());
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(c, 1.3));
    p.drawPath(path);
}

void fader(QPainter& p, double x, double knob)
{
    p.setPen(QPen(QColor(90, 90, 90), 1.0));
    p.drawLine(QPointF(x, 2), QPointF(x, 14));
    p.setPen(QPen(QColor(40, 40, 40), 0.8));
    p.setBrush(QColor(230, 180, 60));
    p.drawRect(QRectF(x - 2, knob - 1.5, 4, 3));
}

void draw(QPainter& p, int id)
{
    const QColor blue(40, 90, 180), red(200, 40, 40), green(40, 140, 60), dark(50, 50, 50);
    switch (id) {
    case ID_OPEN:
        p.setPen(QPen(QColor(150, 110, 20), 1.0));
        p.setBrush(QColor(240, 200, 90));
        p.drawRect(QRectF(1.5, 4.5, 12, 9));
        p.setBrush(QColor(255, 225, 130));
        p.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15.5, 7.5), QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
        p.drawRect(QRectF(1.5, 3, 5, 1.5));
        break;
    case ID_CONVERTER:
        note(p, QPointF(3.5, 12), 9, blue);
        p.setPen(QPen(dark, 1.2));
        p.drawLine(QPointF(8, 8), QPointF(11, 8));
        p.drawLine(QPointF(10, 6.5), QPointF(11.5, 8));
        p.drawLine(QPointF(10, 9.5), QPointF(11.5, 8));
        wave(p, QRectF(11, 4, 4.5, 8), green);
        break;
    case ID_PLAYER:
        p.setPen(QPen(green.darker(130), 1.0));
        p.setBrush(green);
        p.drawPolygon(QPolygonF({QPointF(4, 2.5), QPointF(13.5, 8), QPointF(4, 13.5)}));
        break;
    case ID_RECORDER:
        p.setPen(QPen(red.darker(140), 1.0));
        p.setBrush(red);
        p.drawEllipse(QPointF(8, 8), 5.5, 5.5);
        break;
    case ID_AUMIXER:
        wave(p, QRectF(1, 2, 14, 5), blue);
        wave(p, QRectF(1, 9, 14, 5), green);
        p.setPen(QPen(dark, 1.2));
        p.drawLine(QPointF(1, 15), QPointF(15, 15));
        break;
    case ID_MP3: {
        p.setPen(QPen(dark, 1.0));
        p.setBrush(QColor(200, 200, 215));
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 8), 1.8, 1.8);
        QFont f = p.font();
        f.setPixelSize(6);
        f.setBold(true);
        p.setFont(f);
        p.setPen(blue);
        p.drawText(QRectF(0, 9.5, 16, 6), Qt::AlignCenter, "MP3");
        break;
    }
    case ID_OPTIONS: {
        p.setPen(QPen(dark, 1.0));
        p.setBrush(QColor(160, 160, 170));
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(8, 8);
            p.rotate(i * 45);
            p.drawRect(QRectF(-1.3, -7, 2.6, 3));
            p.restore();
        }
        p.drawEllipse(QPointF(8, 8), 4.8, 4.8);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 8), 1.8, 1.8);
        break;
    }
    case ID_EFFECTS:
        p.setPen(QPen(QColor(120, 60, 160), 1.2));
        p.setBrush(Qt::NoBrush);
        for (int i = 0; i < 3; ++i) p.drawArc(QRectF(1 + i * 2.5, 3 + i * 2.5, 14 - i * 5, 10 - i * 5), 0, 16 * 360);
        note(p, QPointF(6, 12), 6, blue);
        break;
    case ID_MIDIMIXER:
        fader(p, 3, 10);
        fader(p, 8, 5);
        fader(p, 13, 8);
        break;
    case ID_HELPMAIN: {
        p.setPen(QPen(blue.darker(130), 1.0));
        p.setBrush(blue);
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        QFont f = p.font();
        f.setPixelSize(11);
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, "?");
        break;
    }
    default: break;
    }
}

}

QIcon toolicon(int id)
{
    QIcon icon;
    // Every toolbar picture is drawn on a 16x16 grid; the 32-pixel copy serves high-density screens.
    for (int size : {16, 32}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 16.0, size / 16.0);
        draw(p, id);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QIcon appicon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 64.0, size / 64.0);
        p.setPen(QPen(QColor(20, 50, 110), 2));
        p.setBrush(QColor(45, 95, 185));
        p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
        p.setPen(QPen(QColor(250, 210, 80), 4));
        p.setBrush(Qt::NoBrush);
        QPainterPath w(QPointF(8, 44));
        w.cubicTo(16, 30, 22, 30, 28, 44);
        w.cubicTo(34, 58, 40, 58, 46, 44);
        w.cubicTo(50, 36, 54, 36, 58, 40);
        p.drawPath(w);
        p.setPen(QPen(Qt::white, 3));
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(24, 26), 7, 5.5);
        p.drawLine(QPointF(30.5, 26), QPointF(30.5, 6));
        p.drawLine(QPointF(30.5, 6), QPointF(42, 14));
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}
