#include "lang/number_marks.hpp"

#include <array>
#include <utility>

#include "lang/translation_table.hpp"

namespace lk {

namespace {

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
constexpr std::string_view kNarrowNoBreakSpace = "\xE2\x80\xAF";

struct CodeMarks {
    std::string_view code;
    NumberMarks marks;
};

// The languages with built-in files that do not write numbers as English
// does (Japanese, Korean and Chinese do).
constexpr std::array kMarks{
    CodeMarks{"cs", {kNoBreakSpace, ","}}, CodeMarks{"da", {".", ","}},
    CodeMarks{"de", {".", ","}},           CodeMarks{"es", {".", ","}},
    CodeMarks{"fi", {kNoBreakSpace, ","}}, CodeMarks{"fr", {kNarrowNoBreakSpace, ","}},
    CodeMarks{"hu", {kNoBreakSpace, ","}}, CodeMarks{"it", {".", ","}},
    CodeMarks{"nl", {".", ","}},           CodeMarks{"pl", {kNoBreakSpace, ","}},
    CodeMarks{"pt", {".", ","}},           CodeMarks{"ru", {kNoBreakSpace, ","}},
    CodeMarks{"sk", {kNoBreakSpace, ","}}, CodeMarks{"sv", {kNoBreakSpace, ","}},
};

}  // namespace

NumberMarks number_marks_of(std::string_view code) {
    for (const CodeMarks& m : kMarks)
        if (m.code == code) return m.marks;
    return {};
}

NumberMarks number_marks() {
    const TranslationTable* table = published_translation_table();
    return table ? table->numbers : NumberMarks{};
}

}  // namespace lk
