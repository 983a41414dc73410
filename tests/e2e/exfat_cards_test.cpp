// exFAT cards formatted by mkfs.exfat and filled by the project's writer, as
// cameras and computers leave them, damaged the way cards get damaged:
// discovery, entry sets, the files' data, step 5 and hostile fields.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/support/exfat_builder.hpp"
#include "tests/support/recovery_check.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

// The catalogue item at a path of display names, or null.
const dir_t* item_at(const Engine& e, const std::string& path) {
    const dir_t* dir = &e.cat.root;
    for (const std::string& part : tools::split_exfat_path(path)) {
        const dir_t* next = nullptr;
        for (const dir_t& child : dir->children)
            if (display_name(child) == part) next = &child;
        if (!next) return nullptr;
        dir = next;
    }
    return dir;
}

// Every item's display name anywhere in the catalogue.
void names_in(const dir_t& dir, std::vector<std::string>& out) {
    for (const dir_t& child : dir.children) {
        out.push_back(display_name(child));
        names_in(child, out);
    }
}

class ExfatCards : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_EXFAT_TOOLS();
        use_utc();
    }

    // Analyses the image and saves everything into a folder of its own.
    std::unique_ptr<EngineHarness> recover(const fs::path& image, const std::string& out_name) {
        auto h = std::make_unique<EngineHarness>();
        EXPECT_TRUE(h->open_file(image.string()));
        EXPECT_EQ(h->analyse(), AnalysisResult::Finished);
        out = tmp / out_name;
        fs::create_directories(out);
        const SaveOutcome saved = save_all(*h, out);
        EXPECT_FALSE(saved.failed()) << (saved.failures.empty() ? "" : saved.failures[0].reason);
        return h;
    }
    // The saved files by their bytes: relative path of each.
    std::map<std::vector<std::uint8_t>, std::string> saved_by_content() const {
        std::map<std::vector<std::uint8_t>, std::string> m;
        for (const auto& [path, file] : files_under(out)) m[slurp(file)] = path;
        return m;
    }

    test::TempDir tmp;
    fs::path out;
};

// ---- discovery ----

ExfatOptions partitioned(std::uint32_t start) {
    ExfatOptions o;
    o.partition_start = start;
    return o;
}

