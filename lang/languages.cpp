#include "lang/languages.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace lk {

namespace {

constexpr std::array<LanguageRow, 65> kRows = {{
    {0x09, "en", "English"},    {0x36, "af", "Afrikaans"},  {0x1C, "sq", "Albanian"},
    {0x01, "ar", "Arabic"},     {0x2B, "hy", "Armenian"},   {0x2C, "az", "Azeri"},
    {0x2D, "eu", "Basque"},     {0x23, "be", "Belarusian"}, {0x02, "bg", "Bulgarian"},
    {0x03, "ca", "Catalan"},    {0x04, "zh", "Chinese"},    {0x404, "tw", "Taiwanese"},
    {0x05, "cs", "Czech"},      {0x06, "da", "Danish"},     {0x13, "nl", "Dutch"},
    {0x25, "et", "Estonian"},   {0x29, "fa", "Farsi"},      {0x0B, "fi", "Finnish"},
    {0x38, "fo", "Faroese"},    {0x0C, "fr", "French"},     {0x3C, "gd", "Gaelic"},
    {0x07, "de", "German"},     {0x08, "el", "Greek"},      {0x0D, "he", "Hebrew"},
    {0x39, "hi", "Hindi"},      {0x0E, "hu", "Hungarian"},  {0x0F, "is", "Icelandic"},
    {0x21, "id", "Indonesian"}, {0x10, "it", "Italian"},    {0x11, "ja", "Japanese"},
    {0x12, "ko", "Korean"},     {0x26, "lv", "Latvian"},    {0x27, "lt", "Lithuanian"},
    {0x2F, "mk", "Macedonian"}, {0x3E, "ms", "Malay"},      {0x3A, "mt", "Maltese"},
    {0x4E, "mr", "Marathi"},    {0x14, "no", "Norwegian"},  {0x15, "pl", "Polish"},
    {0x16, "pt", "Portuguese"}, {0x17, "rm", "Raeto-Rom."}, {0x18, "ro", "Romanian"},
    {0x19, "ru", "Russian"},    {0x4F, "sa", "Sanskrit"},   {0x1A, "sr", "Serbian"},
    {0x32, "tn", "Setsuana"},   {0x24, "sl", "Slovenian"},  {0x1B, "sk", "Slovak"},
    {0x2E, "sb", "Sorbian"},    {0x0A, "es", "Spanish"},    {0x30, "sx", "Sutu"},
    {0x41, "sw", "Swahili"},    {0x1D, "sv", "Swedish"},    {0x49, "ta", "Tamil"},
    {0x44, "tt", "Tatar"},      {0x1E, "th", "Thai"},       {0x1F, "tr", "Turkish"},
    {0x31, "ts", "Tsonga"},     {0x22, "uk", "Ukrainian"},  {0x20, "ur", "Urdu"},
    {0x43, "uz", "Uzbek"},      {0x2A, "vi", "Vietnamese"}, {0x34, "xh", "Xhosa"},
    {0x3D, "yi", "Yiddish"},    {0x35, "zu", "Zulu"},
}};

constexpr LangId kEnglishUS = 0x409;

// Locale language codes that differ from the table's, or that name one
// sublanguage: the identifier they stand for.
struct Alias {
    std::string_view code;
    LangId id;
};
constexpr Alias kAliases[] = {
    {"nb", 0x0414}, {"nn", 0x0814}, {"hr", 0x041A}, {"bs", 0x141A},  {"iw", 0x0D},
    {"in", 0x21},   {"ji", 0x3D},   {"hsb", 0x2E},  {"dsb", 0x082E}, {"st", 0x30},
};

// Sublanguages by country where Windows has them; an empty country is the
// language's choice without one. Anything else takes sublanguage 1.
struct Country {
    std::string_view language, country;
    LangId sublanguage;
};
constexpr Country kCountries[] = {
    {"zh", "TW", 1},  {"zh", "CN", 2},  {"zh", "HK", 3},  {"zh", "SG", 4},  {"zh", "MO", 5},
    {"zh", "", 2},    {"fr", "BE", 2},  {"fr", "CA", 3},  {"fr", "CH", 4},  {"fr", "LU", 5},
    {"fr", "MC", 6},  {"de", "CH", 2},  {"de", "AT", 3},  {"de", "LU", 4},  {"de", "LI", 5},
    {"en", "GB", 2},  {"en", "AU", 3},  {"en", "CA", 4},  {"en", "NZ", 5},  {"en", "IE", 6},
    {"en", "ZA", 7},  {"en", "IN", 16}, {"en", "SG", 18}, {"es", "ES", 3},  {"es", "MX", 2},
    {"es", "AR", 11}, {"es", "CL", 13}, {"es", "CO", 9},  {"es", "US", 21}, {"pt", "PT", 2},
    {"it", "CH", 2},  {"nl", "BE", 2},  {"sv", "FI", 2},  {"sr", "", 3},    {"ms", "BN", 2},
};

bool same_code(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::span<const LanguageRow> language_rows() {
    return kRows;
}

const LanguageRow* find_language_row(LangId id) {
    for (const LanguageRow& row : kRows)
        if (row.id == id) return &row;
    for (const LanguageRow& row : kRows)
        if (primary_language(row.id) == primary_language(id)) return &row;
    return nullptr;
}

const LanguageRow* find_language_row(std::string_view code) {
    for (const LanguageRow& row : kRows)
        if (same_code(row.code, code)) return &row;
    return nullptr;
}

std::string messages_locale(const std::function<const char*(const char*)>& getenv) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = getenv(name); value && *value) return value;
    return {};
}

LangId langid_from_locale(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    const std::size_t bar = locale.find('_');
    std::string language(locale.substr(0, bar)), country;
    if (bar != std::string_view::npos) country = locale.substr(bar + 1);
    for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : country) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    LangId primary = 0;
    for (const Alias& a : kAliases)
        if (a.code == language) primary = a.id;
    if (primary == 0) {
        // Only rows of a whole language: the table's "tw" is Taiwanese, where
        // a locale's "tw" would be Twi.
        const LanguageRow* row = find_language_row(language);
        if (!row || row->id != primary_language(row->id)) return kEnglishUS;
        primary = row->id;
    }
    if (primary != primary_language(primary)) return primary;  // the alias names its sublanguage
    LangId sublanguage = 1;
    for (const Country& c : kCountries)
        if (c.language == language && c.country.empty()) sublanguage = c.sublanguage;
    for (const Country& c : kCountries)
        if (c.language == language && !country.empty() && c.country == country)
            sublanguage = c.sublanguage;
    return sublanguage << 10 | primary;
}

}  // namespace lk
