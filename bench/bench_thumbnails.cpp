// Thumbnails per second on one core, as the thumbnail worker makes them
// (decode, fit, frame and grade), and how often grading catches another
// picture's clusters in the middle of a picture.
//
//   bench_thumbnails [TESTDATA_DIR] [COUNT]
//
// Prints the rate for COUNT (default 20) camera JPEGs of 4000 x 3000 made
// here, for a 3000 x 2000 DNG made here, for every camera raw sample under
// TESTDATA_DIR (default ../shared/testdata beside the source tree) that
// LibRaw reads, and the catch rate on 50 pictures of 1600 x 1200 with two to
// four 4 KB clusters of another picture swapped in between 20 % and 80 % of
// their length. Run it on a release build; it asserts nothing.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "formats/identify.hpp"
#include "preview/jpeg_codec.hpp"
#include "preview/render.hpp"
#include "tests/preview/damage.hpp"
#include "tests/preview/raw_maker.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kBox = 100;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Makes the preview of each file `rounds` times; returns the previews per
// second and how many came out with a picture.
double rate(const std::vector<std::vector<std::uint8_t>>& files, const std::string& ext, int rounds,
            int& with_picture) {
    with_picture = 0;
    double spent = 0;
    for (int r = 0; r < rounds; ++r)
        for (const auto& f : files) {
            std::vector<std::uint8_t> bytes = f;  // the worker reads a fresh copy too
            const auto t = Clock::now();
            const lk::Preview p = lk::MakePreview(bytes, ext, kBox, kBox, {});
            spent += seconds_since(t);
            with_picture += r == 0 && !p.picture.empty();
        }
    return spent > 0 ? double(files.size()) * rounds / spent : 0;
}

std::vector<std::uint8_t> slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string upper_ext(const fs::path& p) {
    std::string ext = p.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    for (char& c : ext) c = char(std::toupper(static_cast<unsigned char>(c)));
    return ext;
}

void swapped_clusters() {
    constexpr int kPictures = 50;
    std::mt19937 random(7);
    int damaged = 0, near = 0;
    double error_sum = 0;
    for (int i = 0; i < kPictures; ++i) {
        const auto a = lk::test::camera_jpeg(1000 + i, 1600, 1200);
        const auto b = lk::test::camera_jpeg(5000 + i, 1600, 1200);
        const std::size_t clusters = a.size() / 4096;
        const std::size_t at = clusters / 5 + random() % (clusters * 3 / 5);
        const std::size_t count = 2 + random() % 3;
        const double expected = 100.0 * double(at * 4096) / double(a.size());
        const lk::PictureGrade g = lk::GradeJpeg(lk::test::swap_clusters(a, b, at, count));
        if (g.grade != lk::Grade::Damaged) continue;
        ++damaged;
        const double error = g.decoded_rows_percent - expected;
        error_sum += std::abs(error);
        near += std::abs(error) <= 10;
    }
    std::printf(
        "swapped clusters: %d of %d graded damaged, %d of them within 10 points of the "
        "share before the swap (mean error %.1f points)\n",
        damaged, kPictures, near, damaged ? error_sum / damaged : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    // LibRaw may be built with OpenMP: one core, as the worker has.
    ::setenv("OMP_NUM_THREADS", "1", 1);
    const fs::path testdata =
        argc > 1 ? fs::path(argv[1]) : fs::path(LK_SOURCE_DIR) / "../shared/testdata";
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    std::vector<std::vector<std::uint8_t>> jpegs;
    for (int i = 0; i < count; ++i) jpegs.push_back(lk::test::camera_jpeg(100 + i, 4000, 3000));
    int shown = 0;
    const double jpeg_rate = rate(jpegs, "JPG", 3, shown);
    std::printf("12-megapixel camera JPEGs (%zu KB each): %.1f thumbnails/s (%d of %d shown)\n",
                jpegs[0].size() / 1024, jpeg_rate, shown, count);

    // The share of it that is the decode alone: libjpeg still reads every
    // coefficient of the scan at one eighth, so this bounds the rate.
    double decoding = 0;
    for (const auto& f : jpegs) {
        lk::JpegPicture p;
        const auto t = Clock::now();
        lk::DecodeJpeg(f, kBox, kBox, lk::JpegOutput::Thumbnail, p);
        decoding += seconds_since(t);
    }
    std::printf("  the decode at one eighth alone: %.1f per second (%.1f MB/s of scan data)\n",
                double(count) / decoding, double(jpegs[0].size()) * count / decoding / 1e6);

    const std::vector<std::vector<std::uint8_t>> dng = {lk::test::make_dng(3000, 2000)};
    const double dng_rate = rate(dng, "DNG", 5, shown);
    std::printf("3000 x 2000 DNG: %.1f thumbnails/s (%s)\n", dng_rate, shown ? "shown" : "none");

    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(testdata, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const std::string ext = upper_ext(it->path());
        if (!it->is_regular_file() || ext.size() > 3 || !lk::is_raw_ext(ext)) continue;
        const std::vector<std::vector<std::uint8_t>> file = {slurp(it->path())};
        const double r = rate(file, ext, 5, shown);
        std::printf("%-40s %8.1f thumbnails/s%s\n", fs::relative(it->path(), testdata).c_str(), r,
                    shown ? "" : " (no thumbnail)");
    }
    swapped_clusters();
    return 0;
}