TEST_F(ExfatCards, Discovery) {
    struct Case {
        const char* name;
        ExfatOptions options;
        std::function<void(ExfatImage&)> damage;
        bool exfat;
        int source;
        bool asked;  // the card parameters question opened (outside expert mode)
        const char* trace;
    } cases[] = {
        {"made by mkfs.exfat",
         {},
         {},
         true,
         kExfatMainVerified,
         false,
         "Found exFAT Boot Sector at 0x0 (sector 0)..."},
        {"main boot sector zeroed",
         {},
         [](ExfatImage& c) { c.zero(0, 512); },
         true,
         kExfatBackupVerified,
         false,
         "Using the exFAT backup boot region at 0x1800 (sector 12)..."},
        {"a byte of main sector 1 changed",
         {},
         [](ExfatImage& c) { c.overwrite(512 + 7, std::vector<std::uint8_t>{1}); },
         true,
         kExfatBackupVerified,
         false,
         "exFAT boot region checksum mismatch at 0x0 (sector 0)..."},
        {"VolumeFlags changed",
         {},
         [](ExfatImage& c) { c.writer().set_volume_flags(0x4); },
         true,
         kExfatMainVerified,
         false,
         "Found exFAT Boot Sector"},
        {"sectors 0-23 zeroed",
         {},
         [](ExfatImage& c) { c.zero(0, 24 * 512); },
         true,
         kExfatSearched,
         true,
         "exFAT structures found without boot region: cluster size 4096, cluster 2 at 0x200000..."},
        {"sectors 0-23 and the up-case table zeroed",
         {},
         [](ExfatImage& c) {
             c.zero(0, 24 * 512);
             c.zero(c.layout().cluster_offset(c.layout().upcase_cluster), c.layout().upcase_length);
         },
         false,
         0,
         true,
         ""},
        {"revision 2 in both boot sectors",
         {},
         [](ExfatImage& c) {
             c.overwrite(105, std::vector<std::uint8_t>{2});
             c.overwrite(12 * 512 + 105, std::vector<std::uint8_t>{2});
         },
         true,
         kExfatSearched,
         true,
         "exFAT structures found without boot region"},
        {"behind an MBR with an inactive type-0x07 entry",
         partitioned(2048),
         {},
         true,
         kExfatMainVerified,
         false,
         "Found exFAT Boot Sector at 0x100000 (sector 2048)..."},
        {"4,096-byte sectors",
         {},
         [](ExfatImage& c) { c.writer().use_4k_sectors(); },
         true,
         kExfatMainVerified,
         false,
         "Found exFAT Boot Sector at 0x0 (sector 0)..."},
        {"4,096-byte sectors, main boot sector zeroed",
         {},
         [](ExfatImage& c) {
             c.writer().use_4k_sectors();
             c.zero(0, 4096);
         },
         true,
         kExfatBackupVerified,
         false,
         "Using the exFAT backup boot region at 0xC000 (sector 96)..."},
        {"image cut short",
         {},
         [](ExfatImage& c) { fs::resize_file(c.path(), 24u << 20); },
         true,
         kExfatMainVerified,
         true,
         "Found exFAT Boot Sector"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path image = tmp / (std::string(c.name) + ".img");
        ExfatImage card = ExfatImage::create(image, c.options);
        card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(1));
        card.add_file("Holiday 2021/Stra\u00dfe \u00fcmlaut.jpg", camera_picture(2, 320, 240));
        const tools::ExfatLayout layout = card.layout();
        if (c.damage) c.damage(card);

        auto h = recover(image, std::string(c.name) + ".out");
        const Engine& e = h->engine;
        if (!c.exfat) {
            EXPECT_NE(e.geo.fattype, EXFAT);
            // Nothing of the file system is left: the pictures are carved.
            const auto saved = saved_by_content();
            for (const CardFile& f : card.files()) EXPECT_TRUE(saved.count(f.bytes)) << f.path;
            continue;
        }
        EXPECT_EQ(e.geo.fattype, EXFAT);
        EXPECT_EQ(e.geo.exfat.boot_source, c.source);
        EXPECT_EQ(h->reporter.questions, c.asked ? 1 : 0);
        EXPECT_NE(h->reporter.traces.find(c.trace), std::string::npos) << h->reporter.traces;
        EXPECT_EQ(e.geo.cluster_size, layout.cluster_size);
        EXPECT_EQ(e.geo.cluster2, std::int64_t(layout.heap_offset));
        EXPECT_EQ(e.geo.root_cluster, std::int32_t(layout.root_cluster));
        const std::int64_t in_image =
            (std::int64_t(fs::file_size(image)) - e.geo.cluster2) / layout.cluster_size;
        EXPECT_EQ(e.geo.max_cluster - 2, std::min<std::int64_t>(layout.cluster_count, in_image));
        EXPECT_EQ(h->reporter.last_value(ST_FAT), 64);
        expect_recovered(card.files(), out);
        EXPECT_EQ(files_under(out).size(), card.files().size());
    }
}

// ---- entry sets ----

