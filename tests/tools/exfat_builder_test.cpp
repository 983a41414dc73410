// The exFAT card builder must write what a real exFAT implementation accepts
// (fsck.exfat finds the volume clean, dump.exfat reads the same layout), and
// its deletions and damage must be exactly the bytes the engine tests assume.
#include "tests/support/exfat_builder.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "base/bytes.hpp"
#include "tests/support/testdata.hpp"

namespace lk::test {
namespace {

// A number that dump.exfat prints after a caption.
std::uint64_t dumped(const std::string& dump, const std::string& caption) {
    std::smatch m;
    if (!std::regex_search(dump, m, std::regex(caption + R"(:\s*(0x[0-9a-fA-F]+|\d+))")))
        return UINT64_MAX;
    return std::stoull(m[1].str(), nullptr, 0);
}

// The boot region checksum of sectors 0-10, computed here on its own.
bool region_verifies(const std::vector<std::uint8_t>& region, std::size_t sector) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 11 * sector; ++i)
        if (i != 106 && i != 107 && i != 112)
            sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    for (std::size_t k = 0; k < sector; k += 4)
        if (load_le32(region.data() + 11 * sector + k) != sum) return false;
    return true;
}

class ExfatBuilder : public ::testing::Test {
  protected:
    void SetUp() override { LK_REQUIRE_EXFAT_TOOLS(); }
    TempDir tmp;
};

