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
    }
    std::string path(const char* name) { return (tmp / name).string(); }
    // The offset of cluster c (cluster 2 lies at 0).
    static std::int64_t at(std::int64_t c) { return (c - 2) * 2048; }
    EngineHarness h;
    test::TempDir tmp;
};

TEST_F(WriteFile, RunsAreWrittenInTheirOrderAndZeroRunsAsZeros) {
    // Cluster 9, half of cluster 5 from a shift of 1024 (it carries into
    // cluster 6), then zeros past the first chunk: they are written as a
    // hole, not read.
    const std::vector<ByteRun> runs = {{at(9), 2048}, {at(5) + 1024, 2048}, {ByteRun::kZeros, 2'100'000}};
    ASSERT_TRUE(WriteRecoveredFile(h.engine, runs, path("runs.bin")));
    const auto bytes = slurp(path("runs.bin"));
    ASSERT_EQ(bytes.size(), 4096u + 2'100'000);
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(bytes[2047], 9);
    EXPECT_EQ(bytes[2048], 5);
    EXPECT_EQ(bytes[2048 + 1023], 5);
    EXPECT_EQ(bytes[2048 + 1024], 6);
    EXPECT_TRUE(std::all_of(bytes.begin() + 4096, bytes.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(h.reporter.messages.empty());

    ASSERT_TRUE(WriteRecoveredFile(h.engine, std::vector<ByteRun>{}, path("empty.txt")));
    EXPECT_EQ(std::filesystem::file_size(path("empty.txt")), 0u);
}

TEST_F(WriteFile, AStopRequestEndsTheFileWithoutAFailure) {
    std::stop_source stop;
    stop.request_stop();
    std::string failure;
    EXPECT_FALSE(WriteRecoveredFile(h.engine, std::vector<ByteRun>{{at(5), 4096}}, path("stopped.bin"), &failure,
                                    stop.get_token()));
    EXPECT_TRUE(failure.empty());
    EXPECT_TRUE(h.reporter.messages.empty());
}

TEST_F(WriteFile, WriteFailuresAreShown) {
    const std::vector<ByteRun> runs = {{at(5), 10}};
    // An output directory that cannot be written to.
    if (::geteuid() != 0) {
        std::filesystem::create_directory(tmp / "locked");
        ::chmod((tmp / "locked").c_str(), 0555);
        EXPECT_FALSE(WriteRecoveredFile(h.engine, runs, path("locked/x.bin")));
        EXPECT_EQ(h.reporter.messages.back().second, "File " + path("locked/x.bin") + ": write error 13");
    }
    const std::string file_as_dir = path("plain");
    touch(file_as_dir);
    EXPECT_FALSE(WriteRecoveredFile(h.engine, runs, file_as_dir + "/x.bin"));
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
    dir_t& picture = add_child(h.engine, dcim, file, 512);
    picture.extent.add(at(5) + 512, 3000);

    auto list = BuildSaveList(h.engine, {}, false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "");  // the root stands for the output directory
    EXPECT_EQ(list[1].name, "DCIM");
    EXPECT_TRUE(list[1].is_directory());
    EXPECT_EQ(list[2].name, "DCIM/IMG_0001.JPG");
    EXPECT_EQ(list[2].leaf, "IMG_0001.JPG");
    EXPECT_EQ(list[2].parent, 1);
    EXPECT_EQ(list[2].runs, (std::vector<ByteRun>{{at(5) + 512, 3000}}));
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
    // Three files in the output directory; the middle one names a folder
    // that is not there.
    auto file = [](const char* name, std::uint32_t size) {
        SaveItem s;
        s.name = name;
        s.leaf = name;
        s.size = size;
        s.runs = {{at(5), size}};
        return s;
    };
    SaveItem root;
    root.root = true;
    root.attributes = 0x10;
    const std::vector<SaveItem> list = {root, file("first.bin", 100), file("no such folder/x.bin", 100),
                                        file("third.bin", 100)};
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
    EXPECT_EQ(out.failures[0].path, "no such folder/x.bin");
    EXPECT_EQ(progress.reported, (std::vector<std::string>{"no such folder/x.bin: " + InputErrorText(ENOENT)}));
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
