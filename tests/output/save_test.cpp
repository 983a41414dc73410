#include "output/save.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/process.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;

void touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

TEST(MakeUniqueOutputName, NumbersUntilTheNameIsFree) {
    test::TempDir tmp;
    const std::string d = tmp.path().string();
    std::filesystem::create_directory(tmp / "photos.2021");
    for (const char* name : {"A.JPG", "A(1).JPG", "B(7).JPG", "README", "C(x).JPG", "photos.2021/D"}) touch(tmp / name);
    struct Case {
        const char* name;
        const char* unique;
    } cases[] = {
        {"A.JPG", "A(2).JPG"},
        {"B(7).JPG", "B(8).JPG"},
        {"README", "README(1)"},
        {"C(x).JPG", "C(1).JPG"},          // a number that does not parse counts as 0
        {"photos.2021/D", "photos.2021/D(1)"},  // a dot in a folder name takes no part
        {"free.JPG", "free.JPG"},
    };
    for (const auto& c : cases) EXPECT_EQ(MakeUniqueOutputName(d + "/" + c.name), d + "/" + c.unique) << c.name;
}

// A FAT16 card in memory: cluster c holds bytes of value c.
class WriteFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::uint8_t> card(200 * 2048);
        for (std::size_t i = 0; i < card.size(); ++i) card[i] = static_cast<std::uint8_t>(i / 2048 + 2);
        ASSERT_TRUE(h.open_memory(card));
        h.input.input_size = static_cast<std::int64_t>(card.size());
        h.geometry(FAT16, 2048, 200);
        link(5, 6);
        link(6, 0xFFFF);
    }
    void link(std::int64_t from, std::int64_t to) { fix_fat_entry(h.engine, from, to, 0); }
    std::string path(const char* name) { return (tmp / name).string(); }
    EngineHarness h;
    test::TempDir tmp;
};

