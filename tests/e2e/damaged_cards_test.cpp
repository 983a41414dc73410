// Cards that still hold their files although their structures say otherwise:
// folders that look odd, deleted folders whose FAT entries are gone, wiped
// FATs and boot records with absurd fields. Each case is the smallest card
// that shows what used to be lost.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "base/bytes.hpp"
#include "tests/support/media.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

// A memory card image that counts the bytes the engine asks of it and
// cancels the analysis once they exceed a budget.
class BudgetBackend final : public ReadBackend {
public:
    BudgetBackend(std::vector<std::uint8_t> bytes, Status& status, std::uint64_t budget)
        : inner_(std::move(bytes)), status_(status), budget_(budget) {}
    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        requested += length;
        if (requested > budget_) status_.RequestCancel();
        return inner_.read(offset, buffer, length, error);
    }
    std::int64_t size() override { return inner_.size(); }

    std::uint64_t requested = 0;

private:
    MemoryBackend inner_;
    Status& status_;
    std::uint64_t budget_;
};

class DamagedCards : public ::testing::Test {
protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }

    // Analyses the card and saves everything; the output folder.
    fs::path recover(const FatImage& card, const std::string& name = "out") {
        EXPECT_TRUE(h.open_file(card.path().string()));
        EXPECT_EQ(h.analyse(), AnalysisResult::Finished);
        return save(name);
    }
    fs::path save(const std::string& name) {
        const fs::path out = tmp / name;
        fs::create_directories(out);
        const SaveOutcome saved = save_all(h, out);
        EXPECT_FALSE(saved.failed()) << saved.failures.front().path << ": " << saved.failures.front().reason;
        return out;
    }
    // Where each file's bytes came back (relative paths; empty when nowhere).
    static std::map<std::vector<std::uint8_t>, std::string> by_content(const fs::path& out) {
        std::map<std::vector<std::uint8_t>, std::string> m;
        for (const auto& [path, file] : files_under(out)) m[slurp(file)] = path;
        return m;
    }

    EngineHarness h;
    test::TempDir tmp;
};

std::vector<std::uint8_t> text_bytes(std::size_t n, char seed) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; out.size() < n; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the " + seed + " notes\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(n);
    return out;
}

