// How a language writes numbers: the mark between groups of three digits and
// the decimal mark, as the language's usual region writes them ("1.050.331.648"
// and "2,1" in German, "1 050 331 648" with no-break spaces in Russian).
#pragma once

#include <string_view>

namespace lk {

struct NumberMarks {
    std::string_view group = ",";  // UTF-8
    std::string_view decimal = ".";
};

// The marks of the language with this code (a language file's code: "de",
// "ru", "tw"...); English's for a code not known.
NumberMarks number_marks_of(std::string_view code);

// The marks of the language translate() uses; English's while none is
// applied. Safe on any thread.
NumberMarks number_marks();

}  // namespace lk