TEST_F(WriteFile, ChainShorterThanTheSizeLeavesZerosInTheLastChunk) {
    ASSERT_TRUE(WriteRecoveredFile(h.engine, 3 * 2048 + 10, 5, 0, 0, path("short.bin")));
    auto bytes = slurp(path("short.bin"));
    ASSERT_EQ(bytes.size(), 3u * 2048 + 10);
    EXPECT_EQ(bytes[0], 5);
    EXPECT_EQ(bytes[2048], 6);
    EXPECT_TRUE(std::all_of(bytes.begin() + 2 * 2048, bytes.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(h.reporter.messages.empty());
}

// An exFAT item: consecutive clusters, its size whole, zeros from its valid
// length on whatever the clusters hold (they hold the cluster's number here).
TEST_F(WriteFile, ExfatItemsReadAsZerosPastTheirValidLength) {
    dir_t item;
    item.exfat_flags = kExfatSet | kExfatNoFatChain;
    item.entry.set_first_cluster(10, false);
    item.fat_copy = -1;
    item.valid_length = 3000;
    set_item_size(item, 2'100'000);  // past the first chunk: the rest is written as zeros, not read
    ASSERT_TRUE(WriteRecoveredFile(h.engine, item, path("exfat.bin")));
    const auto bytes = slurp(path("exfat.bin"));
    ASSERT_EQ(bytes.size(), 2'100'000u);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[2047], 10);
    EXPECT_EQ(bytes[2999], 11);
    EXPECT_TRUE(std::all_of(bytes.begin() + 3000, bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(WriteFile, ShiftAndEmptyFiles) {
    ASSERT_TRUE(WriteRecoveredFile(h.engine, 2048, 5, 0, 1024, path("shifted.bin")));
    auto bytes = slurp(path("shifted.bin"));
    EXPECT_EQ(bytes[0], 5);
    EXPECT_EQ(bytes[1023], 5);
    EXPECT_EQ(bytes[1024], 6);  // the shift carries into the next cluster of the chain
    ASSERT_TRUE(WriteRecoveredFile(h.engine, 0, 0, 0, 0, path("empty.txt")));
    EXPECT_EQ(std::filesystem::file_size(path("empty.txt")), 0u);
}

TEST_F(WriteFile, FailuresAreShownAndStopTheFile) {
    // No data cluster at all: created empty, then the error.
    EXPECT_FALSE(WriteRecoveredFile(h.engine, 100, 0, 0, 0, path("nothing.bin")));
    EXPECT_EQ(std::filesystem::file_size(path("nothing.bin")), 0u);
    ASSERT_EQ(h.reporter.messages.size(), 1u);
    EXPECT_EQ(h.reporter.messages[0].second, "File " + path("nothing.bin") + ": write error 0");

    // A chain that ends long before the file's last chunk fails the file.
    EXPECT_FALSE(WriteRecoveredFile(h.engine, 3'000'000, 5, 0, 0, path("long.bin")));
    EXPECT_EQ(h.reporter.messages.size(), 2u);

    // An output directory that cannot be written to.
    if (::geteuid() != 0) {
        std::filesystem::create_directory(tmp / "locked");
        ::chmod((tmp / "locked").c_str(), 0555);
        EXPECT_FALSE(WriteRecoveredFile(h.engine, 10, 5, 0, 0, path("locked/x.bin")));
        EXPECT_EQ(h.reporter.messages.back().second, "File " + path("locked/x.bin") + ": write error 13");
    }
    const std::string file_as_dir = path("plain");
    touch(file_as_dir);
    EXPECT_FALSE(WriteRecoveredFile(h.engine, 10, 5, 0, 0, file_as_dir + "/x.bin"));
    EXPECT_EQ(h.reporter.messages.back().second, "File " + file_as_dir + "/x.bin: write error 20");
}

TEST_F(WriteFile, SaveListMirrorsTheTree) {
    dir_t& root = h.engine.cat.root;
    lfn_t folder;
    folder.entry.set_name11("DCIM       ");
    folder.entry.attr = 0x10;
    dir_t& dcim = add_child(h.engine, root, folder, 0);
    lfn_t file;
    file.entry.set_name11("IMG_0001JPG");
    file.entry.set_first_cluster(5, false);
    file.entry.size = 3000;
    file.entry.attr = 0x21;
    file.entry.wdate = (41 << 9) | (6 << 5) | 15;  // 2021-06-15
    file.entry.wtime = (12 << 11) | (34 << 5) | 28;
    add_child(h.engine, dcim, file, 512);

    auto list = BuildSaveList(h.engine, {}, false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "");  // the root stands for the output directory
    EXPECT_EQ(list[1].name, "DCIM");
    EXPECT_TRUE(list[1].is_directory());
    EXPECT_EQ(list[2].name, "DCIM/IMG_0001.JPG");
    EXPECT_EQ(list[2].leaf, "IMG_0001.JPG");
    EXPECT_EQ(list[2].parent, 1);
    EXPECT_EQ(list[2].shift, 512);
    EXPECT_EQ(list[2].attributes, 0x21);
    EXPECT_TRUE(list[2].has_time);
    EXPECT_TRUE(SaveListHasItems(h.engine, {}, true));
    EXPECT_EQ(BuildSaveList(h.engine, {&dcim}, true).size(), 1u);  // JPEG files only

    use_utc();
    QuietProgress progress;
    SaveOutcome out = SaveItems(h.engine, BuildSaveList(h.engine, {}, false), tmp.path().string(), progress);
    EXPECT_FALSE(out.failed());
    EXPECT_EQ(out.written, 3u);
    struct stat st {};
    ASSERT_EQ(::stat(path("DCIM/IMG_0001.JPG").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3000);
    EXPECT_EQ(st.st_mode & 0222, 0u);  // read-only
    EXPECT_EQ(st.st_mtime, 1623760496);  // 2021-06-15 12:34:56 UTC
}

TEST_F(WriteFile, AFailingItemDoesNotStopTheSave) {
    // Three files in the output directory; the middle one has no data.
    auto file = [](const char* name, std::uint32_t cluster, std::uint32_t size) {
        SaveItem s;
        s.name = name;
        s.leaf = name;
        s.start_cluster = cluster;
        s.size = size;
        return s;
    };
    SaveItem root;
    root.root = true;
    root.attributes = 0x10;
    const std::vector<SaveItem> list = {root, file("first.bin", 5, 100), file("empty handed.bin", 0, 100),
                                        file("third.bin", 5, 100)};
    struct Recorder final : CopyProgress {
        void hand_over(int, std::uint32_t) override {}
        void item_failed(const std::string& path, const std::string& reason) override {
            reported.push_back(path + ": " + reason);
        }
        std::vector<std::string> reported;
    } progress;
    const SaveOutcome out = SaveItems(h.engine, list, tmp.path().string(), progress);
    EXPECT_EQ(out.written, 3u);  // the output directory and two files
    ASSERT_EQ(out.failures.size(), 1u);
    EXPECT_EQ(out.failures[0].path, "empty handed.bin");
    EXPECT_EQ(progress.reported, (std::vector<std::string>{"empty handed.bin: the card's data could not be read"}));
    EXPECT_EQ(std::filesystem::file_size(path("third.bin")), 100u);
    EXPECT_TRUE(h.reporter.messages.empty()) << "no box per file";
}

TEST(FitOutputName, ShortensOnCharacterBoundariesAndKeepsTheExtension) {
    std::string e_acute;
    for (int i = 0; i < 200; ++i) e_acute += "\xC3\xA9";  // 400 bytes
    struct Case {
        std::string name;
        std::string fitted;
    } cases[] = {
        {"", "(unnamed)"},
        {"IMG_0001.JPG", "IMG_0001.JPG"},
        {e_acute, e_acute.substr(0, 254)},
        {e_acute + ".jpeg", e_acute.substr(0, 250) + ".jpeg"},
        {std::string(300, 'a') + "." + std::string(40, 'b'), std::string(255, 'a')},  // no extension that long
    };
    for (const Case& c : cases) EXPECT_EQ(FitOutputName(c.name), c.fitted) << c.name.size() << " bytes";
}

}  // namespace
}  // namespace lk
