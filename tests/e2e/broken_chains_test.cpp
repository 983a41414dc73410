// Live files whose chain breaks before their size is reached come back, with
// the bytes their chain still holds in place, marked partial: on FAT16,
// FAT32 and exFAT, for every way a chain breaks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>

#include "tests/support/exfat_builder.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

enum class Fault { OutsideTheCard, FreeMark, BadMark, Loop, SharedCluster };

const char* fault_name(Fault f) {
    switch (f) {
        case Fault::OutsideTheCard:
            return "OutsideTheCard";
        case Fault::FreeMark:
            return "FreeMark";
        case Fault::BadMark:
            return "BadMark";
        case Fault::Loop:
            return "Loop";
        case Fault::SharedCluster:
            return "SharedCluster";
    }
    return "";
}

enum class Kind { Fat16, Fat32, Exfat };

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 7;
    for (std::uint8_t& b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 7);
    }
    return bytes;
}

const dir_t* find_item(const dir_t& dir, const std::string& name) {
    for (const dir_t& item : dir.children) {
        if (display_name(item) == name) return &item;
        if (const dir_t* inner = find_item(item, name)) return inner;
    }
    return nullptr;
}

// What the test needs of a card: its cluster size, a file's clusters, and a
// FAT entry written in every copy.
struct Card {
    fs::path image;
    std::uint32_t cluster_size = 0;
    std::function<std::vector<std::uint32_t>(const std::string&)> clusters;
    std::function<void(std::uint32_t, std::uint32_t)> set_entry;
    std::uint32_t outside = 0, bad = 0;  // a number past the card, the bad mark
};

class BrokenChains : public ::testing::TestWithParam<std::tuple<Kind, Fault>> {};

