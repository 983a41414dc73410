#include "preview/bgr_image.hpp"

#include <algorithm>
#include <cmath>

namespace lk {

namespace {

// One destination pixel's share of the source along an axis: source indices
// first..first+weights.size()-1 with their weights (summing to 1).
struct Span {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Span> area_spans(int source, int dest) {
    std::vector<Span> spans(static_cast<std::size_t>(dest));
    const double step = double(source) / double(dest);
    for (int d = 0; d < dest; ++d) {
        const double from = d * step, to = (d + 1) * step;
        Span& s = spans[static_cast<std::size_t>(d)];
        s.first = std::min(static_cast<int>(from), source - 1);
        const int last = std::min(static_cast<int>(std::ceil(to)) - 1, source - 1);
        for (int i = s.first; i <= std::max(last, s.first); ++i) {
            const double cover = std::min<double>(i + 1, to) - std::max<double>(i, from);
            s.weights.push_back(static_cast<float>(std::max(cover, 0.0) / step));
        }
    }
    return spans;
}

}  // namespace

Placement FitIntoBox(int width, int height, int box_width, int box_height) {
    Placement p;
    if (width <= 0 || height <= 0 || box_width < 2 || box_height < 2) return p;
    std::int64_t w = width, h = height;
    if (w / h > 2) h *= 2;
    else if (h / w > 2) w *= 2;
    const std::int64_t bw = box_width - 1, bh = box_height - 1;
    // The smaller of the two scales, in integers so that the limiting side
    // comes out whole (99, not 98.999...).
    if (bw * h <= bh * w) {
        p.width = static_cast<int>(bw);
        p.height = static_cast<int>(bw * h / w);
    } else {
        p.height = static_cast<int>(bh);
        p.width = static_cast<int>(bh * w / h);
    }
    p.width = std::max(p.width, 1);
    p.height = std::max(p.height, 1);
    p.x = static_cast<int>((bw - p.width) / 2);
    p.y = static_cast<int>((bh - p.height) / 2);
    return p;
}

BgrImage Resample(const BgrImage& source, int width, int height) {
    BgrImage out(width, height);
    if (source.empty() || width <= 0 || height <= 0) return out;
    const std::vector<Span> columns = area_spans(source.width, width);
    const std::vector<Span> rows = area_spans(source.height, height);
    // Horizontal pass into floats, then the vertical one.
    std::vector<float> across(std::size_t(width) * std::size_t(source.height) * 3);
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* in = source.row(y);
        float* o = across.data() + std::size_t(y) * std::size_t(width) * 3;
        for (int x = 0; x < width; ++x) {
            const Span& s = columns[std::size_t(x)];
            float b = 0, g = 0, r = 0;
            for (std::size_t k = 0; k < s.weights.size(); ++k) {
                const std::uint8_t* p = in + std::size_t(s.first + int(k)) * 3;
                b += s.weights[k] * p[0];
                g += s.weights[k] * p[1];
                r += s.weights[k] * p[2];
            }
            o[3 * x] = b, o[3 * x + 1] = g, o[3 * x + 2] = r;
        }
    }
    for (int y = 0; y < height; ++y) {
        const Span& s = rows[std::size_t(y)];
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < width * 3; ++x) {
            float v = 0;
            for (std::size_t k = 0; k < s.weights.size(); ++k)
                v += s.weights[k] * across[std::size_t(s.first + int(k)) * std::size_t(width) * 3 +
                                           std::size_t(x)];
            o[x] = static_cast<std::uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
        }
    }
    return out;
}

BgrImage FitPicture(const BgrImage& picture, int box_width, int box_height) {
    BgrImage box(box_width, box_height, 0xFF);
    if (box.empty()) return box;
    const Placement at = FitIntoBox(picture.width, picture.height, box_width, box_height);
    if (at.width > 0 && !picture.empty()) {
        const BgrImage scaled = Resample(picture, at.width, at.height);
        for (int y = 0; y < at.height; ++y)
            std::copy_n(scaled.row(y), std::size_t(at.width) * 3, box.row(at.y + y) + at.x * 3);
    }
    // The frame is drawn last, over the picture's outermost pixels.
    for (int x = 0; x < box_width; ++x) {
        std::fill_n(box.row(0) + 3 * x, 3, 0);
        std::fill_n(box.row(box_height - 1) + 3 * x, 3, 0);
    }
    for (int y = 0; y < box_height; ++y) {
        std::fill_n(box.row(y), 3, 0);
        std::fill_n(box.row(y) + 3 * (box_width - 1), 3, 0);
    }
    return box;
}

}  // namespace lk
