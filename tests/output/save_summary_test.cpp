// The lines that end a save in both front ends, and the sizes they show.
#include "output/save_summary.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>

#include "lang/language.hpp"
#include "output/size_words.hpp"

namespace lk {
namespace {

TEST(SaveSummary, EachKindOfResultHasItsLines) {
    SaveOutcome saved;
    saved.written = 4;  // a folder too; the summary counts files
    saved.files_written = 3;
    saved.bytes_written = 2'100'000;

    SaveOutcome again;  // saved before: nothing new
    again.already_there = 3;
    again.bytes_already_there = 2'100'000;

    SaveOutcome mixed = saved;
    mixed.already_there = 2;
    mixed.bytes_already_there = 1500;
    mixed.failures = {{"DCIM/IMG_0002.JPG", "No space left on device"},
                      {"DCIM/IMG_0003.JPG", "No space left on device"}};
    mixed.cancelled = true;

    SaveOutcome refused;
    refused.refusal = "The folder /media/card/out cannot be written to: Read-only file system";
    refused.files_written = 1;  // a refusal says only why

    struct Case {
        const char* what;
        SaveOutcome outcome;
        std::vector<std::string> lines;
    } cases[] = {
        {"files written", saved, {"Files saved in /home/u/out: 3 (2.1 MB)"}},
        {"everything already there",
         again,
         {"Files saved in /home/u/out: 0 (0 bytes)",
          "Already there with the same content, not written again: 3 (2.1 MB)"}},
        {"written, already there, failed and cancelled",
         mixed,
         {"Files saved in /home/u/out: 3 (2.1 MB)",
          "Already there with the same content, not written again: 2 (1.5 KB)",
          "Items that could not be written: 2", "  DCIM/IMG_0002.JPG: No space left on device",
          "  DCIM/IMG_0003.JPG: No space left on device",
          "Saving was cancelled: the files not counted here were not saved"}},
        {"refused",
         refused,
         {"Nothing was saved: The folder /media/card/out cannot be written to: Read-only file "
          "system"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SaveSummaryLines(c.outcome, "/home/u/out"), c.lines) << c.what;
}

TEST(SaveSummary, SizesTakeTheUnitTheProgramShowsWithATenthBelowTen) {
    struct Case {
        std::uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},
        {999, "999 bytes"},
        {1000, "1.0 KB"},
        {1049, "1.0 KB"},
        {1050, "1.1 KB"},  // rounded, not cut
        {9949, "9.9 KB"},
        {9950, "10 KB"},  // a tenth that rounds up to ten shows whole
        {64'300'000, "64 MB"},
        {64'500'000, "65 MB"},  // whole units are rounded once, from the bytes
        {999'499'999, "999 MB"},
        {1'900'000'000, "1.9 GB"},
        {2'100'000'000, "2.1 GB"},
        {5'000'000'000'000, "5000 GB"},  // never beyond GB
        {std::numeric_limits<std::uint64_t>::max(), "18446744074 GB"},
    };
    for (const Case& c : cases) EXPECT_EQ(SizeWithUnit(c.bytes), c.text) << c.bytes;
}

TEST(SaveSummary, SizesTakeTheLanguagesDecimalMark) {
    const std::pair<LangId, const char*> cases[] = {
        {0x0407, "2,1 GB"},
        {0x0419, "2,1 \u0413\u0411"},
        {0x0411, "2.1 GB"},
    };
    for (const auto& [id, text] : cases) {
        Language language(LanguageSources{std::filesystem::temp_directory_path()}, id);
        ASSERT_FALSE(language.select_language(id));
        EXPECT_EQ(SizeWithUnit(2'100'000'000), text) << std::hex << id;
    }
}

}  // namespace
}  // namespace lk