TEST_F(ExfatBuilder, WritesWhatFsckAndDumpAccept) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    const tools::ExfatLayout& l = card.layout();
    const ProcessResult dump = card.dump();
    ASSERT_TRUE(dump.ok()) << dump.err;
    EXPECT_EQ(dumped(dump.out, "Cluster Count"), l.cluster_count);
    EXPECT_EQ(dumped(dump.out, R"(Root Cluster \(cluster offset\))"), l.root_cluster);
    EXPECT_EQ(dumped(dump.out, "Bitmap start cluster"), l.bitmap_cluster);
    EXPECT_EQ(dumped(dump.out, "Upcase table start cluster"), l.upcase_cluster);
    EXPECT_EQ(std::uint64_t(1) << dumped(dump.out, "Sector per Cluster bits"),
              l.cluster_size / l.sector_size);

    // Folders, long and non-ASCII names (a surrogate pair too), an empty and a
    // read-only file, a file grown after another (a FAT chain), and enough
    // entries that a folder takes a second cluster.
    tools::ExfatFileOptions ro;
    ro.read_only = true;
    card.add_file("DCIM/100CANON/IMG_0001.JPG", noise(10'000, 1));
    card.add_file("DCIM/100CANON/IMG_0002.JPG", noise(5'000, 2));
    card.append("DCIM/100CANON/IMG_0001.JPG", noise(9'000, 3));
    card.add_file("Holiday 2021/Stra\u00dfe \u00fcmlaut.png", noise(100, 4));
    card.add_file("Holiday 2021/smile \U0001F600.txt", noise(10, 5), ro);
    card.add_file(std::string(255, 'n'), {});
    for (int i = 0; i < 50; ++i)
        card.add_file("DCIM/100CANON/MVI_" + std::to_string(i) + ".MOV", noise(300, i));
    ProcessResult fsck = card.fsck();
    EXPECT_TRUE(fsck.ok()) << fsck.out << fsck.err;
    EXPECT_NE(fsck.out.find("directories 4, files 55"), std::string::npos) << fsck.out;
    EXPECT_GT(card.writer().clusters("DCIM/100CANON").size(), 1u);

    card.remove("Holiday 2021");
    card.remove("DCIM/100CANON/IMG_0001.JPG");
    fsck = card.fsck();
    EXPECT_TRUE(fsck.ok()) << fsck.out << fsck.err;
    EXPECT_NE(fsck.out.find("directories 3, files 52"), std::string::npos) << fsck.out;
    EXPECT_EQ(card.deleted_files().size(), 3u);
}

TEST_F(ExfatBuilder, DeletesAsACameraDoes) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    tools::ExfatWriter& w = card.writer();
    card.add_file("A.JPG", noise(9'000, 1));
    card.add_file("B.JPG", noise(100, 2));
    card.append("A.JPG", noise(9'000, 3));  // B's cluster lies between: A becomes a chain
    const auto chained = w.clusters("A.JPG");
    const auto contiguous = w.clusters("B.JPG");
    ASSERT_EQ(chained.size(), 5u);
    EXPECT_NE(chained[3], chained[2] + 1);
    EXPECT_EQ(w.fat_entry(chained[0]), chained[1]);
    EXPECT_EQ(w.fat_entry(chained.back()), 0xFFFFFFFFu);
    EXPECT_EQ(w.fat_entry(contiguous[0]), 0u);  // NoFatChain: no FAT entry
    const std::uint64_t a_set = w.set_offset("A.JPG"), b_set = w.set_offset("B.JPG");
    EXPECT_EQ(card.read(a_set + 32, 2)[1], 0x01);  // AllocationPossible, no NoFatChain
    EXPECT_EQ(card.read(b_set + 32, 2)[1], 0x03);

    card.remove("A.JPG");
    card.remove("B.JPG");
    const std::vector<std::uint8_t> types = {card.read(a_set, 1)[0], card.read(a_set + 32, 1)[0],
                                             card.read(a_set + 64, 1)[0]};
    EXPECT_EQ(types, (std::vector<std::uint8_t>{0x05, 0x40, 0x41}));
    for (std::uint32_t c : chained) {
        EXPECT_FALSE(w.allocated(c));
        EXPECT_EQ(w.fat_entry(c), 0u);
    }
    EXPECT_FALSE(w.allocated(contiguous[0]));
    // The rest of a deleted set stays: name, first cluster, size.
    EXPECT_EQ(load_le32(card.read(a_set + 32 + 20, 4).data()), chained[0]);
    EXPECT_EQ(load_le64(card.read(a_set + 32 + 24, 8).data()), 18'000u);
    EXPECT_TRUE(card.fsck().ok());
}

TEST_F(ExfatBuilder, TexfatShortValidLengthAndFourKilobyteSectors) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    tools::ExfatWriter& w = card.writer();
    w.make_texfat();
    EXPECT_EQ(w.layout().fats, 2);
    EXPECT_EQ(w.volume_flags() & 1, 1);  // ActiveFat 1
    for (int region = 0; region < 2; ++region)
        EXPECT_TRUE(region_verifies(card.read(region * 12 * 512, 12 * 512), 512)) << region;
    card.add_file("A.BIN", noise(9'000, 1));
    card.add_file("B.BIN", noise(100, 2));
    card.append("A.BIN", noise(9'000, 3));
    // Chains go to the second FAT only.
    const auto a = w.clusters("A.BIN");
    EXPECT_EQ(w.fat_entry(a[0], 1), a[1]);
    EXPECT_EQ(w.fat_entry(a[0], 0), 0u);
    const ProcessResult dump = card.dump();
    EXPECT_TRUE(dump.ok()) << dump.err;

    ExfatImage other = ExfatImage::create(tmp / "other.img", {});
    other.add_file("short.bin", noise(100'000, 4));
    other.writer().set_valid_length("short.bin", 1'000);
    const std::uint64_t set = other.writer().set_offset("short.bin");
    EXPECT_EQ(load_le64(other.read(set + 32 + 8, 8).data()), 1'000u);
    EXPECT_EQ(load_le64(other.read(set + 32 + 24, 8).data()), 100'000u);
    EXPECT_TRUE(other.fsck().ok()) << other.fsck().out;

    other.writer().use_4k_sectors();
    EXPECT_EQ(other.read(108, 1)[0], 12);
    EXPECT_TRUE(region_verifies(other.read(0, 12 * 4096), 4096));
    EXPECT_TRUE(region_verifies(other.read(12 * 4096, 12 * 4096), 4096));
    EXPECT_EQ(other.writer().layout().cluster_size, 4096u);
    EXPECT_EQ(other.writer().clusters("short.bin").size(), 25u);  // the files stay where they were
}

TEST_F(ExfatBuilder, PartitionedCardAndQuickFormatKeepTheData) {
    ExfatOptions o;
    o.partition_start = 2048;
    ExfatImage card = ExfatImage::create(tmp / "card.img", o);
    EXPECT_EQ(card.layout().volume_offset, 2048u * 512);
    const std::vector<std::uint8_t> mbr = card.read(0, 512);
    EXPECT_EQ(mbr[446], 0x00);  // inactive
    EXPECT_EQ(mbr[446 + 4], 0x07);
    EXPECT_EQ(load_le32(mbr.data() + 446 + 8), 2048u);
    const auto bytes = noise(50'000, 7);
    card.add_file("DCIM/100CANON/IMG_0001.JPG", bytes);
    const std::uint32_t first = card.writer().clusters("DCIM/100CANON/IMG_0001.JPG")[0];
    const std::uint64_t at = card.layout().cluster_offset(first);

    card.quick_format();
    EXPECT_TRUE(card.read(at, bytes.size()) == bytes);
    EXPECT_FALSE(card.writer().allocated(first));
    EXPECT_TRUE(card.dirs().empty());
}

}  // namespace
}  // namespace lk::test