// A word-processor document as office suites write it: a ZIP package whose
// first member is "[Content_Types].xml". Written by Python's zipfile.
std::vector<std::uint8_t> docx_bytes(const fs::path& dir) {
    const fs::path file = dir / "report.docx";
    run_checked({"python3", "-c",
                 "import sys, zipfile\n"
                 "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                 "z.writestr('[Content_Types].xml', '<?xml version=\"1.0\"?><Types xmlns=\"http://schemas."
                 "openxmlformats.org/package/2006/content-types\"/>')\n"
                 "z.writestr('word/document.xml', '<w:document>' + 'Quarterly report. ' * 400 + '</w:document>')\n"
                 "z.close()\n",
                 file.string()});
    return read_whole(file);
}

std::vector<std::uint8_t> ogg_bytes(const fs::path& dir) {
    const fs::path file = dir / "song.ogg";
    run_checked({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-c:a",
                 "libvorbis", "-fflags", "+bitexact", file.string()});
    return read_whole(file);
}

void put_entry_field(FatImage& card, std::uint64_t entry, int offset, std::span<const std::uint8_t> bytes) {
    card.overwrite(entry + offset, bytes);
}

TEST_F(DamagedCards, AFolderWhoseFirstClusterIsAllLongNameComesBack) {
    // 512-byte clusters: "." and ".." and fourteen of the sixteen fragments of
    // a 200-character name fill the folder's first cluster.
    FatOptions o;
    o.image_size = 16u << 20;
    o.sectors_per_cluster = 1;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::string name = "A walk along the river on the first warm day of spring";
    while (name.size() < 196) name += " and on";
    name = name.substr(0, 196) + ".jpg";
    ASSERT_EQ(name.size(), 200u);
    card.add_file("Spring/" + name, camera_picture(1));
    card.add_file("Spring/IMG_0002.JPG", camera_picture(2));
    card.add_file("Spring/Later/IMG_0003.JPG", camera_picture(3));

    const fs::path out = recover(card);
    expect_recovered(card.present_files(), out);
}

TEST_F(DamagedCards, EntriesWithAbsurdFieldsAreSkippedOnTheirOwn) {
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::string folder = "DCIM/100CANON";
    for (const char* n : {"ABSURD01.JPG", "ABSURD02.JPG", "ABSURD03.JPG"})
        card.add_file(folder + "/" + n, std::vector<std::uint8_t>(300, 0x55));
    const auto picture = camera_picture(4);
    card.add_file(folder + "/IMG_0004.JPG", picture);

    // Before the picture's entry: a size beyond the card, a first cluster
    // outside the data area, control bytes in a name.
    std::uint8_t huge[4], far_cluster[2];
    store_le32(huge, 0xFFFFFF00u);
    store_le16(far_cluster, 0xFFF0);
    put_entry_field(card, card.entry_offset(folder, "ABSURD01JPG"), 28, huge);
    put_entry_field(card, card.entry_offset(folder, "ABSURD02JPG"), 26, far_cluster);
    const std::uint8_t control_name[] = {'A', 'B', 0x01, 0x02, 'C', 'D', ' ', ' '};
    put_entry_field(card, card.entry_offset(folder, "ABSURD03JPG"), 0, control_name);

    const fs::path out = recover(card);
    EXPECT_TRUE(slurp(out / folder / "IMG_0004.JPG") == picture);
}

TEST_F(DamagedCards, FilesOfADeletedFolderComeBackByTheirEntriesWhenTheirClustersAreFree) {
    LK_REQUIRE_FFMPEG();
    // Deleting clears the files' FAT entries, so only their entries tell
    // where they lie; none of them has a header that carving knows.
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 4;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
        {"Meeting notes.txt", text_bytes(10'000, 'm')},
        {"Evening song.ogg", ogg_bytes(tmp.path())},
        {"Quarterly report.docx", docx_bytes(tmp.path())},
    };
    card.add_file("Keep/IMG_0001.JPG", camera_picture(5));
    for (const auto& [name, bytes] : files) card.add_file("Office/" + name, bytes);
    card.delete_folder("Office");

    const fs::path out = recover(card);
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(slurp(out / "Office" / name) == bytes);
    }
    expect_recovered(card.present_files(), out);
}

TEST_F(DamagedCards, DeletedEntriesInALaterClusterOfADeletedFolderComeBack) {
    // 512-byte clusters: the folder's sixteen files take four clusters of
    // entries, and only the first begins with "." and "..".
    FatOptions o;
    o.image_size = 16u << 20;
    o.sectors_per_cluster = 1;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
    for (int i = 1; i <= 16; ++i) {
        const std::string n = (i < 10 ? "Trip note 0" : "Trip note ") + std::to_string(i) + ".txt";
        files.emplace_back(n, text_bytes(1200 + 37 * i, static_cast<char>('a' + i)));
        card.add_file("Trip/" + n, files.back().second);
    }
    ASSERT_GE(card.clusters("Trip").size(), 3u);
    card.delete_folder("Trip");

    const auto found = by_content(recover(card));
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        auto it = found.find(bytes);
        ASSERT_NE(it, found.end()) << "did not come back";
        EXPECT_EQ(fs::path(it->second).filename().string(), name);
    }
}

TEST_F(DamagedCards, AFat32CardWithBothFatsWipedGivesBackEveryFileInItsFolder) {
    FatOptions o;
    o.image_size = 40u << 20;
    o.bits = FatBits::fat32;
    o.sectors_per_cluster = 1;
    FatImage card = FatImage::create(tmp / "card.img", o);
    card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(6));
    card.add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(7));
    card.add_file("DCIM/100CANON/IMG_0003.JPG", camera_picture(8));
    card.add_file("Documents/Letter to the bank.txt", text_bytes(7000, 'l'), FatImage::default_mtime(), true);
    card.add_file("README.TXT", text_bytes(900, 'r'));
    card.delete_file("DCIM/100CANON/IMG_0002.JPG");
    const FatLayout l = card.formatted_layout();
    for (int copy = 0; copy < 2; ++copy) card.zero(l.fat_offset[copy], std::uint64_t(l.fat_sectors) * 512);

    const fs::path out = recover(card);
    expect_recovered(card.present_files(), out);
    const auto found = by_content(out);
    EXPECT_EQ(found.count(card.files()[1].bytes), 1u) << "the deleted picture";
}

