// The file list's built-in images, drawn by the program: a folder, a picture
// waiting for its thumbnail, a picture whose thumbnail failed, a plain
// picture, and two blanks.
#pragma once

#include <QPixmap>
#include <vector>

#include "preview/render.hpp"  // their indices (BuiltinImage)

namespace lk::ui {

inline constexpr int kThumbnailSide = 100;

// The six images, kThumbnailSide square, for a device pixel ratio.
std::vector<QPixmap> DrawBuiltinImages(qreal device_pixel_ratio);

}  // namespace lk::ui
