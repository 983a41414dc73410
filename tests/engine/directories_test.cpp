#include "engine/directories.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;
using Entry = std::array<std::uint8_t, 32>;

Entry short_entry(const char* name11, std::uint8_t attr = 0x20, std::uint16_t cluster = 5, std::uint32_t size = 100) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    store_le16(e.data() + 26, cluster);
    store_le32(e.data() + 28, size);
    return e;
}

// The long-name fragments of `name` for the short name, in the order they
// lie on the card (the last part first).
std::vector<Entry> fragments(const std::u16string& name, const char* name11, bool deleted = false) {
    static constexpr int chars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const int count = static_cast<int>((name.size() + 12) / 13);
    const std::uint8_t sum = short_name_checksum(reinterpret_cast<const std::uint8_t*>(name11));
    std::vector<Entry> out;
    for (int seq = count; seq >= 1; --seq) {
        Entry f{};
        f[0] = deleted ? 0xE5 : static_cast<std::uint8_t>(seq | (seq == count ? 0x40 : 0));
        f[11] = 0x0F;
        f[13] = sum;
        for (int i = 0; i < 13; ++i) {
            std::size_t at = static_cast<std::size_t>(seq - 1) * 13 + i;
            char16_t c = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
            store_le16(f.data() + chars[i], c);
        }
        out.push_back(f);
    }
    return out;
}

std::string assemble(const std::vector<Entry>& entries) {
    LongNameAssembly lfn;
    std::string name = "<none>";
    for (const Entry& e : entries) {
        if (e[11] == 0x0F) lfn.fragment(e.data());
        else name = lfn.finish(direntry_t::decode(e.data()));
    }
    return name;
}

TEST(LongNames, Assembly) {
    const char* alias = "HOLIDA~1JPG";
    auto in_order = fragments(u"Holiday at the lake, day one.jpg", alias);
    ASSERT_EQ(in_order.size(), 3u);

    auto swapped = in_order;
    std::swap(swapped[1], swapped[2]);

    auto deleted = fragments(u"Holiday at the lake, day one.jpg", alias, true);
    Entry deleted_short = short_entry(alias);
    deleted_short[0] = 0xE5;

    Entry other_short = short_entry("OTHER   JPG");

    // An out-of-order run is dropped; a fragment carrying 0x40 starts over.
    auto restart = swapped;
    for (const Entry& f : fragments(u"second.jpg", "SECOND  JPG")) restart.push_back(f);

    struct Case {
        const char* name;
        std::vector<Entry> entries;
        Entry short_entry;
        std::string expected;
    } cases[] = {
        {"in order", in_order, short_entry(alias), "Holiday at the lake, day one.jpg"},
        {"out of order", swapped, short_entry(alias), ""},
        {"restarts at 0x40", restart, short_entry("SECOND  JPG"), "second.jpg"},
        {"deleted, checksum not verifiable", deleted, deleted_short, "Holiday at the lake, day one.jpg"},
        {"checksum of another entry", in_order, other_short, ""},
        {"non-ASCII as UTF-8", fragments(u"\u00dcn\u00efc\u00f6d\u00e9 \u00f1ame.txt", "NC~1    TXT"),
         short_entry("NC~1    TXT"), "\u00dcn\u00efc\u00f6d\u00e9 \u00f1ame.txt"},
        {"no fragments", {}, short_entry(alias), ""},
    };
    for (auto& c : cases) {
        c.entries.push_back(c.short_entry);
        EXPECT_EQ(assemble(c.entries), c.expected) << c.name;
    }
}

