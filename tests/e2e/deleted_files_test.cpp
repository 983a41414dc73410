// Files deleted with mtools come back: through the FAT where their chain
// still holds (one cluster), named from their lost entries where it does not,
// and deleted folders with what they held.
#include <gtest/gtest.h>

#include "tests/support/recovery_check.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

TEST(DeletedFiles, ComeBackInTheirFoldersOrNamedByTheirEntries) {
    LK_REQUIRE_FAT_TOOLS();
    use_utc();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters
    FatImage card = FatImage::create(tmp / "card.img", o);

    const auto small = tools::encode_jfif(64, 48, 80, 7);  // fits one cluster
    ASSERT_LT(small.size(), 4096u);
    const auto big = camera_picture(2);
    const auto lake = camera_picture(3);
    const std::vector<std::uint8_t> note(3000, 'n');
    card.add_file("DCIM/100CANON/IMG_0001.JPG", small);
    card.add_file("DCIM/100CANON/IMG_0002.JPG", big);
    card.add_file("DCIM/100CANON/IMG_0004.JPG", camera_picture(4));
    card.add_file("Holiday 2021/Day one at the lake.jpg", lake);
    card.add_file("Holiday 2021/small note.txt", note);
    card.delete_file("DCIM/100CANON/IMG_0001.JPG");
    card.delete_file("DCIM/100CANON/IMG_0002.JPG");
    card.delete_folder("Holiday 2021");

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const auto out = tmp / "out";
    std::filesystem::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());

    // The live file, and the one-cluster picture in its own folder with its
    // first letter guessed.
    EXPECT_TRUE(slurp(out / "DCIM/100CANON/IMG_0004.JPG") == card.files()[2].bytes);
    EXPECT_TRUE(slurp(out / "DCIM/100CANON/IMG_0001.JPG") == small);
    // Pictures whose chains are gone: carved, named from their lost entries
    // and put back in their folders.
    EXPECT_TRUE(slurp(out / "DCIM/100CANON/IMG_0002.JPG") == big);
    EXPECT_TRUE(slurp(out / "Holiday 2021/Day one at the lake.jpg") == lake);
    // The deleted folder, under its long name, with what fitted one cluster.
    EXPECT_TRUE(slurp(out / "Holiday 2021/small note.txt") == note);
    EXPECT_EQ(files_under(out).size(), 5u);  // nothing else was found
}

}  // namespace
}  // namespace lk
