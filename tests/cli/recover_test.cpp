// lumenkeeper-cli recover end to end: a card made with mkfs.fat and mtools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "input/platform.hpp"
#include "output/size_words.hpp"
#include "tests/cli/catalogue_json.hpp"
#include "tests/support/card_builder.hpp"
#include "tests/support/process.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

std::vector<std::uint8_t> slurp_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Recover : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        FatOptions o;
        o.image_size = 16u << 20;
        card_.emplace(FatImage::create(tmp_ / "card.img", o));
        tools::JpegOptions j;
        for (std::uint32_t seed = 1; seed <= 3; ++seed) {
            j.seed = seed;
            card_->add_file("DCIM/100CANON/IMG_000" + std::to_string(seed) + ".JPG",
                            tools::make_jpeg(j));
        }
        card_->delete_file("DCIM/100CANON/IMG_0003.JPG");
    }
    ProcessResult cli(std::vector<std::string> args) {
        args.insert(args.begin(), LK_CLI_PATH);
        return run_process(args);
    }
    test::TempDir tmp_;
    std::optional<FatImage> card_;
};

TEST_F(Recover, SavesListsAndDescribesWhatItFound) {
    const fs::path out = tmp_ / "out", json = tmp_ / "catalogue.json";
    ProcessResult r = cli({"recover", card_->path().string(), "--output", out.string(), "--list",
                           "--json", json.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const CardFile& f : card_->files()) {
        // The deleted picture is carved and named by its entry, in its folder.
        const fs::path saved = out / f.path;
        EXPECT_TRUE(slurp_bytes(saved) == f.bytes) << saved;
    }
    EXPECT_NE(r.out.find("DCIM/\n  100CANON/\n    IMG_0001.JPG  "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("5. Recovering contiguous files..."), std::string::npos);
    EXPECT_NE(r.err.find("Files found: 3"), std::string::npos) << r.err;

    const nlohmann::json catalogue = test::read_catalogue(json);
    ASSERT_TRUE(catalogue.is_array()) << "not a JSON array: " << json;
    const nlohmann::json first = test::catalogue_item(catalogue, "DCIM/100CANON/IMG_0001.JPG");
    EXPECT_EQ(first.value("directory", true), false) << catalogue.dump();
    for (const CardFile& f : card_->files()) {
        if (f.path != "DCIM/100CANON/IMG_0001.JPG") continue;
        EXPECT_EQ(first.value("size", 0u), f.bytes.size());
    }
    EXPECT_EQ(test::catalogue_item(catalogue, "DCIM").value("directory", false), true);
    EXPECT_FALSE(test::catalogue_item(catalogue, "DCIM/100CANON/IMG_0003.JPG").empty());
    EXPECT_GE(test::catalogue_count(catalogue, "entry", "deleted"), 1);
    EXPECT_GE(test::catalogue_count(catalogue, "entry", "live"), 1);
    // Each file's bytes as runs on the input: read there, they are the file.
    EXPECT_EQ(first.value("how", ""), "chain");
    std::ifstream image(card_->path(), std::ios::binary);
    for (const nlohmann::json& item : catalogue) {
        if (item.value("directory", true)) continue;
        std::vector<std::uint8_t> bytes;
        for (const nlohmann::json& run : item.at("runs")) {
            const std::size_t length = run.at(1).get<std::size_t>();
            std::vector<std::uint8_t> part(length);
            if (!run.at(0).is_null()) {
                image.seekg(run.at(0).get<std::int64_t>());
                image.read(reinterpret_cast<char*>(part.data()), static_cast<std::streamsize>(length));
            }
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        EXPECT_TRUE(bytes == slurp_bytes(out / item.value("path", ""))) << item.dump();
    }
}

// Ctrl-C while step 5 reads a gigabyte of other data after a camera card:
// what was found is still saved, every picture of the card.
TEST(RecoverCancelled, CtrlCInStepFiveSavesEveryPictureFoundSoFar) {
    LK_REQUIRE_FAT_TOOLS();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 48u << 20;
    FatImage card = FatImage::create(tmp / "card.img", o);
    tools::JpegOptions j;
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::uint32_t seed = 1; seed <= 23; ++seed) {
        j.seed = seed;
        pictures.push_back(tools::make_jpeg(j));
        card.add_file("DCIM/100CANON/IMG_" + std::to_string(1000 + seed) + ".JPG", pictures.back());
    }
    const fs::path image = tmp / "card and data.img";
    fs::copy_file(card.path(), image);
    fs::resize_file(image, fs::file_size(image) + (std::uint64_t{1} << 30));

    for (int percent : {20, 50, 80}) {
        SCOPED_TRACE(percent);
        const fs::path out = tmp / ("out " + std::to_string(percent));
        // The progress lines after step 5's line: Ctrl-C at the first that
        // has come this far.
        const std::regex progress("Analyzing +([0-9]+)%");
        const InterruptedRun run = run_interrupting(
            {LK_CLI_PATH, "recover", image.string(), "--ignore-fat", "--output", out.string()},
            [&](const std::string& err) {
                const std::size_t step5 = err.find("5. Recovering contiguous files...");
                if (step5 == std::string::npos) return false;
                const std::string after = err.substr(step5);
                for (std::sregex_iterator it(after.begin(), after.end(), progress), end; it != end; ++it)
                    if (std::stoi((*it)[1]) >= percent) return true;
                return false;
            });
        const std::string& err = run.err;
        const int status = run.status;
        ASSERT_TRUE(run.interrupted) << err;
        ASSERT_TRUE(WIFEXITED(status)) << err;
        EXPECT_NE(err.find("Cancelled: 23 files found so far"), std::string::npos) << err;
        std::map<std::vector<std::uint8_t>, std::string> back;
        for (const auto& entry : fs::recursive_directory_iterator(out))
            if (entry.is_regular_file()) back[slurp_bytes(entry.path())] = entry.path().string();
        for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(back.count(pictures[i])) << "picture " << i + 1;
    }
}

TEST_F(Recover, ExitCodes) {
    const fs::path blocker = tmp_ / "a file";
    std::ofstream(blocker) << "x";
    const fs::path empty = tmp_ / "empty.img";
    std::ofstream{empty};
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"recover", card_->path().string()}, 2, "Nothing to do"},
        {{"recover", card_->path().string(), "--list", "--bogus"}, 2, "bogus"},
        {{"recover", card_->path().string(), "--list", "--range", "9:3"}, 2, "--range"},
        {{"recover", (tmp_ / "missing.img").string(), "--list"}, 3, "Can't open the input drive"},
        {{"recover", card_->path().string(), "-o", (blocker / "out").string()},
         1,
         "Nothing was saved: The folder " + (blocker / "out").string() +
             " cannot be made: " + blocker.string() + " is a file, not a folder"},
        {{"recover", "--help"}, 0, "--movie-limit"},
        {{"recover", empty.string(), "--list"}, 0, "The input is empty: nothing to recover"},
        {{"recover", tmp_.path().string(), "--list"}, 3, "is a directory"},
        {{"--version"}, 0, "lumenkeeper-cli 0."},
    };
    for (const auto& c : cases) {
        ProcessResult r = cli(c.args);
        EXPECT_EQ(r.exit_code, c.code) << c.args.back() << "\n" << r.err;
        EXPECT_NE((r.err + r.out).find(c.says), std::string::npos) << c.says << "\n"
                                                                   << r.err << r.out;
    }
}

