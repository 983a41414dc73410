// The destination of a save, looked at before anything is written, and the
// folder proposed when the user has chosen none.
#include "output/destination.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "input/platform.hpp"
#include "output/default_destination.hpp"
#include "tests/support/file_permissions.hpp"
#include "tests/support/process.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;
using namespace lk::test;

void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

TEST(CheckDestination, RefusesWhatCannotTakeTheSaveAndSaysWhy) {
    test::TempDir tmp;
    const std::string d = tmp.path().string();
    fs::create_directory(tmp / "ok");
    fs::create_directory(tmp / "locked");
    ::chmod((tmp / "locked").c_str(), 0555);
    put(tmp / "plain", "x");
    const std::string denied = InputErrorText(EACCES);
    struct Case {
        const char* what;
        std::string directory;
        std::uint64_t needed;
        std::int64_t free;  // what the free-space function answers
        bool exists;
        std::string asked;  // where free space is asked; "" when the check stops before
        std::string refusal;
    } cases[] = {
        {"an existing folder with room", d + "/ok", 1000, 5000, true, d + "/ok", ""},
        {"a trailing slash", d + "/ok/", 1000, 5000, true, d + "/ok/", ""},
        {"missing but creatable, judged by the folder above", d + "/ok/new/inner", 1000, 5000,
         false, d + "/ok", ""},
        {"exactly the room it needs", d + "/ok", 5000, 5000, true, d + "/ok", ""},
        {"a free space that cannot be known", d + "/ok", 1'000'000, -1, true, d + "/ok", ""},
        {"a file where the folder should be", d + "/plain", 0, 5000, true, "",
         d + "/plain is a file, not a folder"},
        {"a file where a folder above it should be", d + "/plain/out", 0, 5000, false, "",
         "The folder " + d + "/plain/out cannot be made: " + d + "/plain is a file, not a folder"},
        {"a read-only folder", d + "/locked", 0, 5000, true, "",
         "The folder " + d + "/locked cannot be written to: " + denied},
        {"missing under a read-only folder", d + "/locked/new", 0, 5000, false, "",
         "The folder " + d + "/locked/new cannot be made: " + denied},
        {"too little room", d + "/ok", 2'100'000'000, 1'200'000'000, true, d + "/ok",
         "Not enough room in " + d + "/ok: needs 2.1 GB, 1.2 GB free"},
        {"too little room in a folder still to be made", d + "/ok/new", 64'300'000, 9'960, false,
         d + "/ok", "Not enough room in " + d + "/ok/new: needs 64 MB, 10 KB free"},
        // Sizes that would read the same are given to the byte.
        {"too little room by a little", d + "/ok", 1'249'000, 1'248'000, true, d + "/ok",
         "Not enough room in " + d + "/ok: needs 1,249,000 bytes, 1,248,000 bytes free"},
    };
    // Root writes anywhere; this thread obeys the permissions as a user would.
    ObeyFilePermissions as_a_user;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string asked;
        const DestinationCheck check =
            CheckDestination(c.directory, c.needed, [&](const std::string& path) {
                asked = path;
                return c.free;
            });
        EXPECT_EQ(check.refusal, c.refusal);
        EXPECT_EQ(check.ok(), c.refusal.empty());
        EXPECT_EQ(check.exists, c.exists);
        EXPECT_EQ(fs::path(asked).lexically_normal(), fs::path(c.asked).lexically_normal());
    }
    // Nothing was made on the way.
    EXPECT_FALSE(fs::exists(tmp / "ok" / "new"));
    EXPECT_FALSE(fs::exists(tmp / "locked" / "new"));
}

