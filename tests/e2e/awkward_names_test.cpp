// Names a card may hold but a disk may not take as they stand: every file is
// still written, under a name the disk takes, inside the output folder.
#include <gtest/gtest.h>

#include <set>

#include "base/bytes.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

std::vector<std::uint8_t> content(int n) {
    const std::string text = "file number " + std::to_string(n) + " " + std::string(static_cast<std::size_t>(n), '#');
    return {text.begin(), text.end()};
}

// Replaces the first two characters of the long name of the entry with the
// given short name, leaving its checksum alone. The name's only fragment must
// lie in the same cluster, just before its short entry.
void rename_long_name(FatImage& card, const std::string& folder, const std::string& name11, char16_t a, char16_t b) {
    const std::uint64_t entry = card.entry_offset(folder, name11);
    std::uint8_t chars[4];
    store_le16(chars, a);
    store_le16(chars + 2, b);
    card.overwrite(entry - 32 + 1, std::span<const std::uint8_t>(chars, 2));
    card.overwrite(entry - 32 + 3, std::span<const std::uint8_t>(chars + 2, 2));
}

TEST(AwkwardNames, EveryFileIsWrittenUnderANameTheDiskTakes) {
    LK_REQUIRE_FAT_TOOLS();
    use_utc();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 16u << 20;
    o.sectors_per_cluster = 1;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> files;
    auto add = [&](const std::string& path) {
        files.push_back(content(static_cast<int>(files.size()) + 1));
        card.add_file(path, files.back());
    };
    // "%" cannot stand in a saved name: "50%.txt" becomes "50_.txt", which is
    // taken.
    add("Names/50%.txt");
    add("Names/50_.txt");
    // A file and a folder whose long names become ".." (mtools will not write
    // that, so their names are changed on the card).
    add("Names/a+");
    card.add_dir("Names/b+");
    add("Names/b+/inside.txt");
    rename_long_name(card, "Names", "A_~1       ", u'.', u'.');
    rename_long_name(card, "Names", "B_~1       ", u'.', u'.');
    // 255 characters of two bytes each: 510 bytes, twice what a name may hold.
    std::string e_acute;
    for (int i = 0; i < 255; ++i) e_acute += "\xC3\xA9";
    add("Names/" + e_acute);
    // An entry whose short name is all blanks, and no long name.
    add("BLANK.TXT");
    card.overwrite(card.entry_offset("", "BLANK   TXT"), std::vector<std::uint8_t>(11, ' '));
    // 200 folders, one in the other: a path of some 2,000 bytes.
    std::string deep = "Deep";
    for (int level = 1; level <= 200; ++level) deep += "/level " + std::to_string(level);
    card.add_dir(deep);
    add(deep + "/at the bottom.txt");

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    const SaveOutcome saved = save_all(h, out);
    EXPECT_FALSE(saved.failed()) << saved.failures.front().path << ": " << saved.failures.front().reason;

    // Every file is there, each once, under names of at most 255 bytes.
    std::map<std::vector<std::uint8_t>, std::vector<std::string>> where;
    for (auto it = fs::recursive_directory_iterator(out); it != fs::recursive_directory_iterator(); ++it) {
        EXPECT_LE(it->path().filename().string().size(), 255u) << it->path();
        if (it->is_regular_file()) where[slurp(it->path())].push_back(fs::relative(it->path(), out).string());
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i + 1));
        ASSERT_EQ(where[files[i]].size(), 1u);
    }
    EXPECT_EQ(where[files[0]].front(), "Names/50_.txt");
    EXPECT_EQ(where[files[1]].front(), "Names/50_(1).txt");
    EXPECT_EQ(where[files[2]].front(), "Names/_.");
    EXPECT_EQ(where[files[3]].front(), "Names/_(1)./inside.txt");
    // The long name shortened to 127 characters (254 bytes), none cut in two.
    EXPECT_EQ(where[files[4]].front(), "Names/" + e_acute.substr(0, 254));
    EXPECT_EQ(where[files[5]].front(), "(unnamed)");
    EXPECT_EQ(where[files[6]].front(), deep + "/at the bottom.txt");
    // Nothing was written beside the output folder.
    std::set<std::string> beside;
    for (const auto& entry : fs::directory_iterator(tmp.path())) beside.insert(entry.path().filename().string());
    EXPECT_EQ(beside, (std::set<std::string>{"card.img", "out"}));
}

}  // namespace
}  // namespace lk
