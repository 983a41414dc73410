// A card whose data area lies off the cluster grid its boot sector gives:
// the folders found at the files' shift name and place their files.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;

class ShiftedCards : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }
    test::TempDir tmp;
};

// The data area of a card with folders is written into a freshly formatted
// card three clusters and two sectors further on: every cluster number in
// the folders is three less than where the cluster now lies, and each
// cluster starts 1,024 bytes into a cluster of the new grid.
TEST_F(ShiftedCards, FilesKeepTheirNamesAndFolders) {
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters
    FatImage old_card = FatImage::create(tmp / "old.img", o);
    std::map<std::string, std::vector<std::uint8_t>> expected;  // path under FOUND -> bytes
    for (int i = 1; i <= 4; ++i) {
        const std::string name = "IMG_000" + std::to_string(i) + ".JPG";
        const auto picture = camera_picture(std::uint32_t(60 + i), 640 + 32 * i, 480);
        old_card.add_file("DCIM/100CANON/" + name, picture);
        if (i != 3) expected["100CANON/" + name] = picture;
    }
    const auto other = camera_picture(70, 800, 600);
    old_card.add_file("DCIM/101OTHER/Holiday picture.jpg", other);
    expected["101OTHER/Holiday picture.jpg"] = other;
    const auto deleted = old_card.extract("DCIM/100CANON/IMG_0003.JPG");
    old_card.delete_file("DCIM/100CANON/IMG_0003.JPG");

    const FatLayout layout = old_card.formatted_layout();
    const std::uint64_t displacement = 3 * std::uint64_t(layout.cluster_size) + 1024;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::uint64_t start = card.formatted_layout().cluster2_offset;
    const std::uint64_t size = std::filesystem::file_size(card.path());
    const auto data = old_card.read(layout.cluster2_offset, size - start - displacement);
    card.overwrite(start + displacement, data);

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const std::filesystem::path out = tmp / "out";
    std::filesystem::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    std::map<std::vector<std::uint8_t>, std::string> back;
    for (const auto& [path, file] : files_under(out)) back[slurp(file)] = path;
    for (const auto& [path, bytes] : expected) {
        ASSERT_TRUE(back.count(bytes)) << path << " did not come back whole";
        EXPECT_EQ(back[bytes], "FOUND/" + path);
    }
    // The deleted picture too, its first letter guessed from its neighbours.
    ASSERT_TRUE(back.count(deleted));
    EXPECT_EQ(back[deleted], "FOUND/100CANON/IMG_0003.JPG");
}

}  // namespace
}  // namespace lk
