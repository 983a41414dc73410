#include "preview/grade.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "formats/jpeg.hpp"
#include "formats/tiff.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

namespace {

constexpr std::uint16_t kThumbnailOffset = 0x0201;  // JPEGInterchangeFormat
constexpr std::uint16_t kThumbnailLength = 0x0202;  // JPEGInterchangeFormatLength

// The seam search: a boundary counts as changed where its blocks change by
// this many times the picture's median change, and at least kSeamMinimum
// (summed over the three channels).
constexpr double kSeamFactor = 8;
constexpr double kSeamMinimum = 30;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Mean absolute difference per channel between two rows of n pixels.
double row_difference(const std::uint8_t* a, const std::uint8_t* b, int n) {
    int sum = 0;
    for (int i = 0; i < 3 * n; ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return n > 0 ? double(sum) / (3.0 * n) : 0;
}

// Where a camera thumbnail's picture lies in it: cameras keep 4:3 thumbnails
// of 3:2 pictures, with black bars above and below (or beside).
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

Rect thumbnail_content(const BgrImage& thumb, int width, int height) {
    Rect full{0, 0, thumb.width, thumb.height};
    const double picture = double(width) / height, box = double(thumb.width) / thumb.height;
    if (std::abs(picture / box - 1) < 0.02) return full;
    Rect r = full;
    if (picture > box) {
        r.height = std::max(1, int(std::lround(thumb.width / picture)));
        r.y = (thumb.height - r.height) / 2;
    } else {
        r.width = std::max(1, int(std::lround(thumb.height * picture)));
        r.x = (thumb.width - r.width) / 2;
    }
    // Bars are dark; a thumbnail that fills its box was stretched instead.
    long sum = 0, count = 0;
    for (int y = 0; y < thumb.height; ++y)
        for (int x = 0; x < thumb.width; ++x) {
            if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) continue;
            const std::uint8_t* p = thumb.row(y) + 3 * x;
            sum += p[0] + p[1] + p[2];
            count += 3;
        }
    return count > 0 && sum / count > 40 ? full : r;
}

}  // namespace

const char* GradeWord(Grade grade) {
    switch (grade) {
        case Grade::Complete: return "complete";
        case Grade::Damaged: return "damaged";
        case Grade::Unreadable: return "unreadable";
        case Grade::None: break;
    }
    return "";
}

std::string GradeText(const PictureGrade& grade) {
    switch (grade.grade) {
        case Grade::Complete: return translate("Complete picture");
        case Grade::Damaged:
            return format(translate("Damaged picture: %d%% of the rows decoded"),
                          grade.decoded_rows_percent);
        case Grade::Unreadable: return translate("Unreadable picture");
        case Grade::None: break;
    }
    return {};
}

PictureGrade GradeFromShare(bool damaged, double share) {
    if (!damaged || share >= 1.0) {
        // Damage met only after the last row (bytes left over before the end
        // marker) still means the file is not what the camera wrote.
        return damaged ? PictureGrade{Grade::Damaged, 99} : PictureGrade{Grade::Complete, 100};
    }
    const int percent = std::clamp(static_cast<int>(share * 100), 0, 99);
    if (percent == 0) return {Grade::Unreadable, 0};
    return {Grade::Damaged, percent};
}

Bytes ExifThumbnail(Bytes data) {
    Bytes thumbnail;
    find_exif(data, [&](Bytes tiff) {
        std::array<std::uint8_t, 4> offset{}, length{};
        TagRequest requests[] = {{kThumbnailOffset, offset.data(), offset.size()},
                                 {kThumbnailLength, length.data(), length.size()}};
        if (!read_tiff_tags(tiff, requests, 2, 1)) return 0;
        if (requests[0].delivered != 4 || requests[1].delivered != 4) return 0;
        const std::uint32_t at = load_le32(offset.data()), n = load_le32(length.data());
        if (has(tiff, at, n) && n > 0) thumbnail = tiff.subspan(at, n);
        return 1;
    });
    return thumbnail;
}

double ThumbnailBreak(const BgrImage& decoded, Bytes camera_thumbnail) {
    const Bytes bytes = camera_thumbnail;
    if (bytes.empty() || decoded.empty()) return -1;
    JpegPicture thumb;
    if (!DecodeJpeg(bytes, 0, 0, JpegOutput::Thumbnail, thumb) || thumb.damaged) return -1;
    const BgrImage small = std::move(thumb).image();
    if (small.width < 8 || small.height < 8) return -1;
    const Rect r = thumbnail_content(small, decoded.width, decoded.height);
    const BgrImage scaled = Resample(decoded, r.width, r.height);

    std::vector<double> error(static_cast<std::size_t>(r.height));
    for (int y = 0; y < r.height; ++y)
        error[std::size_t(y)] =
            row_difference(scaled.row(y), small.row(r.y + y) + 3 * r.x, r.width);

    // The thumbnail must match the top of the picture: one that does not
    // (a picture edited without its thumbnail) says nothing.
    const int top = std::max(3, r.height / 10);
    const double base = median({error.begin(), error.begin() + std::min(top, r.height)});
    if (base > 20) return -1;
    const double limit = std::max(30.0, 3 * base);
    // The first row from which most rows differ: a piece of another picture
    // changes everything after it, a stray speck of noise does not.
    const int window = std::max(3, r.height / 20);
    for (int y = 0; y < r.height; ++y) {
        if (error[std::size_t(y)] <= limit) continue;
        const int end = std::min(r.height, y + window);
        int over = 0;
        for (int k = y; k < end; ++k) over += error[std::size_t(k)] > limit;
        if (3 * over >= 2 * (end - y)) return double(y) / r.height;
    }
    return 1.0;
}

