#include "output/save.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>

#include "tests/support/process.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;

void touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

void put(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

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

// A save list by hand: the output directory, a folder, and files in it
// (cluster c of the card holds bytes of value c).
struct ListMaker {
    std::vector<SaveItem> list;
    ListMaker() {
        SaveItem root;
        root.root = true;
        root.attributes = 0x10;
        list.push_back(root);
    }
    int folder(const char* leaf) {
        SaveItem s;
        s.name = s.leaf = leaf;
        s.attributes = 0x10;
        list.push_back(s);
        return static_cast<int>(list.size()) - 1;
    }
    void file(const char* leaf, int parent, std::vector<ByteRun> runs) {
        SaveItem s;
        s.leaf = leaf;
        s.name = (parent >= 0 ? list[parent].name + "/" : std::string()) + leaf;
        s.parent = parent;
        for (const ByteRun& r : runs) s.size += r.length;
        s.runs = std::move(runs);
        list.push_back(s);
    }
};

// Every regular file under dir with its inode: a file written again is a
// new inode, even with the same bytes.
std::map<std::string, ino_t> inodes_under(const std::filesystem::path& dir) {
    std::map<std::string, ino_t> out;
    for (const auto& [name, path] : files_under(dir)) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        out[name] = st.st_ino;
    }
    return out;
}

TEST_F(WriteFile, SavingTwiceIntoOneFolderWritesNothingTheSecondTime) {
    ListMaker m;
    const int dcim = m.folder("DCIM");
    m.file("A.JPG", dcim, {{at(5), 3000}});
    m.file("B.JPG", dcim, {{at(9), 2048}, {ByteRun::kZeros, 1'500'000}});
    // Two files of one name: the second is written as SAME(1).JPG, and found
    // there the second time.
    m.file("SAME.JPG", dcim, {{at(20), 100}});
    m.file("SAME.JPG", dcim, {{at(21), 100}});
    m.file("TOP.TXT", -1, {{at(30), 10}});
    const std::uint64_t bytes = 3000 + 2048 + 1'500'000 + 100 + 100 + 10;

    QuietProgress progress;
    const SaveOutcome first = SaveItems(h.engine, m.list, tmp.path().string(), progress);
    EXPECT_FALSE(first.failed());
    EXPECT_EQ(first.files_written, 5u);
    EXPECT_EQ(first.bytes_written, bytes);
    EXPECT_EQ(first.already_there, 0u);
    const auto written = inodes_under(tmp.path());
    EXPECT_EQ(written.size(), 5u);
    EXPECT_EQ(slurp(path("DCIM/SAME(1).JPG")), std::vector<std::uint8_t>(100, 21));

    const SaveOutcome second = SaveItems(h.engine, m.list, tmp.path().string(), progress);
    EXPECT_FALSE(second.failed());
    EXPECT_EQ(second.files_written, 0u);
    EXPECT_EQ(second.bytes_written, 0u);
    EXPECT_EQ(second.already_there, 5u);
    EXPECT_EQ(second.bytes_already_there, bytes);
    EXPECT_EQ(inodes_under(tmp.path()), written) << "no file added or written again";
}

