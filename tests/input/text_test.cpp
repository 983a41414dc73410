#include "input/text.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "lang/language.hpp"

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

TEST(Text, NumbersAreWrittenAsTheLanguageWritesThem) {
    struct Case {
        LangId id;
        const char* grouped;  // 1,050,331,648
    };
    const Case cases[] = {
        {0x0409, "1,050,331,648"},
        {0x0407, "1.050.331.648"},
        {0x0419, "1\u00a0050\u00a0331\u00a0648"},
        {0x040C, "1\u202f050\u202f331\u202f648"},
        {0x0411, "1,050,331,648"},
    };
    for (const Case& c : cases) {
        Language language(LanguageSources{std::filesystem::temp_directory_path()}, c.id);
        ASSERT_FALSE(language.select_language(c.id));
        EXPECT_EQ(GroupedNumber(1'050'331'648), c.grouped) << std::hex << c.id;
    }
    // Back to English once no language is applied.
    EXPECT_EQ(GroupedNumber(1'000), "1,000");
}

}  // namespace
}  // namespace lk
