// The table behind translate(): English text (as the master file has it,
// "&" marks included) to its translation.
#pragma once

#include <map>
#include <string>

#include "lang/language_file.hpp"
#include "lang/number_marks.hpp"

namespace lk {

struct TranslationTable {
    std::map<std::string, msg_info_t, std::less<>> texts;
    NumberMarks numbers;  // how the language writes numbers
};

// Makes `table` the one translate() consults; null goes back to English.
// translate() has no context to be handed (every layer calls it), so the
// applied table is the program's single piece of shared language state: an
// immutable table published atomically, which worker threads read without a
// lock. Only Language calls this, and it keeps every table it published
// alive for its own lifetime, so that texts handed out stay valid.
void publish_translation_table(const TranslationTable* table);
const TranslationTable* published_translation_table();

}  // namespace lk
