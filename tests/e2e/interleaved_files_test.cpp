// Deleted files whose clusters interleave, as a file system leaves files that
// were written side by side: every FAT entry zeroed, each file has only its
// entry's first cluster and size. A guess from one entry never takes another
// entry's first cluster, and goes around the files that were whole.
#include <gtest/gtest.h>

#include "preview/contact_sheet.hpp"
#include "preview/grade.hpp"
#include "tests/support/recovery_check.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

enum class Content { Random, Pictures };

// A camera picture that takes exactly `clusters` clusters.
std::vector<std::uint8_t> picture_of(std::size_t clusters, std::uint32_t cluster_size, std::uint32_t seed) {
    for (int width : {96, 128, 160, 192, 224, 256, 320, 384, 448, 512, 640}) {
        for (int quality = 20; quality <= 95; quality += 5) {
            tools::JpegOptions o;
            o.seed = seed;
            o.width = width;
            o.height = width * 3 / 4;
            o.quality = quality;
            o.thumb_width = 64;
            o.thumb_height = 48;
            std::vector<std::uint8_t> bytes = tools::make_jpeg(o);
            if ((bytes.size() + cluster_size - 1) / cluster_size == clusters) return bytes;
        }
    }
    return {};
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint8_t& b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

class InterleavedFiles : public ::testing::TestWithParam<Content> {};

TEST_P(InterleavedFiles, EveryFileComesBackWhole) {
    LK_REQUIRE_FAT_TOOLS();
    use_utc();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 32u << 20;
    o.bits = FatBits::fat16;
    o.sectors_per_cluster = 8;  // 4 KB clusters
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::uint32_t cs = card.formatted_layout().cluster_size;
    const bool pictures = GetParam() == Content::Pictures;
    const std::string ext = pictures ? ".JPG" : ".DAT";

    // Names a camera gives: the lost first letter of each is known ("SC_"
    // names are "DSC_").
    struct File {
        std::string path;
        std::vector<std::uint32_t> clusters;
    };
    const std::vector<File> layout = {
        {"DSC_0001" + ext, {2, 4}},          // A
        {"DSC_0002" + ext, {3, 5, 6, 12}},   // B, around A and two files written while it was open
        {"DSC_0003" + ext, {7, 8}},          // E
        {"DSC_0004" + ext, {9, 10, 11}},     // F
        {"DSC_FOLD/DSC_0005" + ext, {17, 20}},  // C, around D
        {"DSC_FOLD/DSC_0006" + ext, {18, 19}},  // D
    };
    std::uint32_t seed = 1;
    for (const File& f : layout) {
        std::vector<std::uint8_t> bytes =
            pictures ? picture_of(f.clusters.size(), cs, seed) : random_bytes(f.clusters.size() * cs - 100 * seed, seed);
        ASSERT_FALSE(bytes.empty()) << "no picture of " << f.clusters.size() << " clusters";
        card.add_file(f.path, bytes);
        ++seed;
    }
    ASSERT_EQ(card.clusters("DSC_FOLD"), (std::vector<std::uint32_t>{13}));
    std::vector<std::pair<std::string, std::vector<std::uint32_t>>> placement;
    for (const File& f : layout) placement.emplace_back(f.path, f.clusters);
    card.place_files(placement);
    for (const File& f : layout) {
        ASSERT_EQ(card.clusters(f.path), f.clusters) << f.path;
        ASSERT_EQ(card.extract(f.path), card.present_files()[&f - layout.data()].bytes) << f.path;
    }
    for (int i = 0; i < 4; ++i) card.delete_file(layout[i].path);
    card.delete_folder("DSC_FOLD");

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const auto out = tmp / "out";
    std::filesystem::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    expect_recovered(card.deleted_files(), out);
    if (pictures) {
        GradePictures(h.engine, {}, {});
        std::size_t graded = 0;
        const std::function<void(const dir_t&)> walk = [&](const dir_t& dir) {
            for (const dir_t& item : dir.children) {
                const std::string name = display_name(item);
                if (!name.starts_with("DSC_")) continue;  // not one of the files above
                if (item.entry.is_directory()) {
                    walk(item);
                    continue;
                }
                EXPECT_EQ(item.grade, Grade::Complete) << name;
                ++graded;
            }
        };
        walk(h.engine.cat.root);
        EXPECT_EQ(graded, layout.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Content, InterleavedFiles, ::testing::Values(Content::Random, Content::Pictures),
                         [](const auto& info) { return info.param == Content::Random ? "Random" : "Pictures"; });

}  // namespace
}  // namespace lk