TEST(CheckDestination, MakeFolderMakesWhatIsMissingOrSaysWhyNot) {
    test::TempDir tmp;
    const std::string d = tmp.path().string();
    put(tmp / "plain", "x");
    std::string reason;
    EXPECT_TRUE(MakeFolder(d + "/a/b/c", reason)) << reason;
    EXPECT_TRUE(fs::is_directory(tmp / "a" / "b" / "c"));
    EXPECT_TRUE(MakeFolder(d + "/a/b", reason)) << "a folder already there is fine";
    EXPECT_FALSE(MakeFolder(d + "/plain", reason));
    EXPECT_EQ(reason, d + "/plain is a file, not a folder");
    EXPECT_FALSE(MakeFolder(d + "/plain/x", reason));
    EXPECT_EQ(reason, "The folder " + d + "/plain/x cannot be made: " + InputErrorText(ENOTDIR));
}

// The bytes a list adds: files not already there with their size, zero runs
// left out, each rounded up to whole blocks of 4096.
TEST(CheckDestination, BytesToWriteCountsOnlyWhatIsNew) {
    test::TempDir tmp;
    auto item = [](const char* leaf, int parent, std::uint64_t size, std::vector<ByteRun> runs,
                   bool folder = false) {
        SaveItem s;
        s.name = s.leaf = leaf;
        s.parent = parent;
        s.size = size;
        s.runs = std::move(runs);
        if (folder) s.attributes = 0x10;
        return s;
    };
    SaveItem root;
    root.root = true;
    root.attributes = 0x10;
    const std::vector<SaveItem> list = {
        root,
        item("DCIM", -1, 0, {}, true),
        item("A.JPG", 1, 5000, {{0, 3000}, {ByteRun::kZeros, 2000}}),  // 3000 bytes: one block
        item("B.JPG", 1, 10'000, {{0, 10'000}}),                       // three blocks
        item("C.JPG", -1, 8192, {{0, 8192}}),                          // two blocks
    };
    EXPECT_EQ(BytesToWrite(list, tmp.path().string()), 4096u + 12'288 + 8192);
    // B.JPG there with its size counts as there; C.JPG with another size does not.
    fs::create_directory(tmp / "DCIM");
    put(tmp / "DCIM" / "B.JPG", std::string(10'000, 'b'));
    put(tmp / "C.JPG", std::string(100, 'c'));
    EXPECT_EQ(BytesToWrite(list, tmp.path().string()), 4096u + 8192);
}

TEST(DefaultDestination, PicturesFolderFollowsTheUsersFolders) {
    test::TempDir tmp;
    const fs::path home = tmp / "home";
    fs::create_directories(home / ".config");
    fs::create_directories(tmp / "elsewhere");
    struct Case {
        const char* what;
        std::vector<std::string> folders;      // made under home
        std::optional<std::string> user_dirs;  // ~/.config/user-dirs.dirs
        std::string expected;
    } cases[] = {
        {"the file's folder",
         {"Bilder", "Pictures"},
         "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
         "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
         (home / "Bilder").string()},
        {"an absolute path, blanks around the sign",
         {},
         "  XDG_PICTURES_DIR = \"" + (tmp / "elsewhere").string() + "\"\n",
         (tmp / "elsewhere").string()},
        {"the last line counts",
         {"One", "Two"},
         "XDG_PICTURES_DIR=\"$HOME/One\"\nXDG_PICTURES_DIR=\"$HOME/Two\"\n",
         (home / "Two").string()},
        {"a folder that is not there",
         {"Pictures"},
         "XDG_PICTURES_DIR=\"$HOME/Fotos\"\n",
         (home / "Pictures").string()},
        {"disabled: the home folder itself",
         {"Pictures"},
         "XDG_PICTURES_DIR=\"$HOME/\"\n",
         (home / "Pictures").string()},
        {"a commented line",
         {"Bilder", "Pictures"},
         "#XDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
         (home / "Pictures").string()},
        {"no file", {"Pictures"}, std::nullopt, (home / "Pictures").string()},
        {"nothing at all", {}, std::nullopt, home.string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(home))
            if (entry.path().filename() != ".config") fs::remove_all(entry.path());
        fs::remove(home / ".config" / "user-dirs.dirs");
        for (const std::string& f : c.folders) fs::create_directory(home / f);
        if (c.user_dirs) put(home / ".config" / "user-dirs.dirs", *c.user_dirs);
        const std::string home_text = home.string();
        EXPECT_EQ(PicturesFolder([&](const char* name) -> const char* {
                      return std::string_view(name) == "HOME" ? home_text.c_str() : nullptr;
                  }),
                  c.expected);
    }
    // XDG_CONFIG_HOME moves the file.
    fs::create_directories(tmp / "config");
    fs::create_directory(home / "Fotos");
    put(tmp / "config" / "user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Fotos\"\n");
    const std::string home_text = home.string(), config = (tmp / "config").string();
    EXPECT_EQ(PicturesFolder([&](const char* name) -> const char* {
                  if (std::string_view(name) == "HOME") return home_text.c_str();
                  return std::string_view(name) == "XDG_CONFIG_HOME" ? config.c_str() : nullptr;
              }),
              (home / "Fotos").string());
}

TEST(DefaultDestination, TheCardsNameIsMadeSafeForAFolder) {
    // 1 + 60 two-byte letters: cut at 100 bytes, the cut goes back to 99.
    std::string accents = "x";
    for (int i = 0; i < 60; ++i) accents += "\xC3\xA9";
    struct Case {
        std::string input;
        std::string name;
    } cases[] = {
        {"/home/user/cards/card.img", "card"},
        {"File /home/user/cards/card.img", "card"},  // the input's name for an image file
        {"Physical Drive 2", "Physical Drive 2"},
        {"/home/user/cards/holiday.2021.cib", "holiday.2021"},
        {"/dev/sdb1", "sdb1"},
        {"/dev/mmcblk0", "mmcblk0"},
        {"/media/user/NIKON D750/", "NIKON D750"},
        {"what? <a>:b|c\\d*\"e\".dd", "what_ _a__b_c_d__e_"},
        {"line\nbreak\x7f", "line_break_"},
        {"..hidden  ", "hidden"},
        {"name.with a long tail", "name.with a long tail"},  // no extension of that length
        {"", "Recovered pictures"},
        {"/", "Recovered pictures"},
        {"...", "Recovered pictures"},
        {std::string(120, 'k'), std::string(100, 'k')},
        {accents, accents.substr(0, 99)},
    };
    for (const Case& c : cases) EXPECT_EQ(SafeFolderName(c.input), c.name) << c.input;
}

TEST(DefaultDestination, ANewFolderUnlessTheOneThereHoldsThisCardsFiles) {
    use_utc();
    test::TempDir tmp;
    const std::string pictures = tmp.path().string();
    const std::time_t today = 1623760496;  // 2021-06-15 12:34:56 UTC
    SaveItem root, folder, file;
    root.root = true;
    root.attributes = 0x10;
    folder.name = folder.leaf = "DCIM";
    folder.attributes = 0x10;
    file.name = "DCIM/IMG_0001.JPG";
    file.leaf = "IMG_0001.JPG";
    file.parent = 1;
    file.size = 3;
    const std::vector<SaveItem> list = {root, folder, file};
    const fs::path first = tmp / "card 2021-06-15";
    auto propose = [&] { return DefaultDestination(pictures, "/cards/card.img", today, list); };

    EXPECT_EQ(propose(), first.string()) << "nothing there";
    fs::create_directory(first);
    EXPECT_EQ(propose(), first.string()) << "an empty folder";
    fs::create_directory(first / "DCIM");
    put(first / "DCIM" / "IMG_0001.JPG", "abc");
    EXPECT_EQ(propose(), first.string()) << "this card's files, saved before";
    put(first / "DCIM" / "IMG_0001.JPG", "abcd");
    EXPECT_EQ(propose(), first.string() + " (2)") << "a file of another size";
    put(first / "DCIM" / "IMG_0001.JPG", "abc");
    put(first / "notes.txt", "mine");
    EXPECT_EQ(propose(), first.string() + " (2)") << "a file the card does not have";
    put(tmp / "card 2021-06-15 (2)", "a file");
    EXPECT_EQ(propose(), first.string() + " (3)") << "a file where the next folder would be";
}

}  // namespace
}  // namespace lk
