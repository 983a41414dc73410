// The card builder must produce exactly the cards the end-to-end tests think
// they are getting: the geometry asked for, the files the tools really wrote,
// and damage that leaves the data area alone.
#include "tests/support/card_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "base/bytes.hpp"
#include "tests/support/testdata.hpp"

namespace lk::test {
namespace {

std::vector<std::uint8_t> text_bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// Offset of the first occurrence of needle in hay, or npos.
std::size_t find_bytes(const std::vector<std::uint8_t>& hay,
                       const std::vector<std::uint8_t>& needle) {
    const void* p = ::memmem(hay.data(), hay.size(), needle.data(), needle.size());
    return p ? std::size_t(static_cast<const std::uint8_t*>(p) - hay.data()) : std::string::npos;
}

// The first 32-byte directory entry (on a 32-byte boundary) whose 11 name bytes
// equal name11, deleted entries included when first_byte_deleted is set.
std::size_t find_entry(const std::vector<std::uint8_t>& img, std::string_view name11,
                       bool first_byte_deleted = false) {
    for (std::size_t off = 0; off + 32 <= img.size(); off += 32) {
        if (img[off + 11] == 0x0F) continue;
        if (first_byte_deleted) {
            if (img[off] == 0xE5 && std::memcmp(&img[off + 1], name11.data() + 1, 10) == 0)
                return off;
        } else if (std::memcmp(&img[off], name11.data(), 11) == 0) {
            return off;
        }
    }
    return std::string::npos;
}

TEST(Process, CapturesExitCodeAndErrorText) {
    auto r = run_process({"sh", "-c", "echo out; echo oops >&2; exit 3"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "oops\n");
    try {
        run_checked({"sh", "-c", "echo broken card >&2; exit 1"});
        FAIL() << "run_checked did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("broken card"), std::string::npos) << e.what();
    }
    EXPECT_EQ(run_process({"lk-no-such-program-here"}).exit_code, -1);
}

// Both pipes are drained together: a child that fills standard error while we
// would still be reading standard output must not hang.
TEST(Process, LargeOutputOnBothStreams) {
    auto r = run_process({"sh", "-c", "head -c 300000 /dev/zero >&2; head -c 300000 /dev/zero"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), 300000u);
    EXPECT_EQ(r.err.size(), 300000u);
}

TEST(Process, FixedEnvironment) {
    auto r = run_checked({"sh", "-c", "echo $TZ $MTOOLS_SKIP_CHECK $LC_ALL $LK_EXTRA"},
                         {{"LK_EXTRA", "x"}});
    EXPECT_EQ(r.out, "UTC 1 C.UTF-8 x\n");
}

TEST(TempDir, RemovedWithItsContents) {
    std::filesystem::path p;
    {
        TempDir dir;
        p = dir.path();
        std::filesystem::create_directories(dir / "a/b");
        std::ofstream(dir / "a/b/f") << "x";
        EXPECT_TRUE(std::filesystem::is_directory(p));
    }
    EXPECT_FALSE(std::filesystem::exists(p));
}

TEST(Chs, EncodesLbaAndCapsBeyondReach) {
    std::uint8_t chs[3];
    encode_chs(0, chs);
    EXPECT_EQ(chs[0], 0);  // head
    EXPECT_EQ(chs[1], 1);  // sector 1, cylinder bits 0
    EXPECT_EQ(chs[2], 0);
    encode_chs(8192, chs);  // 8192 = 130 * 63 + 2: head 130, sector 3
    EXPECT_EQ(chs[0], 130);
    EXPECT_EQ(chs[1], 3);
    EXPECT_EQ(chs[2], 0);
    encode_chs(1100 * 255 * 63, chs);
    EXPECT_EQ(chs[0], 254);
    EXPECT_EQ(chs[1], 0xFF);
    EXPECT_EQ(chs[2], 0xFF);
}

struct GeometryCase {
    const char* name;
    FatOptions options;
};

class CardGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(CardGeometry, ImageHasTheGeometryAskedFor) {
    LK_REQUIRE_FAT_TOOLS();
    const FatOptions& o = GetParam().options;
    TempDir dir;
    FatImage img = FatImage::create(dir / "card.img", o);
    EXPECT_EQ(std::filesystem::file_size(img.path()), o.image_size);

    FatLayout l = img.layout();
    EXPECT_EQ(l.bits, o.bits);
    EXPECT_EQ(l.cluster_size, 512u * o.sectors_per_cluster);
    EXPECT_EQ(l.volume_offset, img.volume_offset());
    EXPECT_EQ(l.hidden_sectors, o.partition_start.value_or(0));
    EXPECT_EQ(l.fat_count, 2u);
    EXPECT_EQ(l.fat_offset[1] - l.fat_offset[0], std::uint64_t(l.fat_sectors) * 512);
    // mkfs.fat counts in 1 KiB blocks: an odd partition length loses its last sector.
    EXPECT_LE(o.image_size - (l.volume_offset + l.total_sectors * 512), 512u);
    if (o.bits == FatBits::fat32) {
        EXPECT_EQ(l.root_cluster, 2u);
        EXPECT_EQ(l.root_offset, l.cluster2_offset);
    } else {
        EXPECT_EQ(l.cluster2_offset - l.root_offset, std::uint64_t(l.root_entries) * 32);
    }

    auto mbr = img.read(0, 512);
    if (o.partition_start) {
        Bytes e = Bytes(mbr).subspan(446, 16);
        EXPECT_EQ(e[0], 0x80);
        EXPECT_EQ(e[4], o.partition_type.value_or(o.bits == FatBits::fat32   ? 0x0C
                                                  : o.bits == FatBits::fat16 ? 0x06
                                                                             : 0x01));
        EXPECT_EQ(le32(e, 8), *o.partition_start);
        EXPECT_EQ(le32(e, 12), o.image_size / 512 - *o.partition_start);
        EXPECT_FALSE(std::equal(e.begin() + 1, e.begin() + 4, e.begin() + 5)) << "CHS start == end";
        EXPECT_EQ(le16(mbr, 510), 0xAA55);
        EXPECT_EQ(mbr[0], o.mbr_boot_code ? 0xFA : 0x00);
        EXPECT_EQ(mbr[1], o.mbr_boot_code ? 0x33 : 0x00);
    }

    // mtools reads the volume where we say it is, label included.
    std::string listing = img.list_dir("/");
    if (!o.label.empty()) {
        EXPECT_NE(listing.find("Volume in drive : is " + o.label), std::string::npos) << listing;
    }
}

FatOptions geometry(FatBits bits, std::uint64_t mb, unsigned spc,
                    std::optional<std::uint32_t> start, std::string label = {},
                    bool boot_code = false) {
    FatOptions o;
    o.bits = bits;
    o.image_size = mb << 20;
    o.sectors_per_cluster = spc;
    o.partition_start = start;
    o.label = std::move(label);
    o.mbr_boot_code = boot_code;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, CardGeometry,
    ::testing::Values(GeometryCase{"fat12_plain", geometry(FatBits::fat12, 4, 8, {}, "SMALL")},
                      GeometryCase{"fat16_plain", geometry(FatBits::fat16, 32, 4, {}, "CANON_DC")},
                      GeometryCase{"fat16_mbr", geometry(FatBits::fat16, 32, 16, 63, {}, true)},
                      GeometryCase{"fat32_mbr", geometry(FatBits::fat32, 48, 1, 8192, "NIKON")},
                      GeometryCase{"fat32_plain", geometry(FatBits::fat32, 80, 1, {})}),
    [](const auto& info) { return std::string(info.param.name); });

class CardFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        FatOptions o;
        o.bits = FatBits::fat16;
        o.image_size = 16 << 20;
        o.sectors_per_cluster = 4;
        o.partition_start = 2048;
        img.emplace(FatImage::create(dir / "card.img", o));
    }
    TempDir dir;
    std::optional<FatImage> img;
};

TEST_F(CardFiles, FilesLandWithNamesBytesTimesAndAttributes) {
    const std::string long_blank = "DCIM/100CANON/Holiday at the sea, day two (final).jpg";
    const std::string non_ascii = "Ünïcödé ñame.txt";
    const std::time_t odd = 1600000001;  // an odd second: the card holds 1600000000
    auto a = noise(5000, 1), b = noise(3000, 2), c = text_bytes("readonly");
    img->add_file("DCIM/100CANON/IMG_0001.JPG", a, odd);
    img->add_file(long_blank, b);
    img->add_file(non_ascii, c, FatImage::default_mtime(), true);
    img->add_file("EMPTY.DAT", {});

    EXPECT_EQ(img->extract("DCIM/100CANON/IMG_0001.JPG"), a);
    EXPECT_EQ(img->extract(long_blank), b);
    EXPECT_EQ(img->extract(non_ascii), c);
    EXPECT_TRUE(img->extract("EMPTY.DAT").empty());
    std::string listing = img->list_dir("DCIM/100CANON");
    EXPECT_NE(listing.find("Holiday at the sea, day two (final).jpg"), std::string::npos)
        << listing;

    auto raw = img->bytes();
    // Modification time in UTC, seconds rounded down to even.
    std::size_t e = find_entry(raw, "IMG_0001JPG");
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(le16(raw, e + 22), dos_time(odd));
    EXPECT_EQ(le16(raw, e + 22), dos_time(odd - 1));
    EXPECT_EQ(le16(raw, e + 24), dos_date(odd));
    // 2020-09-13 12:26:40 UTC
    EXPECT_EQ(le16(raw, e + 24), (2020 - 1980) << 9 | 9 << 5 | 13);
    EXPECT_EQ(le16(raw, e + 22), 12 << 11 | 26 << 5 | 40 / 2);
    EXPECT_EQ(le32(raw, e + 28), 5000u);
    // The data is where the entry's first cluster says.
    FatLayout l = img->layout();
    auto first = *le16(raw, e + 26);
    EXPECT_TRUE(
        std::equal(a.begin(), a.end(), raw.begin() + std::ptrdiff_t(l.cluster_offset(first))));

    // The non-ASCII alias is code page 850; the long name is UTF-16LE.
    const char alias[] = "\x9A\x4E\xD8\x43\x99\x44\x7E\x31TXT";
    e = find_entry(raw, std::string_view(alias, 11));
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(raw[e + 11] & 0x01, 0x01) << "read-only";
    const std::uint8_t first_fragment[] = {0x01, 0xDC, 0, 'n', 0, 0xEF, 0, 'c', 0, 0xF6, 0, 0x0F};
    EXPECT_EQ(std::memcmp(&raw[e - 32], first_fragment, sizeof first_fragment), 0);

    // The empty file has no cluster.
    e = find_entry(raw, "EMPTY   DAT");
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(le16(raw, e + 26), 0);
    EXPECT_EQ(le32(raw, e + 28), 0u);

    ASSERT_EQ(img->files().size(), 4u);
    EXPECT_EQ(img->files()[2].path, non_ascii);
    EXPECT_TRUE(img->files()[2].read_only);
}

TEST_F(CardFiles, LongNameSpansSeveralFragments) {
    // 40 characters need four 13-character fragments.
    const std::string name = "A rather long picture name with 40 c.jpg";
    ASSERT_EQ(name.size(), 40u);
    img->add_file(name, noise(100, 3));
    auto raw = img->bytes();
    std::size_t e = find_entry(raw, "ARATHE~1JPG");
    ASSERT_NE(e, std::string::npos);
    for (int k = 1; k <= 4; ++k) {
        std::uint8_t seq = raw[e - 32 * std::size_t(k)];
        EXPECT_EQ(raw[e - 32 * std::size_t(k) + 11], 0x0F);
        EXPECT_EQ(seq & 0x1F, k);
        EXPECT_EQ((seq & 0x40) != 0, k == 4) << "last fragment flag";
    }
}

TEST_F(CardFiles, DeletionMarksEntriesAndKeepsData) {
    auto a = noise(7000, 4), b = noise(2000, 5), keep = noise(1000, 6);
    img->add_file("DCIM/100CANON/IMG_0001.JPG", a);
    img->add_file("DCIM/100CANON/IMG_0002.JPG", b);
    img->add_file("KEEP.BIN", keep);
    img->delete_file("DCIM/100CANON/IMG_0001.JPG");
    img->delete_folder("DCIM");

    std::string listing = img->list_dir("/");
    EXPECT_EQ(listing.find("DCIM"), std::string::npos) << listing;
    EXPECT_NE(listing.find("KEEP"), std::string::npos) << listing;

    auto raw = img->bytes();
    EXPECT_NE(find_entry(raw, "IMG_0001JPG", true), std::string::npos);
    EXPECT_NE(find_bytes(raw, a), std::string::npos);
    EXPECT_NE(find_bytes(raw, b), std::string::npos);

    ASSERT_EQ(img->deleted_files().size(), 2u);
    ASSERT_EQ(img->present_files().size(), 1u);
    EXPECT_EQ(img->present_files()[0].path, "KEEP.BIN");
}

TEST_F(CardFiles, ReadOnlyFileCanBeDeleted) {
    img->add_file("LOCKED.JPG", noise(600, 7), FatImage::default_mtime(), true);
    img->delete_file("LOCKED.JPG");
    EXPECT_EQ(img->list_dir("/").find("LOCKED"), std::string::npos);
    auto raw = img->bytes();
    std::size_t e = find_entry(raw, "LOCKED  JPG", true);
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(raw[e + 11] & 0x01, 0x01);
    EXPECT_EQ(img->deleted_files().size(), 1u);
}

class QuickFormat : public ::testing::TestWithParam<FatBits> {};

TEST_P(QuickFormat, EmptiesTheCardButNotTheDataArea) {
    LK_REQUIRE_FAT_TOOLS();
    TempDir dir;
    FatOptions o;
    o.bits = GetParam();
    o.image_size = (GetParam() == FatBits::fat32 ? 48u : 16u) << 20;
    o.sectors_per_cluster = GetParam() == FatBits::fat32 ? 1 : 4;
    FatImage img = FatImage::create(dir / "card.img", o);
    auto a = noise(20000, 8);
    img.add_file("DCIM/100CANON/IMG_0001.JPG", a);
    std::size_t where = find_bytes(img.bytes(), a);
    ASSERT_NE(where, std::string::npos);

    img.quick_format();
    EXPECT_EQ(img.list_dir("/", true).find("DCIM"), std::string::npos);
    auto after = img.read(where, a.size());
    EXPECT_EQ(after, a);
    EXPECT_EQ(img.layout().cluster2_offset, img.formatted_layout().cluster2_offset);
    // The files stay listed as what was once put on the card.
    EXPECT_EQ(img.files().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Types, QuickFormat, ::testing::Values(FatBits::fat16, FatBits::fat32),
                         [](const auto& info) { return "fat" + std::to_string(int(info.param)); });

TEST_F(CardFiles, RawDamageAndClusterPlacement) {
    FatLayout l = img->formatted_layout();
    auto payload = noise(l.cluster_size * 2, 9);  // runs into the next cluster
    std::uint64_t at = img->write_at_cluster(10, 1024, payload);
    EXPECT_EQ(at, l.cluster2_offset + 8ull * l.cluster_size + 1024);
    EXPECT_EQ(img->read(at, payload.size()), payload);
    EXPECT_THROW(img->write_at_cluster(1, 0, payload), std::out_of_range);
    EXPECT_THROW(img->write_at_cluster(l.cluster_count + 2, 0, payload), std::out_of_range);

    img->zero_boot_sector();
    auto sector = img->read(img->volume_offset(), 512);
    EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::uint8_t v) { return v == 0; }));
    EXPECT_THROW(img->layout(), std::runtime_error);
    EXPECT_EQ(img->formatted_layout().cluster2_offset, l.cluster2_offset);
    // The MBR in front of the volume is untouched.
    EXPECT_EQ(le16(img->read(0, 512), 510), 0xAA55);
}

}  // namespace
}  // namespace lk::test