TEST_P(BrokenChains, TheFileComesBackWithWhatItsChainHolds) {
    const auto [kind, fault] = GetParam();
    use_utc();
    test::TempDir tmp;
    // Sizes in clusters of the card (FAT32 takes clusters of 512 bytes here:
    // it needs 65,525 of them).
    const std::uint32_t cs = kind == Kind::Fat32 ? 512 : 4096;
    const std::vector<std::uint8_t> victim = noise(10 * cs - 300, 1);
    const std::vector<std::uint8_t> other = noise(3 * cs, 2);
    Card card;
    std::optional<FatImage> fat;
    std::optional<ExfatImage> exfat;
    if (kind == Kind::Exfat) {
        LK_REQUIRE_EXFAT_TOOLS();
        ExfatOptions o;
        o.cluster_size = 4096;
        exfat.emplace(ExfatImage::create(tmp / "card.img", o));
        tools::ExfatFileOptions chained;
        chained.contiguous = false;
        exfat->add_file("VICTIM.BIN", victim, chained);
        exfat->add_file("OTHER.BIN", other, chained);
        card.image = exfat->path();
        card.cluster_size = 4096;
        card.clusters = [&](const std::string& p) { return exfat->writer().clusters(p); };
        card.set_entry = [&](std::uint32_t c, std::uint32_t v) { exfat->writer().write_fat(c, v); };
        card.outside = exfat->layout().cluster_count + 100;
        card.bad = 0xFFFFFFF7;
    } else {
        LK_REQUIRE_FAT_TOOLS();
        FatOptions o;
        o.bits = kind == Kind::Fat16 ? FatBits::fat16 : FatBits::fat32;
        o.image_size = kind == Kind::Fat16 ? 32u << 20 : 40u << 20;
        o.sectors_per_cluster = cs / 512;
        fat.emplace(FatImage::create(tmp / "card.img", o));
        fat->add_file("VICTIM.BIN", victim);
        fat->add_file("OTHER.BIN", other);
        const FatLayout l = fat->formatted_layout();
        card.image = fat->path();
        card.cluster_size = l.cluster_size;
        card.clusters = [&](const std::string& p) { return fat->clusters(p); };
        const unsigned width = kind == Kind::Fat16 ? 2 : 4;
        card.set_entry = [&fat, l, width](std::uint32_t c, std::uint32_t v) {
            for (std::uint32_t copy = 0; copy < l.fat_count; ++copy) {
                std::uint8_t bytes[4];
                for (unsigned i = 0; i < width; ++i) bytes[i] = std::uint8_t(v >> (8 * i));
                fat->overwrite(l.fat_offset[copy] + std::uint64_t(c) * width,
                               std::span<const std::uint8_t>(bytes, width));
            }
        };
        card.outside = l.cluster_count + 100;
        card.bad = kind == Kind::Fat16 ? 0xFFF7 : 0x0FFFFFF7;
    }
    ASSERT_EQ(card.cluster_size, cs);
    const std::vector<std::uint32_t> chain = card.clusters("VICTIM.BIN");
    const std::vector<std::uint32_t> others = card.clusters("OTHER.BIN");
    ASSERT_EQ(chain.size(), 10u);
    // The chain breaks after its fourth cluster.
    const std::uint32_t last_good = chain[3];
    std::size_t held = 4;  // clusters the chain still holds
    switch (fault) {
        case Fault::OutsideTheCard:
            card.set_entry(last_good, card.outside);
            break;
        case Fault::FreeMark:
            card.set_entry(last_good, 0);
            break;
        case Fault::BadMark:
            // The fifth cluster is marked bad: nothing takes it.
            card.set_entry(chain[4], card.bad);
            break;
        case Fault::Loop:
            card.set_entry(last_good, chain[0]);
            break;
        case Fault::SharedCluster:
            card.set_entry(last_good, others[1]);
            break;
    }

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.image.string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const dir_t* item = find_item(h.engine.cat.root, "VICTIM.BIN");
    ASSERT_TRUE(item) << "the file was dropped";
    EXPECT_EQ(item->extent.how, ExtentHow::Partial);
    EXPECT_EQ(item_size(*item), victim.size());
    EXPECT_GT(h.engine.cat.counters.crippled, 0u);
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    const std::vector<std::uint8_t> back = slurp(out / "VICTIM.BIN");
    ASSERT_EQ(back.size(), victim.size());
    const std::size_t own = held * card.cluster_size;
    EXPECT_TRUE(std::equal(victim.begin(), victim.begin() + own, back.begin())) << "the chain's bytes";
    if (fault == Fault::BadMark) {
        // From the bad cluster on, nothing is known.
        EXPECT_EQ(item->extent.foreign, victim.size() - own);
        EXPECT_TRUE(std::all_of(back.begin() + own, back.end(), [](std::uint8_t b) { return b == 0; }));
    } else {
        // The file was written in one run: the clusters after the break
        // hold the rest, which did not come from the chain.
        EXPECT_TRUE(back == victim) << "the rest of the file";
        EXPECT_EQ(item->extent.foreign, victim.size() - own);
    }
    // The other file stays whole.
    EXPECT_TRUE(slurp(out / "OTHER.BIN") == other);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenChains,
    ::testing::Combine(::testing::Values(Kind::Fat16, Kind::Fat32, Kind::Exfat),
                       ::testing::Values(Fault::OutsideTheCard, Fault::FreeMark, Fault::BadMark, Fault::Loop,
                                         Fault::SharedCluster)),
    [](const auto& info) {
        const Kind kind = std::get<0>(info.param);
        return std::string(kind == Kind::Fat16 ? "Fat16" : kind == Kind::Fat32 ? "Fat32" : "Exfat") +
               fault_name(std::get<1>(info.param));
    });