TEST_F(ExfatCards, EntrySets) {
    // 512-byte clusters hold 16 entries: the sixth three-entry set of a
    // folder begins in its first cluster and ends in its second.
    ExfatOptions o;
    o.cluster_size = 512;
    ExfatImage card = ExfatImage::create(tmp / "card.img", o);
    for (int i = 1; i <= 6; ++i)
        card.add_file("SETS/IMG_000" + std::to_string(i) + ".JPG", camera_picture(i, 160, 120));
    card.add_file("SETS/Stra\u00dfe \u00fcmlaut.png", noise(700, 1));
    const std::string long_name =
        std::string(251, 'L') + ".txt";  // 255 units: 19 entries over two clusters
    card.add_file("SETS/" + long_name, noise(3000, 2));
    card.add_file("SETS/TIMESTAMP.JPG", camera_picture(20, 160, 120));
    // One flipped bit of a timestamp: the checksum fails, the file stays.
    const std::uint64_t stamped = card.writer().set_offset("SETS/TIMESTAMP.JPG");
    card.overwrite(stamped + 12,
                   std::vector<std::uint8_t>{std::uint8_t(card.read(stamped + 12, 1)[0] ^ 0x02)});
    // A critical secondary no implementation knows: the set is broken.
    tools::ExfatFileOptions foreign;
    foreign.extra_secondaries = {std::vector<std::uint8_t>(32, 0)};
    foreign.extra_secondaries[0][0] = 0xC2;
    card.writer().add_file("SETS/FOREIGN.JPG", camera_picture(21, 160, 120), foreign);
    ASSERT_EQ(card.writer().set_offset("SETS/IMG_0006.JPG") % 512, 15 * 32u);

    auto h = recover(card.path(), "out");
    const Engine& e = h->engine;
    EXPECT_EQ(e.cat.counters.crippled, 1u);
    const dir_t* umlaut = item_at(e, "SETS/Stra\u00dfe \u00fcmlaut.png");
    ASSERT_NE(umlaut, nullptr);
    EXPECT_EQ(short_name(umlaut->entry), "STRA_E_M.PNG");
    EXPECT_TRUE(umlaut->exfat_flags & kExfatChecksumOk);
    const dir_t* stamp = item_at(e, "SETS/TIMESTAMP.JPG");
    ASSERT_NE(stamp, nullptr);
    EXPECT_FALSE(stamp->exfat_flags & kExfatChecksumOk);
    EXPECT_EQ(item_at(e, "SETS/FOREIGN.JPG"), nullptr);
    EXPECT_NE(item_at(e, "SETS/" + long_name), nullptr);
    // Every file but the broken set's, whole, with its name and time (the
    // changed timestamp moved its own time by four seconds).
    std::vector<CardFile> expected = card.files();
    std::erase_if(expected, [](const CardFile& f) { return f.path == "SETS/TIMESTAMP.JPG"; });
    expect_recovered(expected, out);
    EXPECT_TRUE(slurp(out / "SETS/TIMESTAMP.JPG") == camera_picture(20, 160, 120));
}

// ---- the files' data ----

TEST_F(ExfatCards, NoFatChainFragmentedAndTexfat) {
    for (bool texfat : {false, true}) {
        SCOPED_TRACE(texfat ? "TexFAT" : "one FAT");
        const fs::path image = tmp / (texfat ? "texfat.img" : "card.img");
        ExfatImage card = ExfatImage::create(image, {});
        if (texfat) card.writer().make_texfat();
        card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(1));
        card.add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(2));
        card.append("DCIM/100CANON/IMG_0001.JPG",
                    noise(20'000, 3));  // grown after IMG_0002: a chain
        // A TexFAT card's chains are in its second FAT; the first says nothing.
        if (texfat) card.zero(card.layout().fat_offset, card.layout().fat_length);

        auto h = recover(image, texfat ? "texfat" : "one");
        Engine& e = h->engine;
        EXPECT_EQ(e.geo.exfat.active_fat, texfat ? 1 : 0);
        EXPECT_EQ(e.geo.fat_offset[0],
                  std::int64_t(card.layout().fat_offset + (texfat ? card.layout().fat_length : 0)));
        EXPECT_TRUE(e.fat.allocation_trusted);
        const dir_t* contiguous = item_at(e, "DCIM/100CANON/IMG_0002.JPG");
        const dir_t* chained = item_at(e, "DCIM/100CANON/IMG_0001.JPG");
        ASSERT_TRUE(contiguous && chained);
        EXPECT_EQ(contiguous->fat_copy, -1);
        EXPECT_EQ(chained->fat_copy, 0);
        expect_recovered(card.files(), out);
        EXPECT_EQ(e.cat.found(), nullptr);  // nothing lost, nothing carved
    }
}

