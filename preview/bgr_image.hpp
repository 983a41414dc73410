// Pictures as the previews handle them: 24-bit blue-green-red pixels, rows
// top-down and packed, and the fitting of a picture into the thumbnail box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lk {

// width x height pixels, 3 bytes each (blue, green, red), row after row from
// the top; pixels.size() == width * height * 3.
struct BgrImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    BgrImage() = default;
    BgrImage(int w, int h, std::uint8_t fill = 0)
        : width(w), height(h), pixels(std::size_t(w) * std::size_t(h) * 3, fill) {}
    bool empty() const { return width <= 0 || height <= 0; }
    std::uint8_t* row(int y) { return pixels.data() + std::size_t(y) * std::size_t(width) * 3; }
    const std::uint8_t* row(int y) const {
        return pixels.data() + std::size_t(y) * std::size_t(width) * 3;
    }
};

// Where a picture lands in a box: its scaled size and its top-left corner.
struct Placement {
    int x = 0, y = 0, width = 0, height = 0;
};

// The thumbnail layout for a picture of width x height in a box: the picture
// keeps its proportions within (box - 1) pixels, centred, except that one
// more than twice as wide as high is laid out as if it were twice as high
// (and the other way round), so that panoramas stay recognisable. A 4000 x
// 3000 picture in 100 x 100 lands as 99 x 74 at (0, 12).
Placement FitIntoBox(int width, int height, int box_width, int box_height);

// Averages the source over each destination pixel's area (down- or
// upscaling), as a half-tone stretch does.
BgrImage Resample(const BgrImage& source, int width, int height);

// The thumbnail of a picture: a white box with the picture stretched into
// its placement and a 1-pixel black frame along the four edges.
BgrImage FitPicture(const BgrImage& picture, int box_width, int box_height);

}  // namespace lk
