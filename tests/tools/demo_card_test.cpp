// The demo card must hold what its manifest says: the present pictures
// readable through the file system, the deleted ones gone from it but still
// whole in the data area, and the formatted copy empty with every picture
// still there to be found.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "base/bytes.hpp"
#include "tests/support/card_builder.hpp"
#include "tests/support/exfat_builder.hpp"
#include "tests/support/process.hpp"

namespace lk::test {
namespace {

const std::filesystem::path kDemo = std::filesystem::path(LK_BINARY_DIR) / "demo";

struct Entry {
    bool deleted;
    std::size_t size;
    std::string time;
    std::string path;
};

// Reads with one call: the images are tens of megabytes.
std::vector<std::uint8_t> read_all(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> out(std::filesystem::file_size(file));
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    EXPECT_TRUE(in) << file;
    return out;
}

std::vector<Entry> manifest(const char* originals = "originals") {
    std::vector<Entry> out;
    std::ifstream in(kDemo / originals / "MANIFEST.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string state, size, time, path;
        std::getline(fields, state, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, time, '\t');
        std::getline(fields, path);
        out.push_back({state == "deleted", std::stoul(size), time, path});
    }
    return out;
}

class DemoCard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kDemo / "originals" / "MANIFEST.tsv"))
            GTEST_SKIP() << "no demo card in " << kDemo << " (built by the lk_demo_card target)";
        LK_REQUIRE_FAT_TOOLS();
        entries = manifest();
        ASSERT_FALSE(entries.empty());
    }

    // The card's bytes and where its volume starts (MBR entry 1's first sector).
    static std::vector<std::uint8_t> image(const char* name, FatLayout& layout) {
        auto bytes = read_all(kDemo / name);
        auto first = le32(bytes, 446 + 8);
        EXPECT_TRUE(first);
        const std::uint64_t volume = std::uint64_t(first.value_or(0)) * 512;
        auto l = parse_boot_sector(Bytes(bytes).subspan(std::size_t(volume), 512), volume);
        EXPECT_TRUE(l);
        if (l) layout = *l;
        return bytes;
    }

    // True when the original lies whole and from the start of a cluster in the data area.
    static bool whole_in_data_area(const std::vector<std::uint8_t>& img, const FatLayout& l,
                                   const std::vector<std::uint8_t>& original) {
        for (std::size_t from = std::size_t(l.cluster2_offset); from < img.size();) {
            const void* hit =
                ::memmem(img.data() + from, img.size() - from, original.data(), original.size());
            if (!hit) return false;
            const std::size_t at = std::size_t(static_cast<const std::uint8_t*>(hit) - img.data());
            if ((at - l.cluster2_offset) % l.cluster_size == 0) return true;
            from = at + 1;
        }
        return false;
    }

    static std::string mtools_image(const char* name) {
        std::vector<std::uint8_t> mbr(512);
        std::ifstream(kDemo / name, std::ios::binary)
            .read(reinterpret_cast<char*>(mbr.data()), 512);
        const std::uint64_t volume = std::uint64_t(le32(mbr, 446 + 8).value_or(0)) * 512;
        return (kDemo / name).string() + "@@" + std::to_string(volume);
    }

    std::vector<Entry> entries;
};

TEST_F(DemoCard, PresentPicturesReadBackAsTheirOriginals) {
    const std::string img = mtools_image("demo_card.img");
    TempDir out;
    int present = 0;
    for (const auto& e : entries) {
        const auto original = read_all(kDemo / "originals" / e.path);
        ASSERT_EQ(original.size(), e.size) << e.path;
        EXPECT_EQ(be16(original, 0), 0xFFD8) << e.path;
        if (e.deleted) continue;
        ++present;
        const auto file = out / ("f" + std::to_string(present));
        run_checked({"mcopy", "-n", "-i", img, "::/" + e.path, file.string()});
        EXPECT_EQ(read_all(file), original) << e.path;
    }
    EXPECT_GE(present, 10);
}

TEST_F(DemoCard, DeletedPicturesAreGoneButWholeInTheDataArea) {
    FatLayout l;
    const auto img = image("demo_card.img", l);
    const std::string target = mtools_image("demo_card.img");
    int deleted = 0;
    for (const auto& e : entries) {
        if (!e.deleted) continue;
        ++deleted;
        EXPECT_FALSE(run_process({"mdir", "-i", target, "::/" + e.path}).ok())
            << e.path << " still listed";
        EXPECT_TRUE(whole_in_data_area(img, l, read_all(kDemo / "originals" / e.path))) << e.path;
    }
    EXPECT_GE(deleted, 5);
}

TEST_F(DemoCard, FormattedCopyIsEmptyButKeepsEveryPicture) {
    FatLayout l;
    const auto img = image("demo_card_formatted.img", l);
    const std::string listing =
        run_checked({"mdir", "-a", "-i", mtools_image("demo_card_formatted.img"), "::/"}).out;
    EXPECT_NE(listing.find("No files"), std::string::npos) << listing;
    for (const auto& e : entries)
        EXPECT_TRUE(whole_in_data_area(img, l, read_all(kDemo / "originals" / e.path))) << e.path;
}

// The exFAT demo card: clean for fsck.exfat, its present files where their
// entry sets say, its deleted ones gone from the folders but whole in the
// cluster heap, and a movie of more clusters than a FAT16 card can have.
TEST(DemoExfatCard, HoldsWhatItsManifestSays) {
    if (!std::filesystem::exists(kDemo / "originals_exfat" / "MANIFEST.tsv"))
        GTEST_SKIP() << "no exFAT demo card in " << kDemo
                     << " (built by the lk_demo_exfat_card target)";
    LK_REQUIRE_EXFAT_TOOLS();
    const std::filesystem::path image = kDemo / "demo_exfat.img";
    const ProcessResult fsck = run_process({"fsck.exfat", "-n", image.string()});
    EXPECT_TRUE(fsck.ok()) << fsck.out << fsck.err;
    const tools::ExfatWriter card(image);
    const tools::ExfatLayout& l = card.layout();
    const auto img = read_all(image);
    int present = 0, deleted = 0;
    for (const Entry& e : manifest("originals_exfat")) {
        SCOPED_TRACE(e.path);
        const auto original = read_all(kDemo / "originals_exfat" / e.path);
        ASSERT_EQ(original.size(), e.size);
        if (e.deleted) {
            ++deleted;
            EXPECT_THROW(card.clusters(e.path), std::runtime_error);
            const void* hit = ::memmem(img.data() + l.heap_offset, img.size() - l.heap_offset,
                                       original.data(), original.size());
            EXPECT_TRUE(hit &&
                        (static_cast<const std::uint8_t*>(hit) - img.data() - l.heap_offset) %
                                l.cluster_size ==
                            0);
            continue;
        }
        ++present;
        const auto clusters = card.clusters(e.path);
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t c : clusters) {
            const auto part = card.read(l.cluster_offset(c), l.cluster_size);
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        bytes.resize(original.size());
        EXPECT_TRUE(bytes == original);
        if (e.path.ends_with(".MP4")) {
            EXPECT_GT(clusters.size(), 65'524u);
        }
    }
    EXPECT_GE(present, 10);
    EXPECT_GE(deleted, 5);
}

}  // namespace
}  // namespace lk::test