TEST_F(ExfatCards, DeletedSets) {
    for (bool dirty : {false, true}) {
        SCOPED_TRACE(dirty ? "VolumeDirty" : "clean");
        const fs::path image = tmp / (dirty ? "dirty.img" : "clean.img");
        ExfatImage card = ExfatImage::create(image, {});
        card.add_file("DCIM/100CANON/KEEP.JPG", camera_picture(1));
        card.add_file("DCIM/100CANON/A long name, deleted.JPG", camera_picture(2));
        // FRAG grown after LIVE was written: two pieces around it, a chain.
        const std::vector<std::uint8_t> frag = camera_picture(3);
        card.add_file("DCIM/100CANON/FRAG.JPG", std::span(frag).first(8192));
        card.add_file("DCIM/100CANON/LIVE.JPG", camera_picture(4, 320, 240));
        card.append("DCIM/100CANON/FRAG.JPG", std::span(frag).subspan(8192));
        card.add_file("DCIM/100CANON/REUSED.JPG", camera_picture(5, 320, 240));
        const auto reused = card.writer().clusters("DCIM/100CANON/REUSED.JPG");
        ASSERT_GT(card.writer().clusters("DCIM/100CANON/FRAG.JPG").size(), 2u);

        card.remove("DCIM/100CANON/A long name, deleted.JPG");
        card.remove("DCIM/100CANON/FRAG.JPG");
        card.remove("DCIM/100CANON/REUSED.JPG");
        // REUSED's clusters taken again since (by what, the card no longer says).
        card.writer().set_allocated(reused.front(), static_cast<std::uint32_t>(reused.size()),
                                    true);
        if (dirty) card.writer().set_volume_flags(0x2);

        auto h = recover(image, dirty ? "dirty" : "clean");
        const Engine& e = h->engine;
        // A deleted set in one piece over free clusters: in its folder, whole.
        const dir_t* whole = item_at(e, "DCIM/100CANON/A long name, deleted.JPG");
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(whole->fat_copy, -1);
        EXPECT_EQ(whole->source, EntrySource::Deleted);
        EXPECT_TRUE(slurp(out / "DCIM/100CANON/A long name, deleted.JPG") == camera_picture(2));
        // A deleted chain whose FAT entries are zeroed: carving finds it,
        // its set names it and puts it back in its folder.
        const dir_t* fragmented = item_at(e, "DCIM/100CANON/FRAG.JPG");
        ASSERT_NE(fragmented, nullptr);
        EXPECT_EQ(fragmented->fat_copy, -1);
        EXPECT_EQ(fragmented->extent.how, ExtentHow::Pieces);
        EXPECT_EQ(fragmented->source, EntrySource::Deleted);
        EXPECT_TRUE(slurp(out / "DCIM/100CANON/FRAG.JPG") == frag);
        // Reused clusters: the set is not believed on a clean volume.
        EXPECT_EQ(item_at(e, "DCIM/100CANON/REUSED.JPG") != nullptr, dirty);
        EXPECT_TRUE(
            saved_by_content().count(camera_picture(5, 320, 240)));  // carved when not named
        EXPECT_TRUE(slurp(out / "DCIM/100CANON/KEEP.JPG") == camera_picture(1));
    }
}