// Every file under dir with its inode: a file written again is a new one.
std::map<std::string, ino_t> inodes_under(const fs::path& dir) {
    std::map<std::string, ino_t> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        if (entry.is_regular_file() && ::stat(entry.path().c_str(), &st) == 0)
            out[fs::relative(entry.path(), dir).generic_string()] = st.st_ino;
    }
    return out;
}

TEST_F(Recover, TwiceIntoOneFolderWritesNothingTheSecondTime) {
    const fs::path out = tmp_ / "out";
    ProcessResult r = cli({"recover", card_->path().string(), "--output", out.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::uint64_t bytes = 0;
    for (const CardFile& f : card_->files()) bytes += f.bytes.size();
    const std::string size = SizeWithUnit(bytes);
    EXPECT_NE(r.out.find("Files saved in " + out.string() + ": 3 (" + size + ")"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Already there"), std::string::npos) << r.out;
    const auto first = inodes_under(out);
    ASSERT_EQ(first.size(), 3u);

    r = cli({"recover", card_->path().string(), "--output", out.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Files saved in " + out.string() + ": 0 (0 bytes)"), std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find("Already there with the same content, not written again: 3 (" + size + ")"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(inodes_under(out), first) << "nothing new, nothing written again";
}

TEST_F(Recover, AFolderThatCannotBeWrittenIsRefusedBeforeAnything) {
    // Root writes anywhere: the program then runs without the capabilities
    // that override file permissions, as a user would.
    std::vector<std::string> as_a_user;
    if (::geteuid() == 0) {
        const auto setpriv = find_program("setpriv");
        if (!setpriv) GTEST_SKIP() << "running as root without setpriv (util-linux)";
        as_a_user = {setpriv->string(), "--bounding-set=-dac_override,-dac_read_search"};
    }
    const fs::path locked = tmp_ / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    struct Case {
        fs::path output;
        std::string says;
    } cases[] = {
        {locked, "Nothing was saved: The folder " + locked.string() +
                     " cannot be written to: " + InputErrorText(EACCES)},
        {locked / "new", "Nothing was saved: The folder " + (locked / "new").string() +
                             " cannot be made: " + InputErrorText(EACCES)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> args = as_a_user;
        for (const std::string& a :
             {std::string(LK_CLI_PATH), std::string("recover"), card_->path().string(),
              std::string("--output"), c.output.string(), std::string("--thumbnails")})
            args.push_back(a);
        const ProcessResult r = run_process(args);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Analyzing"), std::string::npos) << "refused before the analysis";
        EXPECT_EQ(r.err.find("Files found"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(locked));
    EXPECT_FALSE(fs::exists(tmp_ / "locked-contact-sheet"));
}

TEST_F(Recover, ExpertOptionsAnswerTheCardParametersQuestion) {
    // Expert mode asks always; from the options, a cluster size that gives too
    // many clusters is refused like the dialog refuses it.
    ProcessResult refused = cli({"recover", card_->path().string(), "--list", "--cluster-size",
                                 "512", "--card-size", std::to_string(std::uint64_t{4} << 30)});
    EXPECT_EQ(refused.exit_code, 2) << refused.err;
    EXPECT_NE(
        refused.err.find("The cluster size and the card size are incompatible (too many clusters)"),
        std::string::npos)
        << refused.err;

    ProcessResult carved = cli({"recover", card_->path().string(), "--list", "--ignore-fat"});
    ASSERT_EQ(carved.exit_code, 0) << carved.err;
    EXPECT_NE(carved.err.find("3. FAT is ignored"), std::string::npos);
    EXPECT_EQ(carved.out.find("DCIM/"), std::string::npos);  // no directory was read
    EXPECT_NE(carved.out.find("FOUND/"), std::string::npos);
}

}  // namespace
}  // namespace lk
