// The languages the program knows: Windows language identifiers with their
// two-letter codes and English names, and the user's language from the locale.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace lk {

// A Windows language identifier: the primary language in the low 10 bits,
// the sublanguage (country or script) above them.
using LangId = std::uint32_t;

constexpr LangId primary_language(LangId id) {
    return id & 0x3FF;
}

struct LanguageRow {
    LangId id;
    std::string_view code;  // names the language files: "lumenstr_" + code + ".lng"
    std::string_view name;  // English name, shown in the Language menu
};

// All 65 rows; row 0 is English.
std::span<const LanguageRow> language_rows();

// The first row whose identifier equals `id`, else the first whose primary
// language equals id's; null when none does.
const LanguageRow* find_language_row(LangId id);
// The row with this code, compared without regard to case; null when none.
const LanguageRow* find_language_row(std::string_view code);

// The locale name that governs messages: LC_ALL, else LC_MESSAGES, else
// LANG, the first that is set and not empty ("" when none is).
std::string messages_locale(const std::function<const char*(const char*)>& getenv);

// The language identifier of a POSIX locale name such as "fr_CA.UTF-8" or
// "de_AT@euro": the language by its code, the country by the sublanguage
// Windows gives it. "C", "POSIX", an empty name and unknown languages give
// English (United States), 0x409.
LangId langid_from_locale(std::string_view locale);

}  // namespace lk