TEST_F(WriteFile, AFileOfTheSameNameWithOtherContentKeepsItAndTakesANumber) {
    const std::vector<std::uint8_t> same(2048, 5);
    std::vector<std::uint8_t> last_byte_differs = same;
    last_byte_differs.back() = 6;
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path&)> there;  // what is at A.JPG
        const char* written;  // the name the file takes; null: already there
    } cases[] = {
        {"the same bytes", [&](const auto& p) { put(p, same); }, nullptr},
        {"another size", [&](const auto& p) { put(p, std::vector<std::uint8_t>(2047, 5)); },
         "A(1).JPG"},
        {"the same size, the last byte differs", [&](const auto& p) { put(p, last_byte_differs); },
         "A(1).JPG"},
        {"a folder", [&](const auto& p) { std::filesystem::create_directory(p); }, "A(1).JPG"},
        {"a link to the same bytes",
         [&](const auto& p) {
             put(p.parent_path() / "target", same);
             std::filesystem::create_symlink("target", p);
         },
         "A(1).JPG"},
    };
    ListMaker m;
    m.file("A.JPG", -1, {{at(5), 2048}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir out;
        c.there(out / "A.JPG");
        const auto before = std::filesystem::is_regular_file(out / "A.JPG")
                                ? slurp(out / "A.JPG")
                                : std::vector<std::uint8_t>{};
        QuietProgress progress;
        const SaveOutcome o = SaveItems(h.engine, m.list, out.path().string(), progress);
        EXPECT_FALSE(o.failed());
        EXPECT_EQ(o.already_there, c.written ? 0u : 1u);
        EXPECT_EQ(o.files_written, c.written ? 1u : 0u);
        if (c.written) {
            EXPECT_EQ(slurp(out / c.written), same);
        }
        if (std::filesystem::is_regular_file(out / "A.JPG")) {
            EXPECT_EQ(slurp(out / "A.JPG"), before) << "what was there is left as it was";
        }
        EXPECT_FALSE(std::filesystem::exists(out / "A(2).JPG"));
    }
}

TEST_F(WriteFile, ReconstructModeComparesWhatTheFilterMakes) {
    // A filter that changes every byte: the file written is not the card's.
    const WholeFileFilter invert = [](Bytes in, std::vector<std::uint8_t>& out) {
        out.assign(in.begin(), in.end());
        for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(~b);
        return std::optional<std::string>();
    };
    ListMaker m;
    m.file("A.JPG", -1, {{at(5), 100}});
    QuietProgress progress;
    EXPECT_EQ(SaveItems(h.engine, m.list, tmp.path().string(), progress, &invert).files_written,
              1u);
    EXPECT_EQ(slurp(path("A.JPG")), std::vector<std::uint8_t>(100, 0xFA));
    const SaveOutcome again = SaveItems(h.engine, m.list, tmp.path().string(), progress, &invert);
    EXPECT_EQ(again.already_there, 1u);
    EXPECT_EQ(again.files_written, 0u);
    // Saved without the filter, the card's bytes are other content.
    EXPECT_EQ(SaveItems(h.engine, m.list, tmp.path().string(), progress).files_written, 1u);
    EXPECT_EQ(slurp(path("A(1).JPG")), std::vector<std::uint8_t>(100, 5));
}

TEST_F(WriteFile, ADestinationThatCannotTakeTheSaveIsRefusedBeforeAnything) {
    ListMaker m;
    const int dcim = m.folder("DCIM");
    for (const char* name : {"A.JPG", "B.JPG", "C.JPG"}) m.file(name, dcim, {{at(5), 100}});
    touch(tmp / "plain");
    struct Recorder final : CopyProgress {
        void hand_over(int percent, std::uint32_t) override { percents.push_back(percent); }
        void item_started(const std::string& path) override { started.push_back(path); }
        std::vector<int> percents;
        std::vector<std::string> started;
    } progress;
    const SaveOutcome o = SaveItems(h.engine, m.list, path("plain/out"), progress);
    EXPECT_TRUE(o.refused());
    EXPECT_TRUE(o.failed());
    EXPECT_EQ(o.refusal, "The folder " + path("plain/out") + " cannot be made: " + path("plain") +
                             " is a file, not a folder");
    EXPECT_TRUE(o.failures.empty()) << "one refusal, not a failure per file";
    EXPECT_EQ(o.written, 0u);
    EXPECT_TRUE(progress.started.empty());
    EXPECT_EQ(progress.percents, std::vector<int>{100}) << "the worker has ended";

    // A folder that is missing is made.
    QuietProgress quiet;
    const SaveOutcome made = SaveItems(h.engine, m.list, path("new/deeper"), quiet);
    EXPECT_FALSE(made.failed());
    EXPECT_EQ(made.files_written, 3u);
    EXPECT_EQ(slurp(path("new/deeper/DCIM/B.JPG")), std::vector<std::uint8_t>(100, 5));
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
