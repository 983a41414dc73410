#include "lang/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace lk {
namespace {

TEST(Format, MessageCatalogueConversions) {
    // The catalogue's texts keep Windows-style length modifiers; the argument decides.
    EXPECT_EQ(format("READ ERROR AT %Lu, READ %d: %hs", std::uint64_t{5000000000}, -1, "Input/output error"),
              "READ ERROR AT 5000000000, READ -1: Input/output error");
    EXPECT_EQ(format("Found Master Boot Record at 0x%LX (sector %d)...", std::int64_t{0x400000}, 8192),
              "Found Master Boot Record at 0x400000 (sector 8192)...");
    EXPECT_EQ(format("Root directory size seems to be 0x%lX bytes (%d entries)...", 16384u, 512),
              "Root directory size seems to be 0x4000 bytes (512 entries)...");
    EXPECT_EQ(format("Logical Drive %hc:", 'E'), "Logical Drive E:");
}

TEST(Format, WidthPrecisionAndSignedness) {
    struct Case {
        std::string got, want;
    };
    const Case cases[] = {
        {format("%c%07d%s", 'V', 12, "JPG"), "V0000012JPG"},
        {format("F%07d%s", 1, "JPG"), "F0000001JPG"},
        {format("%05u", 42u), "00042"},
        {format("cluster2=0x%X", std::int32_t{-1}), "cluster2=0xFFFFFFFF"},
        {format("%X", std::int64_t{-1}), "FFFFFFFFFFFFFFFF"},
        {format("%Ld %s", std::int64_t{-1}, "bytes"), "-1 bytes"},
        {format("%-4d|%4d|%+d", 7, 7, 7), "7   |   7|+7"},
        {format("%.3s|%5s", "abcdef", "ab"), "abc|   ab"},
        {format("100%%"), "100%"},
        {format("%d %d", 1), "1 "},
        {format("(%d)%s", 2, ".JPG"), "(2).JPG"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Format, CutKeepsCapacityMinusOne) {
    std::string longer(2000, 'x');
    EXPECT_EQ(format_cut(1024, "%s", longer).size(), 1023u);
    EXPECT_EQ(format_cut(1024, "short %d", 1), "short 1");
    // An embedded terminator ends a text argument, as in C.
    EXPECT_EQ(format("%s!", std::string("ab\0cd", 5)), "ab!");
}

}  // namespace
}  // namespace lk