double SeamBreak(const BgrImage& decoded, int scale, int mcu_blocks) {
    // One pixel per 8 x 8 block, where the decoder's mistakes show.
    const BgrImage blocks = scale >= 8 ? decoded
                                     : Resample(decoded, (decoded.width + 7) / 8,
                                                (decoded.height + 7) / 8);
    const int w = blocks.width, h = blocks.height, k = std::max(1, mcu_blocks);
    if (w < 16 || h < k + 3) return 1.0;
    // Running sums along each row of how block x changes from row r - 1 to
    // row r, per channel, signed and absolute.
    const std::size_t stride = std::size_t(w) + 1;
    std::vector<std::array<double, 4>> sums(std::size_t(h) * stride, {0, 0, 0, 0});
    std::vector<double> all;
    all.reserve(std::size_t(w) * std::size_t(h));
    for (int r = 1; r < h; ++r)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t *a = blocks.row(r) + 3 * x, *b = blocks.row(r - 1) + 3 * x;
            std::array<double, 4> s = sums[std::size_t(r) * stride + std::size_t(x)];
            double v = 0;
            for (int ch = 0; ch < 3; ++ch) {
                s[std::size_t(ch)] += a[ch] - b[ch];
                v += std::abs(a[ch] - b[ch]);
            }
            s[3] += v;
            sums[std::size_t(r) * stride + std::size_t(x) + 1] = s;
            all.push_back(v);
        }
    const double limit = std::max(kSeamMinimum, kSeamFactor * median(std::move(all)));
    // Means over columns from..to-1 of the boundary above row r.
    auto mean = [&](int r, int from, int to) {
        std::array<double, 4> m{};
        const auto& a = sums[std::size_t(r) * stride + std::size_t(to)];
        const auto& b = sums[std::size_t(r) * stride + std::size_t(from)];
        for (std::size_t i = 0; i < 4; ++i) m[i] = (a[i] - b[i]) / (to - from);
        return m;
    };
    auto distance = [](const std::array<double, 4>& a, const std::array<double, 4>& b) {
        return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
    };
    // Damage begins at an MCU (row r, column c) and every block after it
    // decodes with the same wrong offset: the boundary above row r changes
    // right of c, the one above row r + k left of it, both by about the same
    // colour, while the other halves stay calm. Natural edges cross a
    // boundary whole, move along it gradually, or change colour along it.
    const int margin = std::max(2, w / 16);
    for (int r = 1; r + k < h; ++r)
        for (int c = margin; c <= w - margin; ++c) {
            const auto right = mean(r, c, w), below_left = mean(r + k, 0, c);
            if (right[3] < limit || below_left[3] < limit) continue;
            if (mean(r, 0, c)[3] * 4 > right[3] || mean(r + k, c, w)[3] * 4 > below_left[3])
                continue;
            if (distance(right, below_left) * 2 <= std::max(right[3], below_left[3]))
                return double(r) / h;
        }
    return 1.0;
}

PictureGrade GradeDecodedJpeg(const JpegPicture& decoded, Bytes camera_thumbnail) {
    double share = decoded.damaged ? decoded.clean_share : 1.0;
    bool damaged = decoded.damaged;
    if (decoded.channels == 3 && decoded.width > 0) {
        BgrImage view;
        view.width = decoded.width;
        view.height = decoded.height;
        view.pixels = decoded.pixels;
        double found = ThumbnailBreak(view, camera_thumbnail);
        if (found < 0) found = SeamBreak(view, decoded.scale, decoded.mcu_blocks);
        if (found < share) {
            share = found;
            damaged = true;
        }
    }
    return GradeFromShare(damaged, share);
}

PictureGrade GradeJpeg(Bytes data) {
    JpegPicture decoded;
    if (!DecodeJpeg(data, 100, 100, JpegOutput::Thumbnail, decoded)) return {Grade::Unreadable, 0};
    return GradeDecodedJpeg(decoded, ExifThumbnail(data));
}

PictureGrade WorseGrade(const PictureGrade& a, const PictureGrade& b) {
    auto rank = [](const PictureGrade& g) {
        switch (g.grade) {
            case Grade::Unreadable: return 0;
            case Grade::Damaged: return 1 + g.decoded_rows_percent;
            case Grade::Complete: return 200;
            case Grade::None: break;
        }
        return 300;
    };
    return rank(a) <= rank(b) ? a : b;
}

}  // namespace lk
