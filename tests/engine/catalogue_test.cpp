#include "engine/catalogue.hpp"

#include <gtest/gtest.h>

#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;

lfn_t named(const char* name11, const std::string& long_name = {}) {
    lfn_t item;
    item.entry.set_name11(name11);
    item.long_name = long_name;
    return item;
}

lfn_t lower_case(lfn_t item, std::uint8_t flags) {
    item.entry.reserved = flags;
    return item;
}

TEST(Catalogue, Names) {
    struct Case {
        lfn_t item;
        std::string display, extension;
    } cases[] = {
        {named("IMG_0001JPG"), "IMG_0001.JPG", "JPG"},
        {named("README     "), "README", ""},
        {named("IMG_0001JPG", ".hidden photo.jpeg"), "_hidden photo.jpeg", "JPEG"},
        {named("X       TXT", "a:b?c.txt"), "a_b_c.txt", "TXT"},
        {named("X       TXT", "a\"%<>/\x01.txt"), "a______.txt", "TXT"},
        {named("X       TXT", "star*and\\backslash.txt"), "star*and\\backslash.txt", "TXT"},
        {named("\x99" "BER    TXT"), "\xC2\x99" "BER.TXT", "TXT"},  // 8.3 bytes above 127 become UTF-8
        {lower_case(named("README  TXT"), 0x18), "readme.txt", "TXT"},
        {lower_case(named("README  TXT"), 0x10), "README.txt", "TXT"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(display_name(c.item), c.display);
        EXPECT_EQ(display_extension(c.item), c.extension) << c.display;
    }
}

TEST(Catalogue, AcceptingAFileCountsItAndClaimsTheClustersOfItsRuns) {
    EngineHarness h;
    h.geometry(FAT16, 2048, 100);
    fix_fat_entry(h.engine, 5, 6, 0);
    fix_fat_entry(h.engine, 6, 0xFFFF, 0);
    dir_t dir;
    lfn_t file = named("SHORT   BIN");
    file.entry.set_first_cluster(5, false);
    file.entry.size = 4 * 2048 - 100;
    // The chain holds two clusters of the four the size needs: they are
    // claimed, the rest of the file is zeros.
    dir_t& item = find_or_add_child(h.engine, dir, file, 0, 0);
    ASSERT_TRUE(add_recovered_file(h.engine, item, false));
    EXPECT_EQ(item.extent.how, ExtentHow::Partial);
    EXPECT_EQ(item.extent.foreign, 2u * 2048 - 100);
    EXPECT_TRUE(h.engine.fat.used.test(5));
    EXPECT_TRUE(h.engine.fat.used.test(6));
    EXPECT_FALSE(h.engine.fat.used.test(7));
    EXPECT_EQ(h.engine.cat.counters.files, 1u);
    EXPECT_EQ(h.engine.cat.counters.recovered_size, 4u * 2048);
    // A directory adds nothing to the size and does not count as a file.
    lfn_t folder = named("FOLDER     ");
    folder.entry.attr = 0x10;
    folder.entry.set_first_cluster(20, false);
    ASSERT_TRUE(add_recovered_file(h.engine, find_or_add_child(h.engine, dir, folder, 0, 0), false));
    EXPECT_EQ(h.engine.cat.counters.files, 1u);
    EXPECT_EQ(h.engine.cat.counters.recovered_size, 4u * 2048);
    EXPECT_FALSE(h.engine.fat.used.test(20));  // claimed when it is walked
    EXPECT_EQ(h.reporter.last_value(ST_RECOVERED_SIZE), 4 * 2048);
}

TEST(Catalogue, ItemsAreTheSameByFirstClusterAndEmptyFilesByName) {
    EngineHarness h;
    h.geometry(FAT16, 2048, 100);
    dir_t dir;
    lfn_t a = named("A       JPG"), b = named("B       JPG");
    a.entry.set_first_cluster(7, false);
    b.entry.set_first_cluster(7, false);
    dir_t& first = find_or_add_child(h.engine, dir, a, 0, 1);
    EXPECT_EQ(first.fat_copy, 1);
    find_or_add_child(h.engine, dir, b, 0, 0);
    ASSERT_EQ(dir.children.size(), 1u);  // same first cluster: one item, the first
    EXPECT_EQ(short_name(dir.children[0].entry), "A.JPG");

    lfn_t empty1 = named("EMPTY1  TXT"), empty2 = named("EMPTY2  TXT");
    find_or_add_child(h.engine, dir, empty1, 0, 0);
    find_or_add_child(h.engine, dir, empty2, 0, 0);
    find_or_add_child(h.engine, dir, empty1, 0, 0);
    EXPECT_EQ(dir.children.size(), 3u);

    // An item accepted twice counts once.
    EXPECT_TRUE(add_recovered_file(h.engine, dir.children[1], false));
    EXPECT_TRUE(add_recovered_file(h.engine, dir.children[1], false));
    EXPECT_EQ(h.engine.cat.counters.files, 1u);
}

}  // namespace
}  // namespace lk