TEST_F(DamagedCards, FakeBootRecordsInTheFreeSpaceDoNotMisleadTheSearch) {
    // The boot sector is gone and the free space holds boot records with
    // absurd fields: one whose hidden sectors would move the search a
    // terabyte past the end, one with 255 FATs of 65,535 sectors.
    FatOptions o;
    o.image_size = 8u << 20;
    o.sectors_per_cluster = 2;
    o.label = "HOLIDAY";  // the root's first entry is the label, so the search goes on past it
    FatImage card = FatImage::create(tmp / "card.img", o);
    for (int i = 1; i <= 3; ++i) card.add_file("DCIM/IMG_000" + std::to_string(i) + ".JPG", camera_picture(10 + i));
    card.zero_boot_sector();
    std::array<std::uint8_t, 512> fake{};
    fake[0] = 0xEB;
    store_le16(fake.data() + 11, 512);
    fake[13] = 4;
    store_le16(fake.data() + 14, 1);
    fake[16] = 2;
    store_le16(fake.data() + 22, 16);
    store_le32(fake.data() + 28, 1'700'000'000);
    fake[510] = 0x55;
    fake[511] = 0xAA;
    card.write_at_cluster(300, 0, fake);
    fake[16] = 255;
    store_le16(fake.data() + 22, 65535);
    store_le32(fake.data() + 28, 0);
    card.write_at_cluster(301, 512, fake);

    Status& status = h.status;
    auto backend = std::make_unique<BudgetBackend>(card.bytes(), status, std::uint64_t(64) * o.image_size);
    BudgetBackend& reads = *backend;
    // Reads past the end are answered with zeros without reaching the card:
    // the engine's "Reading sector" status shows them, and the first one
    // ends the analysis rather than letting it run for hours.
    std::uint64_t past_end = 0;
    h.reporter.on_value = [&](std::uint32_t code, std::uint64_t sector) {
        if (code == ST_SECTOR && sector >= o.image_size / 512) {
            ++past_end;
            status.RequestCancel();
        }
    };
    ASSERT_TRUE(h.input.OpenBackend(std::move(backend), "card"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("analysis: %.2f s for %.0f MB; %llu bytes asked for\n", seconds, o.image_size / 1e6,
                static_cast<unsigned long long>(reads.requested));
    EXPECT_FALSE(status.IsCancelled()) << "the analysis was stopped: it read more than 64 times the card or past its end";
    EXPECT_EQ(past_end, 0u) << "the search read past the end of the card";

    const auto found = by_content(save("out"));
    for (const CardFile& f : card.files()) EXPECT_EQ(found.count(f.bytes), 1u) << f.path;
}

// Boot records whose fields describe no card that is here, or no file system
// at all, are damage rather than answers; everything still comes back.
TEST_F(DamagedCards, BootRecordsWithAbsurdOrImpossibleFieldsAreNotTaken) {
    struct Case {
        const char* name;
        FatBits bits;
        std::uint64_t size;
        unsigned sectors_per_cluster;
        int field;  // boot record offset changed
        std::uint16_t value;
        std::size_t width;
    } cases[] = {
        // 255 copies of the FAT would leave only the card's last 360 KB as data.
        {"255 FATs", FatBits::fat16, 32u << 20, 1, 16, 255, 1},
        // ... or end beyond the card.
        {"255 FATs beyond the card", FatBits::fat32, 40u << 20, 1, 16, 255, 1},
        // A root of 65,535 entries is 2 MB, which would hide the first files...
        {"65,535 root entries", FatBits::fat16, 32u << 20, 1, 17, 65535, 2},
        // ... or all of them on a 2 MB card.
        {"65,535 root entries beyond the card", FatBits::fat12, 2u << 20, 1, 17, 65535, 2},
        // Clusters of a number of sectors that is no power of two or of none,
        // sectors beyond any a card has: no file system; the card is searched
        // as one whose boot record was wiped (FAT32 finds the copy in sector 6).
        {"255 sectors per cluster", FatBits::fat16, 32u << 20, 4, 13, 255, 1},
        {"3 sectors per cluster", FatBits::fat32, 40u << 20, 1, 13, 3, 1},
        {"no sectors per cluster", FatBits::fat16, 32u << 20, 4, 13, 0, 1},
        {"8,192 bytes per sector", FatBits::fat16, 32u << 20, 4, 11, 8192, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FatOptions o;
        o.bits = c.bits;
        o.image_size = c.size;
        o.sectors_per_cluster = c.sectors_per_cluster;
        FatImage card = FatImage::create(tmp / (std::string(c.name) + ".img"), o);
        card.add_file("DCIM/IMG_0001.JPG", camera_picture(20, 320, 240));
        card.add_file("DCIM/IMG_0002.JPG", camera_picture(21, 320, 240));
        card.add_file("IMG_0003.JPG", camera_picture(22, 320, 240));
        std::uint8_t field[2];
        store_le16(field, c.value);
        card.overwrite(c.field, std::span<const std::uint8_t>(field, c.width));

        EngineHarness run;
        ASSERT_TRUE(run.open_file(card.path().string()));
        ASSERT_EQ(run.analyse(), AnalysisResult::Finished);
        const fs::path out = tmp / (std::string(c.name) + " out");
        fs::create_directories(out);
        EXPECT_FALSE(save_all(run, out).failed());
        expect_recovered(card.files(), out);
    }
}

}  // namespace
}  // namespace lk
