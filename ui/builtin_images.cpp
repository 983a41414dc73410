#include "ui/builtin_images.hpp"

#include <QPainter>
#include <QPainterPath>

#include "formats/identify.hpp"
#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

QPixmap blank(qreal dpr) {
    QPixmap pixmap(QSize(kThumbnailSide, kThumbnailSide) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The images are drawn on a 100-pixel square, scaled to the thumbnails' side.
void scale_to_side(QPainter& p) {
    p.scale(kThumbnailSide / 100.0, kThumbnailSide / 100.0);
}

QPixmap folder(qreal dpr) {
    QPixmap pixmap = blank(dpr);
    QPainter p(&pixmap);
    scale_to_side(p);
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
    scale_to_side(p);
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
        p.drawText(QRectF(2, 60, 96, 38), Qt::AlignCenter | Qt::TextWordWrap, caption);
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

FileKind FileKindOf(const QString& extension) {
    const std::string ext = extension.toUpper().toStdString();
    if (is_movie_ext(ext)) return FileKind::Movie;
    if (is_sound_ext(ext)) return FileKind::Sound;
    if (is_document_ext(ext)) return FileKind::Document;
    if (is_picture_ext(ext) || is_raw_ext(ext)) return FileKind::Picture;
    return FileKind::Other;
}

QPixmap DrawFileIcon(FileKind kind, int side, qreal dpr) {
    QPixmap pixmap(QSize(side, side) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 48.0, side / 48.0);  // drawn on a 48-pixel square
    const QColor ink(70, 70, 70);
    // A sheet of paper with a folded corner, the ground of every kind.
    QPainterPath sheet;
    sheet.moveTo(10, 3);
    sheet.lineTo(30, 3);
    sheet.lineTo(39, 12);
    sheet.lineTo(39, 45);
    sheet.lineTo(10, 45);
    sheet.closeSubpath();
    p.setPen(QPen(ink, 1.5));
    p.setBrush(QColor(250, 250, 250));
    p.drawPath(sheet);
    p.drawLine(QPointF(30, 3), QPointF(30, 12));
    p.drawLine(QPointF(30, 12), QPointF(39, 12));
    switch (kind) {
        case FileKind::Movie: {
            // A strip of film: a dark band with its holes and a frame.
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(45, 45, 55));
            p.drawRect(QRectF(13, 17, 23, 22));
            p.setBrush(Qt::white);
            for (int i = 0; i < 4; ++i) {
                p.drawRect(QRectF(14.5, 18.5 + 5 * i, 2.5, 2.5));
                p.drawRect(QRectF(32, 18.5 + 5 * i, 2.5, 2.5));
            }
            p.setBrush(QColor(120, 170, 230));
            p.drawRect(QRectF(19, 20, 11, 16));
            break;
        }
        case FileKind::Sound: {
            // A note.
            p.setPen(QPen(QColor(60, 90, 160), 2.2));
            p.drawLine(QPointF(28, 18), QPointF(28, 34));
            p.drawLine(QPointF(28, 18), QPointF(34, 21));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(60, 90, 160));
            p.drawEllipse(QPointF(24.5, 35), 4, 3);
            break;
        }
        case FileKind::Document: {
            // Lines of text.
            p.setPen(QPen(QColor(120, 120, 120), 1.6));
            for (int i = 0; i < 5; ++i) p.drawLine(QPointF(14, 19 + 5 * i), QPointF(i == 4 ? 27 : 35, 19 + 5 * i));
            break;
        }
        case FileKind::Picture: {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(170, 210, 245));
            p.drawRect(QRectF(14, 18, 21, 17));
            p.setBrush(QColor(70, 150, 70));
            QPainterPath hill;
            hill.moveTo(14, 35);
            hill.lineTo(22, 25);
            hill.lineTo(28, 31);
            hill.lineTo(35, 35);
            hill.closeSubpath();
            p.drawPath(hill);
            break;
        }
        case FileKind::Other:
            break;
    }
    return pixmap;
}

}  // namespace lk::ui
