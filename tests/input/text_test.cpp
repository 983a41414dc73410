#include "input/text.hpp"

#include <gtest/gtest.h>

namespace lk {
namespace {

TEST(Text, SizeText) {
    struct Case {
        std::int64_t bytes;
        const char* want;
    };
    const Case cases[] = {
        {0, "0"},
        {-1, "-1 bytes"},
        {999, "999 bytes"},
        {1'000, "1000 bytes"},
        {1'001, "1 KB"},
        {64'000'000, "64 MB"},
        {1'048'576'000, "1 GB"},
        {1'000'000'000'000, "1000 GB"},
        {8'000'000'000'000'000, "8000000 GB"},
    };
    for (const Case& c : cases) EXPECT_EQ(SizeText(c.bytes), c.want) << c.bytes;
}

TEST(Text, GroupedNumber) {
    struct Case {
        std::uint64_t value;
        const char* want;
    };
    const Case cases[] = {
        {0, "0"},
        {999, "999"},
        {1'000, "1,000"},
        {1'234'567, "1,234,567"},
        {18'446'744'073'709'551'615ull, "18,446,744,073,709,551,615"},
    };
    for (const Case& c : cases) EXPECT_EQ(GroupedNumber(c.value), c.want);
}

}  // namespace
}  // namespace lk
