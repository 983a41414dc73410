// Cards that were filled, had files deleted and were filled again: the new
// files lie in two pieces around the ones that stayed, and come back whole.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "tests/support/media.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

// The runs of consecutive clusters of a chain.
std::vector<std::pair<std::uint32_t, std::uint32_t>> runs_of(
    const std::vector<std::uint32_t>& chain) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (std::uint32_t c : chain) {
        if (!runs.empty() && runs.back().first + runs.back().second == c)
            ++runs.back().second;
        else
            runs.emplace_back(c, 1);
    }
    return runs;
}

// Every catalogued file, depth first.
void files_of(const dir_t& dir, std::vector<const dir_t*>& out) {
    for (const dir_t& child : dir.children) {
        if (child.entry.is_directory())
            files_of(child, out);
        else
            out.push_back(&child);
    }
}

class FragmentedCards : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }

    // Analyses the card (afresh) and saves everything; where each file's
    // bytes came back (relative paths).
    std::map<std::vector<std::uint8_t>, std::string> recover(const fs::path& image,
                                                             const std::string& name) {
        h = std::make_unique<EngineHarness>();
        EXPECT_TRUE(h->open_file(image.string()));
        EXPECT_EQ(h->analyse(), AnalysisResult::Finished);
        const fs::path out = tmp / name;
        fs::create_directories(out);
        EXPECT_FALSE(save_all(*h, out).failed());
        std::map<std::vector<std::uint8_t>, std::string> by_content;
        for (const auto& [path, file] : files_under(out)) by_content[slurp(file)] = path;
        return by_content;
    }
    std::vector<const dir_t*> files() {
        std::vector<const dir_t*> out;
        files_of(h->engine.cat.root, out);
        return out;
    }

    std::unique_ptr<EngineHarness> h;
    test::TempDir tmp;
};

// A card of pictures, two of them deleted; then a picture larger than the
// first hole and a movie larger than what is left of the second are written:
// the file system puts each in two pieces around the survivors. After a
// quick format their folder's entries name them and give their sizes.
TEST_F(FragmentedCards, FilesInTwoPiecesComeBackWholeWithTheirNames) {
    LK_REQUIRE_FFMPEG();
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::string dir = "DCIM/100CANON/";
    std::map<std::string, std::vector<std::uint8_t>> stays;
    for (int i = 1; i <= 6; ++i) {
        const std::string name = dir + "IMG_000" + std::to_string(i) + ".JPG";
        const auto picture = camera_picture(std::uint32_t(i), 800 + 64 * i, 600);
        card.add_file(name, picture);
        if (i != 2 && i != 4) stays[name] = picture;
    }
    const std::size_t hole = card.clusters(dir + "IMG_0002.JPG").size();
    card.delete_file(dir + "IMG_0002.JPG");
    card.delete_file(dir + "IMG_0004.JPG");
    const auto picture = camera_picture(7, 1280, 960);
    ASSERT_GT(picture.size(), hole * 4096) << "the new picture must not fit the first hole";
    card.add_file(dir + "IMG_0007.JPG", picture);
    MediaOptions mo;
    mo.seconds = 3;
    mo.width = 320;
    mo.height = 240;
    const auto movie = make_media(MediaKind::mp4, mo);
    card.add_file(dir + "MVI_0008.MP4", movie);
    // The chains before the format: each new file in two pieces.
    const auto picture_runs = runs_of(card.clusters(dir + "IMG_0007.JPG"));
    const auto movie_runs = runs_of(card.clusters(dir + "MVI_0008.MP4"));
    ASSERT_EQ(picture_runs.size(), 2u);
    ASSERT_EQ(movie_runs.size(), 2u);
    std::vector<std::uint32_t> folders = card.clusters("DCIM");
    for (std::uint32_t c : card.clusters("DCIM/100CANON")) folders.push_back(c);
    card.quick_format();

    auto back = recover(card.path(), "out");
    EXPECT_EQ(back[picture], "FOUND/100CANON/IMG_0007.JPG");
    EXPECT_EQ(back[movie], "FOUND/100CANON/MVI_0008.MP4");
    for (const auto& [name, bytes] : stays)
        EXPECT_EQ(back[bytes], "FOUND/100CANON/" + name.substr(dir.size()));
    // Marked as put together from the pieces the chain had.
    std::map<std::string, std::vector<std::pair<std::uint32_t, std::uint32_t>>> pieces;
    for (const dir_t* f : files()) pieces[display_name(*f)] = f->pieces;
    EXPECT_EQ(pieces["IMG_0007.JPG"], picture_runs);
    EXPECT_EQ(pieces["MVI_0008.MP4"], movie_runs);
    EXPECT_TRUE(pieces["IMG_0001.JPG"].empty());
    EXPECT_NE(h->reporter.traces.find("join IMG_0007.JPG"), std::string::npos);

    // The same card with its folders wiped as well: no entry is left, and
    // the picture is put together by its content alone.
    for (std::uint32_t c : folders) card.zero(card.formatted_layout().cluster_offset(c), 4096);
    back = recover(card.path(), "wiped");
    ASSERT_TRUE(back.count(picture)) << "the picture did not come back whole";
    EXPECT_TRUE(back[picture].starts_with("FOUND/V")) << back[picture];
    for (const auto& [name, bytes] : stays) EXPECT_TRUE(back.count(bytes)) << name;
}

}  // namespace
}  // namespace lk
