// How the join checks of pictures put together from two pieces separate true
// joins from false ones, measured on camera-style pictures:
//
//   join_bench [PAIRS] [WIDTH HEIGHT]
//
// Each picture is cut at a random cluster boundary (4,096-byte clusters) in
// its scan. The true join puts its own second piece back; the false ones put
// the first piece before the data of another picture of the same camera and
// size, starting at each cluster boundary of that picture, as a card whose
// only candidate second pieces belong to other pictures offers them. Prints
// how many joins of each kind decode cleanly and the spread of their seam
// measure. Asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "formats/jpeg.hpp"
#include "formats/jpeg_decode.hpp"
#include "tools/jpeg_maker.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 100;
    const int width = argc > 3 ? std::atoi(argv[2]) : 1600,
              height = argc > 3 ? std::atoi(argv[3]) : 1200;
    constexpr std::size_t kCluster = 4096;
    std::mt19937 random(12345);
    std::vector<double> true_seams, false_seams;
    int true_clean = 0, false_tried = 0, false_clean = 0;
    double decode_seconds = 0;
    int decodes = 0;
    for (int i = 0; i < pairs; ++i) {
        lk::tools::JpegOptions o;
        o.width = width;
        o.height = height;
        o.quality = 92;
        o.seed = std::uint32_t(1000 + i);
        const std::vector<std::uint8_t> f = lk::tools::make_jpeg(o);
        o.seed = std::uint32_t(5000 + i);
        const std::vector<std::uint8_t> g = lk::tools::make_jpeg(o);
        const std::size_t clusters = f.size() / kCluster;
        const std::size_t cut = kCluster * (clusters / 5 + random() % (3 * clusters / 5));

        auto t = Clock::now();
        const lk::JpegDecodeCheck good = lk::check_jpeg_decode(f, cut);
        decode_seconds += std::chrono::duration<double>(Clock::now() - t).count();
        ++decodes;
        true_clean += good.clean;
        if (good.clean) true_seams.push_back(good.seam);

        // Every cluster boundary of the other picture's scan as a second piece
        // that the marker walk accepts.
        for (std::size_t q = kCluster; q + kCluster < g.size(); q += kCluster) {
            std::vector<std::uint8_t> joined(f.begin(), f.begin() + std::ptrdiff_t(cut));
            joined.insert(joined.end(), g.begin() + std::ptrdiff_t(q), g.end());
            if (lk::jpeg_extent(joined) != std::int32_t(joined.size())) continue;
            ++false_tried;
            const lk::JpegDecodeCheck bad = lk::check_jpeg_decode(joined, cut);
            false_clean += bad.clean;
            // The seam of every false join that decoded to its last row, as
            // if the decoder had not warned.
            if (bad.seam > 0) false_seams.push_back(bad.seam);
        }
    }
    std::printf("pictures              %d of %d x %d, cut at a random cluster boundary\n", pairs,
                width, height);
    std::printf("true joins            %d decode cleanly of %d\n", true_clean, pairs);
    std::printf("  seam                min %.2f, median %.2f, 95%% %.2f, max %.2f\n",
                percentile(true_seams, 0), percentile(true_seams, 0.5),
                percentile(true_seams, 0.95), percentile(true_seams, 1));
    std::printf("false joins           %d decode cleanly of %d tried\n", false_clean, false_tried);
    std::printf("  seam (warnings or not) min %.2f, 1%% %.2f, 5%% %.2f, median %.2f of %zu\n",
                percentile(false_seams, 0), percentile(false_seams, 0.01),
                percentile(false_seams, 0.05), percentile(false_seams, 0.5), false_seams.size());
    const double threshold = 2.0;
    std::size_t true_over = 0, false_under = 0;
    for (double s : true_seams) true_over += s > threshold;
    for (double s : false_seams) false_under += s <= threshold;
    std::printf("at seam <= %.1f         %zu true joins refused, %zu false joins let through\n",
                threshold, true_over, false_under);
    std::printf("decode                %.1f ms a picture\n", 1000 * decode_seconds / decodes);
    return 0;
}