TEST(DirectoryBlock, PlausibleNames) {
    struct Case {
        const char* name11;
        bool plausible;
    } cases[] = {
        {"IMG_0001JPG", true}, {".          ", true}, {"..         ", true}, {"           ", false},
        {"A*B     TXT", false},  // 0x2A is not allowed
        {"A:B     TXT", false},  {"~~~~~~1 TXT", false},  // fewer letters than signs
        {"~~~~~A1 TXT", true},   {"\x01" "BC     TXT", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_plausible_name(reinterpret_cast<const std::uint8_t*>(c.name11)), c.plausible) << c.name11;
}

TEST(DirectoryBlock, CountsPlausibleEntriesAndTheirFragments) {
    // 16 entries: n plausible files, 3 fragments belonging to the first of
    // them, the rest garbage. A directory needs 16 < 2 x (counted).
    for (int plausible : {5, 9}) {
        std::vector<std::uint8_t> block;
        for (const Entry& f : fragments(u"a rather long file name.txt", "ARATHE~1TXT"))
            block.insert(block.end(), f.begin(), f.end());
        for (int i = 0; i < plausible; ++i) {
            std::string name = "ARATHE~1TXT";
            if (i > 0) name = "FILE000" + std::to_string(i % 10) + "TXT";
            Entry e = short_entry(name.c_str());
            block.insert(block.end(), e.begin(), e.end());
        }
        while (block.size() < 16 * 32) {
            Entry garbage;
            garbage.fill(0x01);
            block.insert(block.end(), garbage.begin(), garbage.end());
        }
        EngineHarness h;
        h.input.input_size = 1 << 20;
        h.engine.settle_geometry().max_cluster = 100;
        EXPECT_EQ(is_directory_block(h.engine, block.data(), 16, nullptr, true), plausible == 9) << plausible;
    }
}

TEST(DirectoryBlock, NamesAcrossClustersAndAbsurdEntries) {
    // 16-entry blocks (512-byte clusters), as on a card with a 200-character
    // name: its sixteen fragments and short entry do not fit one cluster.
    std::u16string long_name(200, u'x');
    const char* alias = "XXXXXX~1JPG";
    const auto frags = fragments(long_name, alias);  // 16 fragments, the last part first
    ASSERT_EQ(frags.size(), 16u);
    Entry dot = short_entry(".          ", 0x10, 7, 0), dotdot = short_entry("..         ", 0x10, 0, 0);
    Entry absurd_size = short_entry("ABSURD01JPG", 0x20, 5, 0xFFFFFF00);
    Entry absurd_cluster = short_entry("ABSURD02JPG", 0x20, 0xFFF0, 100);
    Entry absurd_name = short_entry("AB\x01\x02" "CD  JPG");
    Entry garbage;
    garbage.fill(0x01);

    auto block = [](std::initializer_list<std::vector<Entry>> parts) {
        std::vector<std::uint8_t> b;
        for (const auto& part : parts)
            for (const Entry& e : part) b.insert(b.end(), e.begin(), e.end());
        b.resize(16 * 32);  // the rest zero: the end of the directory
        return b;
    };
    const std::vector<Entry> first14(frags.begin(), frags.begin() + 14);
    const std::vector<Entry> last2(frags.begin() + 14, frags.end());
    Entry wrong_short = short_entry("OTHER   JPG");
    struct Case {
        const char* name;
        std::vector<std::uint8_t> entries;
        bool directory;
    } cases[] = {
        {"dots and a name that goes on in the next cluster", block({{dot, dotdot}, first14}), true},
        {"the end of that name and its short entry", block({last2, {short_entry(alias)}}), true},
        {"fragments closed by another entry's short entry", block({last2, {wrong_short}}), false},
        // (without the absurd ones skipped, 6 entries scanned for 3 counted)
        {"a few absurd entries beside good ones",
         block({{dot, dotdot, absurd_size, absurd_name, short_entry("B*D     JPG"), short_entry("IMG_0004JPG")}}),
         true},
        {"as many absurd entries as good ones",
         block({{dot, dotdot, absurd_size, absurd_cluster, absurd_name, garbage, short_entry("IMG_0004JPG")}}), false},
    };
    EngineHarness h;
    h.input.input_size = 16 << 20;
    h.geometry(FAT16, 512, 30000);
    for (const Case& c : cases)
        EXPECT_EQ(is_directory_block(h.engine, c.entries.data(), 16, nullptr, true), c.directory) << c.name;

    // A cluster whose "." and ".." name it and the folder pointing to it is
    // that folder, whatever the rest holds.
    std::vector<std::uint8_t> odd = block({{dot, dotdot, garbage, garbage, garbage, short_entry("IMG_0004JPG")}});
    EXPECT_FALSE(is_directory_block(h.engine, odd.data(), 16, nullptr, true));
    EXPECT_TRUE(is_directory_cluster(h.engine, 7, odd.data(), nullptr, true, 0));
    EXPECT_FALSE(is_directory_cluster(h.engine, 7, odd.data(), nullptr, true, 9)) << "another parent";
    EXPECT_FALSE(is_directory_cluster(h.engine, 8, odd.data(), nullptr, true, 0)) << "\".\" names another cluster";
    EXPECT_FALSE(is_directory_cluster(h.engine, 7, odd.data(), nullptr, true)) << "parent unknown";
}

TEST(DirectoryEntries, Classification) {
    EngineHarness h;
    h.geometry(FAT16, 2048, 100);
    Entry deleted = short_entry("IMG_0001JPG");
    deleted[0] = 0xE5;
    Entry control = short_entry("IMG_0001JPG");
    control[3] = 0x07;
    struct Case {
        const char* name;
        Entry entry;
        bool allow_deleted;
        std::int32_t expected;
    } cases[] = {
        {"end of directory", Entry{}, true, -4},
        {"deleted, not asked for", deleted, false, -3},
        {"dot entry", short_entry(".          ", 0x10), true, -3},
        {"long-name fragment", short_entry("ABCDEFGHIJK", 0x0F), true, -3},
        {"volume label", short_entry("MY CARD    ", 0x08, 0, 0), true, -3},
        {"control character, skipped on its own", control, true, -2},
        {"attribute 0x40", short_entry("IMG_0001JPG", 0x40), true, -2},
        {"empty file", short_entry("EMPTY   TXT", 0x20, 0, 0), true, 0},
        {"first cluster past the card", short_entry("IMG_0001JPG", 0x20, 500, 100), true, -2},
        {"free chain of one cluster", short_entry("IMG_0001JPG", 0x20, 5, 100), true, 0},
        {"three clusters with no chain", short_entry("IMG_0001JPG", 0x20, 5, 5000), true, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classify_entry(h.engine, direntry_t::decode(c.entry.data()), c.allow_deleted), c.expected)
            << c.name;
}

TEST(DirectoryEntries, ChoosesTheCopyWhoseChainHolds) {
    EngineHarness h;
    h.geometry(FAT16, 2048, 100);
    // Copy 0 has lost the chain, copy 1 still holds it.
    fix_fat_entry(h.engine, 5, 6, 1);
    fix_fat_entry(h.engine, 6, 7, 1);
    fix_fat_entry(h.engine, 7, 0xFFFF, 1);
    EXPECT_EQ(choose_fat_copy(h.engine, 5, 3 * 2048, false), 1);
    EXPECT_EQ(choose_fat_copy(h.engine, 5, 4 * 2048, false), -1);  // the chain is too short
    h.engine.fat.used.set(6);
    EXPECT_EQ(choose_fat_copy(h.engine, 5, 3 * 2048, false), -1);  // it runs into a catalogued file
}

TEST(DirectoryEntries, GuessesTheFirstLetterOfDeletedNames) {
    EngineHarness h;
    dir_t dir;
    dir_t sibling;
    sibling.entry.set_name11("XYZ     JPG");
    struct Case {
        const char* name11;
        std::uint8_t attr;
        bool with_sibling;
        char letter;
        const char* long_name = "";
    } cases[] = {
        {"\xE5MG_0001JPG", 0x20, false, 'I'}, {"\xE5SC_0001JPG", 0x20, false, 'D'},
        {"\xE5SCN0001JPG", 0x20, false, 'D'}, {"\xE5VI_0001JPG", 0x20, false, 'A'},
        {"\xE5RW_0001CRW", 0x20, false, 'C'}, {"\xE5" "CIM       ", 0x10, false, 'D'},
        {"\xE5" "1010001JPG", 0x20, false, 'P'}, {"\xE5OLIDAY JPG", 0x20, true, 'X'},
        {"\xE5OLIDAY JPG", 0x20, false, '0'},
        // Cameras name their movies MVI_ (Canon's movies came back as AVI_).
        {"\xE5VI_0141MP4", 0x20, false, 'M'}, {"\xE5VI_0001AVI", 0x20, false, 'M'},
        // A surviving long name tells its own.
        {"\xE5IRTHD~1JPG", 0x20, true, 'B', "birthday party.jpg"},
        {"\xE5MG_0001JPG", 0x20, false, 'I', ".hidden.jpg"},  // no letter there
    };
    for (const auto& c : cases) {
        lfn_t d;
        d.entry.set_name11(c.name11);
        d.entry.attr = c.attr;
        d.long_name = c.long_name;
        dir.children.clear();
        if (c.with_sibling) dir.children.push_back(sibling);
        EXPECT_EQ(guess_first_letter(h.engine, dir, d), c.letter) << c.name11 + 1;
    }
}

// Names on the card of the deleted name's pattern (bytes 1-3 and the
// extension) come before the table: live entries and surviving long names,
// whatever their folder.
TEST(DirectoryEntries, TheCardsOwnNamesGiveTheFirstLetter) {
    EngineHarness h;
    auto block = [](std::initializer_list<std::vector<Entry>> parts) {
        std::vector<std::uint8_t> bytes;
        for (const auto& part : parts)
            for (const Entry& e : part) bytes.insert(bytes.end(), e.begin(), e.end());
        return bytes;
    };
    const auto a = block({{short_entry("XVI_0001MP4")}, {short_entry("XVI_0002MP4")}, {short_entry("KVI_0003MP4")},
                          fragments(u"Qsc_0009.dat", "\xE5SC_0009DAT", true), {short_entry("\xE5SC_0009DAT")}});
    note_names(h.engine, a.data(), a.size() / 32);
    const dir_t dir;
    struct Case {
        const char* name11;
        char letter;
    } cases[] = {
        {"\xE5VI_0141MP4", 'X'},  // two X names against one K
        {"\xE5VI_0141MOV", 'M'},  // another extension: the table
        {"\xE5SC_0010DAT", 'Q'},  // from a deleted entry's long name
        {"\xE5SC_0010JPG", 'D'},
    };
    for (const auto& c : cases) {
        lfn_t d;
        d.entry.set_name11(c.name11);
        EXPECT_EQ(guess_first_letter(h.engine, dir, d), c.letter) << c.name11 + 1;
    }
}

}  // namespace
}  // namespace lk
