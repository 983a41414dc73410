// Cards formatted over their files: pictures and movies come back by their
// content, byte for byte, also when every file starts inside its cluster.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/media.hpp"
#include "tests/support/recovery_check.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

struct Recovered {
    std::map<std::vector<std::uint8_t>, std::string> by_content;  // bytes -> relative path
};

Recovered analyse_and_save(EngineHarness& h, const std::filesystem::path& image, const std::filesystem::path& out) {
    EXPECT_TRUE(h.open_file(image.string()));
    EXPECT_EQ(h.analyse(), AnalysisResult::Finished);
    std::filesystem::create_directories(out);
    EXPECT_FALSE(save_all(h, out).failed());
    Recovered r;
    for (const auto& [path, file] : files_under(out)) r.by_content[slurp(file)] = path;
    return r;
}

class FormattedCards : public ::testing::Test {
protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }
    test::TempDir tmp;
};

TEST_F(FormattedCards, PicturesComeBackWhole) {
    for (FatBits bits : {FatBits::fat16, FatBits::fat32}) {
        SCOPED_TRACE(bits == FatBits::fat16 ? "FAT16" : "FAT32");
        FatOptions o;
        o.bits = bits;
        o.image_size = bits == FatBits::fat16 ? 64u << 20 : 320u << 20;
        o.sectors_per_cluster = 8;
        FatImage card = FatImage::create(tmp / "card.img", o);
        // Camera pictures in their folder and in the root, one of them a JFIF file.
        for (int i = 1; i <= 6; ++i)
            card.add_file("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG", camera_picture(i, 640 + 16 * i, 480));
        card.add_file("ROOTPIC.JPG", camera_picture(20, 1024, 768));
        card.add_file("JFIF.JPG", tools::encode_jfif(400, 300, 90, 21));
        card.quick_format();

        EngineHarness h;
        Recovered r = analyse_and_save(h, card.path(), tmp / (bits == FatBits::fat16 ? "out16" : "out32"));
        for (const CardFile& f : card.files()) {
            auto it = r.by_content.find(f.bytes);
            ASSERT_NE(it, r.by_content.end()) << f.path << " did not come back whole";
            EXPECT_EQ(it->second.rfind("FOUND/", 0), 0u) << it->second;
        }
        // Pictures whose folder survived the format keep their names, in
        // that folder.
        EXPECT_EQ(r.by_content[card.files()[0].bytes], "FOUND/100CANON/IMG_0001.JPG");
        std::filesystem::remove(card.path());
    }
}

TEST_F(FormattedCards, FilesThatStartInsideTheirClustersAreCarvedAtTheirShift) {
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters: shifts of 512 .. 3,584 bytes
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> pictures;
    std::uint32_t cluster = 10;
    for (int i = 0; i < 5; ++i) {
        pictures.push_back(camera_picture(40 + i, 320 + 32 * i, 240));
        card.write_at_cluster(cluster, 1024, pictures.back());
        cluster += static_cast<std::uint32_t>(pictures.back().size() / 4096 + 3);
    }
    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    for (const auto& p : pictures) EXPECT_TRUE(r.by_content.count(p)) << "a picture did not come back whole";
    ASSERT_NE(h.engine.cat.found(), nullptr);
    ASSERT_EQ(h.engine.cat.found()->children.size(), pictures.size());
    for (const dir_t& item : h.engine.cat.found()->children) EXPECT_EQ(item.shift, 1024) << display_name(item);
}

TEST_F(FormattedCards, MoviesAndSoundEndWhereTheirContainerSays) {
    LK_REQUIRE_FFMPEG();
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::map<std::string, std::vector<std::uint8_t>> movies;  // expected extension -> bytes
    for (MediaKind kind : all_media_kinds()) {
        std::string ext = media_extension(kind);
        if (ext == "WMV") ext = "ASF";
        MediaOptions mo;
        mo.seconds = 2;
        movies[ext] = make_media(kind, mo);
        // In the root: the format wipes their entries, so only their content names them.
        card.add_file(std::string("CLIP_") + media_name(kind) + "." + ext, movies[ext]);
    }
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    for (const auto& [ext, bytes] : movies) {
        auto it = r.by_content.find(bytes);
        ASSERT_NE(it, r.by_content.end()) << ext << " did not come back whole";
        // QuickTime brands name the file: MP4 and 3GP rather than MOV.
        EXPECT_EQ(it->second.substr(it->second.size() - ext.size()), ext) << it->second;
    }
}

}  // namespace
}  // namespace lk