TEST_F(ExfatCards, FilesOfFiveGibibytesAndShortValidData) {
    // A sparse image: only what is written takes room.
    ExfatOptions sparse;
    sparse.image_size = 5'500ull << 20;
    ExfatImage card = ExfatImage::create(tmp / "big.img", sparse);
    const std::vector<std::uint8_t> head = noise(100'000, 1), tail = noise(5'000, 2);
    card.writer().add_sparse_file("DCIM/100CANON/MVI_0001.MP4", 0x140000000, head, tail);
    const std::vector<std::uint8_t> short_file = noise(100'000, 3);
    tools::ExfatFileOptions o;
    o.valid_length = 1'000;
    card.add_file("short.bin", short_file, o);

    auto h = recover(card.path(), "out");
    const dir_t* big = item_at(h->engine, "DCIM/100CANON/MVI_0001.MP4");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->size_high, 1u);
    EXPECT_EQ(big->entry.size, 0x40000000u);
    const fs::path saved = out / "DCIM/100CANON/MVI_0001.MP4";
    ASSERT_EQ(fs::file_size(saved), 5'368'709'120u);
    std::ifstream in(saved, std::ios::binary);
    std::vector<std::uint8_t> start(head.size()), end(tail.size()), middle(4096);
    in.read(reinterpret_cast<char*>(start.data()), std::streamsize(start.size()));
    in.seekg(std::streamoff(0x140000000 / 2));
    in.read(reinterpret_cast<char*>(middle.data()), std::streamsize(middle.size()));
    in.seekg(std::streamoff(0x140000000 - tail.size()));
    in.read(reinterpret_cast<char*>(end.data()), std::streamsize(end.size()));
    EXPECT_TRUE(start == head);
    EXPECT_TRUE(end == tail);
    EXPECT_TRUE(middle == std::vector<std::uint8_t>(4096, 0));

    // 100,000 bytes saved, zeros from the valid length on whatever the card holds.
    std::vector<std::uint8_t> expected = short_file;
    std::fill(expected.begin() + 1'000, expected.end(), 0);
    EXPECT_TRUE(slurp(out / "short.bin") == expected);
}

// ---- step 5 ----

TEST_F(ExfatCards, FormattedAgainByMkfs) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    for (int i = 1; i <= 4; ++i)
        card.add_file("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG", camera_picture(i));
    card.add_file("Holiday 2021/Day one at the lake.jpg", camera_picture(5, 800, 600));
    card.add_file("Holiday 2021/small note.txt", noise(3000, 6));
    card.add_file("ROOTPIC.JPG", camera_picture(7));
    const std::vector<CardFile> files = card.files();
    card.quick_format();

    auto h = recover(card.path(), "out");
    const auto saved = saved_by_content();
    for (const CardFile& f : files) {
        auto it = saved.find(f.bytes);
        ASSERT_NE(it, saved.end()) << f.path << " did not come back whole";
        EXPECT_EQ(it->second.rfind("FOUND/", 0), 0u) << it->second;
        // Files whose folder survived keep their names; the root's are carved.
        if (f.path != "ROOTPIC.JPG") {
            EXPECT_EQ(fs::path(it->second).filename(), fs::path(f.path).filename());
        }
    }
    EXPECT_TRUE(saved.at(files[0].bytes) == "FOUND/100CANON/IMG_0001.JPG");
}

TEST_F(ExfatCards, RootClusterOverwritten) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    card.add_file("ROOT1.JPG", camera_picture(1));
    card.add_file("ROOT2.JPG", camera_picture(2));
    card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(3));
    card.add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(4));
    card.zero(card.layout().cluster_offset(card.layout().root_cluster), card.layout().cluster_size);

    auto h = recover(card.path(), "out");
    const auto saved = saved_by_content();
    for (const CardFile& f : card.files()) EXPECT_TRUE(saved.count(f.bytes)) << f.path;
    // The folder's own cluster still names its files.
    EXPECT_EQ(saved.at(card.files()[2].bytes), "FOUND/100CANON/IMG_0001.JPG");
}

TEST_F(ExfatCards, StaleChainOverFreeClustersIsNotNamed) {
    ExfatImage card = ExfatImage::create(tmp / "card.img", {});
    card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(1));
    // A picture in free clusters with a FAT chain over them: the FAT entries
    // of free clusters mean nothing.
    const std::vector<std::uint8_t> stale = camera_picture(2);
    const std::uint32_t first = 500, n = static_cast<std::uint32_t>((stale.size() + 4095) / 4096);
    card.overwrite(card.layout().cluster_offset(first), stale);
    for (std::uint32_t c = first; c < first + n; ++c)
        card.writer().write_fat(c, c + 1 < first + n ? c + 1 : 0xFFFFFFFF);

    auto h = recover(card.path(), "out");
    std::vector<std::string> names;
    names_in(h->engine.cat.root, names);
    for (const std::string& n : names) EXPECT_NE(n.rfind("F000", 0), 0u) << n;
    EXPECT_TRUE(saved_by_content().count(stale));  // carved by its content instead
}