// A 200 MB exFAT file allocated in one run whose chain holds one invalid
// link comes back whole: the clusters after the broken link are the
// consecutive ones. (A sparse image: the file's middle is zeros.)
TEST(BrokenChains, ALargeExfatFileWithOneInvalidLinkComesBackWhole) {
    LK_REQUIRE_EXFAT_TOOLS();
    use_utc();
    test::TempDir tmp;
    ExfatOptions o;
    o.image_size = 256ull << 20;
    o.cluster_size = 32768;
    ExfatImage card = ExfatImage::create(tmp / "card.img", o);
    const std::uint64_t size = 200ull << 20;
    const std::vector<std::uint8_t> head = noise(1 << 20, 3), tail = noise(1 << 20, 4);
    tools::ExfatFileOptions chained;
    chained.contiguous = false;
    card.writer().add_sparse_file("MOVIE.MP4", size, head, tail, chained);
    const std::vector<std::uint32_t> chain = card.writer().clusters("MOVIE.MP4");
    ASSERT_EQ(chain.size(), size / 32768);
    ASSERT_EQ(chain.back() - chain.front() + 1, chain.size()) << "one run";
    card.writer().write_fat(chain[chain.size() / 2], card.layout().cluster_count + 1000);

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const dir_t* item = find_item(h.engine.cat.root, "MOVIE.MP4");
    ASSERT_TRUE(item) << "the file was dropped";
    EXPECT_EQ(item->extent.how, ExtentHow::Partial);
    EXPECT_EQ(item_size(*item), size);
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    std::ifstream in(out / "MOVIE.MP4", std::ios::binary);
    std::vector<std::uint8_t> chunk(1 << 20);
    std::uint64_t at = 0;
    bool same = true;
    while (in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size())) ||
           in.gcount() > 0) {
        const auto n = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < n && same; ++i, ++at) {
            const std::uint8_t want = at < head.size() ? head[at]
                                      : at >= size - tail.size() ? tail[at - (size - tail.size())]
                                                                 : 0;
            same = chunk[i] == want;
        }
        if (!same) break;
    }
    EXPECT_TRUE(same) << "differs at byte " << at;
    EXPECT_EQ(at, size);
}

// A card whose chosen sectors cannot be read.
class BadSectors final : public ReadBackend {
  public:
    BadSectors(std::vector<std::uint8_t> bytes, std::set<std::int64_t> bad) : bytes_(std::move(bytes)), bad_(std::move(bad)) {}
    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        error = 0;
        const std::int64_t end = std::min<std::int64_t>(static_cast<std::int64_t>(bytes_.size()),
                                                        offset + static_cast<std::int64_t>(length));
        for (std::int64_t s = offset / 512; s * 512 < end; ++s)
            if (bad_.count(s)) return error = EIO, -1;
        if (end <= offset) return 0;
        std::memcpy(buffer, bytes_.data() + offset, static_cast<std::size_t>(end - offset));
        return end - offset;
    }
    std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size()); }

  private:
    std::vector<std::uint8_t> bytes_;
    std::set<std::int64_t> bad_;
};

// A picture of a formatted card with an unreadable sector in its middle is
// carved all the same, marked partial: 512 of its bytes are fill bytes.
TEST(ReadErrors, AFileWithUnreadableSectorsIsPartial) {
    LK_REQUIRE_FAT_TOOLS();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 16u << 20;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const auto hurt = camera_picture(7, 800, 600);
    card.add_file("DCIM/IMG_0001.JPG", camera_picture(6));
    card.add_file("DCIM/IMG_0002.JPG", hurt);
    card.add_file("DCIM/IMG_0003.JPG", camera_picture(8));
    const std::uint32_t first = card.clusters("DCIM/IMG_0002.JPG").front();
    card.quick_format();
    const std::int64_t middle = static_cast<std::int64_t>(card.formatted_layout().cluster_offset(first) + hurt.size() / 2);

    EngineHarness h;
    ASSERT_TRUE(h.input.OpenBackend(std::make_unique<BadSectors>(card.bytes(), std::set<std::int64_t>{middle / 512}),
                                    "card with a bad sector"));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    std::vector<const dir_t*> partial;
    const std::function<void(const dir_t&)> walk = [&](const dir_t& dir) {
        for (const dir_t& item : dir.children) {
            walk(item);
            if (!item.entry.is_directory() && item.extent.how == ExtentHow::Partial) partial.push_back(&item);
        }
    };
    walk(h.engine.cat.root);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(display_name(*partial[0]), "IMG_0002.JPG");
    EXPECT_EQ(item_size(*partial[0]), hurt.size());
    EXPECT_EQ(partial[0]->extent.foreign, 512u);
}

}  // namespace
}  // namespace lk
