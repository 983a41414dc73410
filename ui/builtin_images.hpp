// The file list's built-in images, drawn by the program: a folder, a picture
// waiting for its thumbnail, a picture whose thumbnail failed, a plain
// picture, and two blanks.
#pragma once

#include <QPixmap>
#include <vector>

#include "preview/render.hpp"  // their indices (BuiltinImage)

namespace lk::ui {

// The side of the thumbnails as they are made: the largest the icons view
// shows; smaller zooms scale them down.
inline constexpr int kThumbnailSide = 160;

// The six images, kThumbnailSide square, for a device pixel ratio.
std::vector<QPixmap> DrawBuiltinImages(qreal device_pixel_ratio);

// The kinds of file with an icon of the program's own, for where the
// desktop's icon theme has none.
enum class FileKind { Movie, Sound, Document, Picture, Other };
FileKind FileKindOf(const QString& extension);
// An icon of the kind, side pixels square (logical), for a device pixel ratio.
QPixmap DrawFileIcon(FileKind kind, int side, qreal device_pixel_ratio);

}  // namespace lk::ui