// ---- hostile fields ----

TEST_F(ExfatCards, HostileFieldsNeitherCrashNorHang) {
    struct Case {
        const char* name;
        std::function<void(ExfatImage&)> damage;
    } cases[] = {
        {"ClusterCount at the limit",
         [](ExfatImage& c) {
             for (std::uint64_t at : {0ull, 12ull * 512}) {
                 c.overwrite(at + 72, std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x10});
                 c.overwrite(at + 84, std::vector<std::uint8_t>{0x02, 0, 0, 0x04});
                 c.overwrite(at + 88, std::vector<std::uint8_t>{0x02, 0x10, 0, 0x04});
                 c.overwrite(at + 92, std::vector<std::uint8_t>{0xFD, 0xFF, 0xFF, 0x7F});
             }
         }},
        {"FAT past the end of the image",
         [](ExfatImage& c) {
             c.overwrite(80, std::vector<std::uint8_t>{0, 0, 0, 0x10});
             c.overwrite(88, std::vector<std::uint8_t>{0, 0x10, 0, 0x10});
             c.overwrite(72, std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1, 0, 0});
         }},
        {"clusters of 128 KiB",
         [](ExfatImage& c) {
             c.overwrite(109, std::vector<std::uint8_t>{8});
             c.overwrite(92, std::vector<std::uint8_t>{0xF0, 0x01, 0, 0});
         }},
        {"4 KiB sectors on a 512-byte layout",
         [](ExfatImage& c) {
             c.overwrite(108, std::vector<std::uint8_t>{12, 0});
         }},
        {"root chain loops",
         [](ExfatImage& c) {
             c.writer().write_fat(c.layout().root_cluster, c.layout().root_cluster);
         }},
        {"folder chain loops",
         [](ExfatImage& c) {
             const auto clusters = c.writer().clusters("LOOP");
             c.writer().write_fat(clusters.back(), clusters.front());
         }},
        {"NameLength past the File Name entries",
         [](ExfatImage& c) {
             const std::uint64_t set = c.writer().set_offset("LOOP/F1.BIN");
             c.overwrite(set + 32 + 3, std::vector<std::uint8_t>{200});
             c.writer().rewrite_set_checksum(set);
         }},
        {"255 secondaries at the end of a folder",
         [](ExfatImage& c) {
             const std::uint64_t set = c.writer().set_offset("LOOP/F59.BIN");
             c.overwrite(set + 1, std::vector<std::uint8_t>{255});
         }},
        {"absurd bitmap",
         [](ExfatImage& c) {
             c.overwrite(c.layout().cluster_offset(c.layout().root_cluster) + 32 + 20,
                         std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   0xFF, 0xFF, 0xFF, 0x7F});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path image = tmp / (std::string(c.name) + ".img");
        ExfatImage card = ExfatImage::create(image, {});
        card.add_dir("LOOP");
        card.add_file("OTHER.JPG", camera_picture(1, 160, 120));
        // Enough sets that LOOP takes clusters apart from each other.
        for (int i = 1; i < 60; ++i)
            card.add_file("LOOP/F" + std::to_string(i) + ".BIN", noise(100, i));
        ASSERT_GT(card.writer().clusters("LOOP").size(), 1u);
        c.damage(card);
        card.writer().update_boot_checksums();
        auto h = std::make_unique<EngineHarness>();
        ASSERT_TRUE(h->open_file(image.string()));
        EXPECT_EQ(h->analyse(), AnalysisResult::Finished);
        EXPECT_LE(h->engine.geo.max_cluster - 2, std::int64_t(fs::file_size(image) / 512));
    }
}

}  // namespace
}  // namespace lk
