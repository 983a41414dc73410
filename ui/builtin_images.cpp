#include "ui/builtin_images.hpp"

#include <QPainter>
#include <QPainterPath>

#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

QPixmap blank(qreal dpr) {
    QPixmap pixmap(QSize(kThumbnailSide, kThumbnailSide) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap folder(qreal dpr) {
    QPixmap pixmap = blank(dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor edge(176, 128, 20), back(236, 184, 60), front(252, 210, 90);
    p.setPen(QPen(edge, 2));
    p.setBrush(back);
    QPainterPath tab;
    tab.moveTo(10, 26);
    tab.lineTo(38, 26);
    tab.lineTo(46, 34);
    tab.lineTo(90, 34);
    tab.lineTo(90, 82);
    tab.lineTo(10, 82);
    tab.closeSubpath();
    p.drawPath(tab);
    p.setBrush(front);
    p.drawRoundedRect(QRectF(10, 42, 80, 40), 3, 3);
    return pixmap;
}

// A framed landscape: sky, sun and two hills; `caption` (when given) is
// written beneath it.
QPixmap picture(qreal dpr, const QString& caption) {
    QPixmap pixmap = blank(dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = caption.isEmpty() ? QRectF(14, 20, 72, 58) : QRectF(18, 8, 64, 50);
    p.setPen(QPen(QColor(90, 90, 90), 2));
    p.setBrush(QColor(170, 210, 245));
    p.drawRect(frame);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 200, 40));
    p.drawEllipse(QPointF(frame.right() - frame.width() * 0.25, frame.top() + frame.height() * 0.3),
                  frame.width() * 0.1, frame.width() * 0.1);
    QPainterPath hills;
    hills.moveTo(frame.left() + 1, frame.bottom() - 1);
    hills.lineTo(frame.left() + frame.width() * 0.35, frame.top() + frame.height() * 0.45);
    hills.lineTo(frame.left() + frame.width() * 0.6, frame.top() + frame.height() * 0.75);
    hills.lineTo(frame.left() + frame.width() * 0.75, frame.top() + frame.height() * 0.6);
    hills.lineTo(frame.right() - 1, frame.bottom() - 1);
    hills.closeSubpath();
    p.setBrush(QColor(70, 150, 70));
    p.drawPath(hills);
    if (!caption.isEmpty()) {
        QFont font = p.font();
        font.setPixelSize(12);
        p.setFont(font);
        p.setPen(QColor(60, 60, 60));
        p.drawText(QRectF(2, 60, kThumbnailSide - 4, 38), Qt::AlignCenter | Qt::TextWordWrap,
                   caption);
    }
    return pixmap;
}

}  // namespace

std::vector<QPixmap> DrawBuiltinImages(qreal dpr) {
    return {folder(dpr),
            picture(dpr, T("rendering thumbnail")),
            picture(dpr, T("rendering failed")),
            picture(dpr, {}),
            blank(dpr),
            blank(dpr)};
}

}  // namespace lk::ui
