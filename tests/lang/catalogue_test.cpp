// The built-in language files against the master file, and the master file
// against the texts the sources show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <set>

#include "lang/language.hpp"
#include "lang/translate.hpp"
#include "source_texts.hpp"

namespace lk {
namespace {

const BuiltinLanguageFile& builtin(std::string_view code) {
    for (const BuiltinLanguageFile& file : builtin_language_files())
        if (file.code == code) return file;
    throw std::runtime_error("no built-in file " + std::string(code));
}

// Parsed with "&" kept, so that the marks can be compared too.
MessageMap parse_keeping_marks(const BuiltinLanguageFile& file) {
    MessageMap map;
    const auto error = parse_language_file(file.data, file.file_name, map);
    if (error) ADD_FAILURE() << error->text;
    return map;
}

const std::regex kConversion(R"(%(%|[-+ 0#]*[0-9]*(\.[0-9]*)?(hh|h|ll|l|L|q|j|z|t|I64)?[a-zA-Z]))");

// The "%" conversions of a text, in order ("%%" is none).
std::vector<std::string> conversions(const std::string& text) {
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kConversion);
         it != std::sregex_iterator(); ++it)
        if (it->str() != "%%") out.push_back(it->str());
    return out;
}

// Diagnostic messages go only to the trace: a translation may leave them empty.
bool may_be_empty(std::int32_t number) {
    return number >= 1000 && number <= 1009;
}

TEST(BuiltinFiles, TheProgramCarriesTheMasterAndNineteenLanguagesInTheirEncodings) {
    std::set<std::string_view> codes;
    for (const BuiltinLanguageFile& file : builtin_language_files()) {
        codes.insert(file.code);
        ASSERT_GE(file.data.size(), 2u) << file.file_name;
        const std::uint16_t marker = std::uint16_t(file.data[0] << 8 | file.data[1]);
        if (file.code == "xx" || file.code == "en")
            EXPECT_TRUE(marker != 0xFFFE && marker != 0xFEFF) << file.file_name << " is 8-bit";
        else if (file.code == "zh")
            EXPECT_EQ(marker, 0xFEFF) << file.file_name << " is UTF-16 big-endian";
        else
            EXPECT_EQ(marker, 0xFFFE) << file.file_name << " is UTF-16 little-endian";
    }
    EXPECT_EQ(codes, (std::set<std::string_view>{"xx", "en", "zh", "cs", "da", "de", "es",
                                                 "fi", "fr", "hu", "it", "ja", "ko", "nl",
                                                 "pl", "pt", "ru", "sk", "sv", "tw"}));
}

TEST(BuiltinFiles, EveryTranslationHasEveryMessageWithItsConversionsBreaksAndMarks) {
    const MessageMap master = parse_keeping_marks(builtin("xx"));
    ASSERT_FALSE(master.empty());
    // Commented out in the master: no messages.
    EXPECT_FALSE(master.count(110));
    EXPECT_FALSE(master.count(130));
    for (const BuiltinLanguageFile& file : builtin_language_files()) {
        if (file.code == "xx") continue;
        const MessageMap messages = parse_keeping_marks(file);
        for (const auto& [number, english] : master) {
            const auto it = messages.find(number);
            if (it == messages.end()) {
                ADD_FAILURE() << file.file_name << " lacks message " << number;
                continue;
            }
            const std::string& text = it->second.text;
            const std::string where =
                std::string(file.file_name) + ":" + std::to_string(it->second.line);
            if (text.empty()) {
                EXPECT_TRUE(may_be_empty(number)) << where << ": message " << number << " is empty";
                continue;
            }
            if (file.code == "en") {
                EXPECT_EQ(text, english.text) << where;
            }
            EXPECT_EQ(conversions(text), conversions(english.text)) << where << ": " << text;
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
                      std::count(english.text.begin(), english.text.end(), '\n'))
                << where << ": line breaks of " << number;
            EXPECT_EQ(std::count(text.begin(), text.end(), '&'),
                      std::count(english.text.begin(), english.text.end(), '&'))
                << where << ": \"&\" marks of " << number;
        }
        for (const auto& [number, info] : messages)
            EXPECT_TRUE(master.count(number))
                << file.file_name << ":" << info.line << ": " << number << " is not in the master";
    }
}

TEST(BuiltinFiles, EveryBuiltInLanguageIsSelectedByItsOwnIdentifier) {
    const MessageMap master = parse_keeping_marks(builtin("xx"));
    const std::string about = master.at(8).text;  // "About Lumenkeeper"
    for (const BuiltinLanguageFile& file : builtin_language_files()) {
        if (file.code == "xx") continue;
        const LanguageRow* row = find_language_row(file.code);
        ASSERT_TRUE(row) << file.code;
        Language language(LanguageSources{std::filesystem::temp_directory_path()}, row->id);
        ASSERT_FALSE(language.select_language(row->id));
        ASSERT_TRUE(language.current());
        EXPECT_EQ(language.current()->code, file.code);
        MessageMap own;
        ASSERT_FALSE(parse_language_file(file.data, file.file_name, own));
        EXPECT_EQ(translate(about.c_str()), own.at(8).text) << file.code;
        // Other-platform texts never change with the language.
        EXPECT_STREQ(translate(master.at(201).text.c_str()), master.at(201).text.c_str());
    }
}

// The calls that hand a text to the lookup, and which argument is the text.
const std::vector<test::LookupCall> kLookupCalls = {
    {"translate", 0}, {"StatusText", 0}, {"StatusStep", 1}, {"Warning", 0}, {"Error", 0},
    {"Fatal", 0},     {"TraceHook", 0},  {"field", 0},  // cli/cmd_info.cpp's labels
};

// Texts the master leaves out on purpose: internal errors, shown as written
// so that a report reaches the developer, and the fifth step, whose number
// the master keeps commented out so that it always reads in English.
const std::set<std::string> kNotInMaster = {
    "st_number",
    "fix_fat_entry",
    "internal error in fat_next",
    "internal error in _wio_read",
    "internal error: cluster size is still 0",
    "5. Recovering contiguous files...",
};

std::set<std::int32_t> numbers(
    std::initializer_list<std::pair<std::int32_t, std::int32_t>> ranges) {
    std::set<std::int32_t> out;
    for (const auto& [first, last] : ranges)
        for (std::int32_t n = first; n <= last; ++n) out.insert(n);
    return out;
}

// The messages of the desktop application's windows and of its own
// commands; they are checked once ui/ exists.
const std::set<std::int32_t> kWindowMessages = numbers({{1, 13},
                                                        {15, 35},
                                                        {37, 37},
                                                        {50, 59},
                                                        {61, 73},
                                                        {75, 75},
                                                        {80, 82},
                                                        {84, 87},
                                                        {89, 89},
                                                        {95, 95},
                                                        {104, 107},
                                                        {116, 117},
                                                        {119, 122},
                                                        {131, 132},
                                                        {300, 309},
                                                        {402, 402},
                                                        {700, 730},
                                                        {970, 999}});

// Messages that no part of the program shows. The master keeps them, as
// every translation carries them.
const std::set<std::int32_t> kShownByNothing = {
    100,   // "The initial cluster size %d was too small, switched to %d..."
    118,   // "Analyzing %hs...": the analysis says "Analyzing %s ..."
    1007,  // "Can not create cache file %hs": a cache that cannot be made is not reported
    1008,  // "Can not allocate cache size %Lu, error %d"
    // The wait box's texts as designed: it shows the caption "Please wait..."
    // and the text it is given ("Determining the drive size.\nThis
    // operation...").
    58,  // "Please wait"
    59,  // "Determining the drive size."
    75,  // advice for the systems of another platform; 505 is this one's
    87,  // "There were %d read errors": saving lists its failures, and the
         // progress dialog counts read errors as "Read errors: "
    85,   // "%lu bytes": the windows give sizes with their unit, as the language writes them
    517,  // "the card's data could not be read": a file is read along its runs,
          // and unreadable sectors come back as fill bytes; no file fails so
    // The hand-made folder chooser's texts: the desktop's folder dialog
    // makes folders itself, and the save dialog says why a folder cannot be
    // used (output/destination.hpp).
    80,   // "Please enter a new directory name\nIt will be created in %s"
    81,   // "Can not create directory %s"
    82,   // "New directory"
    721,  // "The directory %s does not exist"
    712,  // "Please answer...": the title of the new folder's name question
    663,  // "Items written:": the summary of a save counts the files saved and
          // those already there instead (output/save_summary.hpp)
};

std::set<std::string> master_texts() {
    std::set<std::string> out;
    for (const auto& [number, info] : parse_keeping_marks(builtin("xx"))) out.insert(info.text);
    return out;
}

TEST(Catalogue, EveryTextTheCommandLineShowsIsInTheMaster) {
    // The command line shows its own texts and those of every layer beneath it.
    const test::SourceTree tree(LK_SOURCE_DIR,
                                {"lang", "base", "input", "formats", "engine", "output", "preview", "cli"});
    ASSERT_FALSE(tree.empty());
    std::vector<std::string> unfollowed;
    const auto found = tree.looked_up_texts(kLookupCalls, unfollowed);
    EXPECT_GT(found.size(), 100u);
    const std::set<std::string> master = master_texts();
    for (const test::FoundText& t : found)
        EXPECT_TRUE(master.count(t.text) || kNotInMaster.count(t.text))
            << t.where << ": \"" << t.text << "\" is not in lang/files/lumenstr_xx.lng";
    // Parameters that forward a text from calls listed above.
    std::sort(unfollowed.begin(), unfollowed.end());
    unfollowed.erase(std::unique(unfollowed.begin(), unfollowed.end()), unfollowed.end());
    EXPECT_EQ(unfollowed,
              (std::vector<std::string>{"base/status.hpp: fmt", "cli/cmd_info.cpp: label"}));
}

TEST(Catalogue, EveryTextTheWindowsLookUpIsInTheMaster) {
    // The windows' messages, and the captions and hints they are built with
    // (tests/ui walks the windows themselves for the rest).
    const test::SourceTree tree(
        LK_SOURCE_DIR, {"lang", "base", "input", "formats", "engine", "output", "cli", "ui"});
    if (!std::filesystem::is_directory(std::filesystem::path(LK_SOURCE_DIR) / "ui"))
        GTEST_SKIP() << "no ui/";
    std::vector<test::LookupCall> calls = kLookupCalls;
    calls.push_back({"T", 0});   // ui/qt_text.hpp: the looked-up text
    calls.push_back({"TF", 0});  // and the looked-up format
    std::vector<std::string> unfollowed;
    const auto found = tree.looked_up_texts(calls, unfollowed);
    const std::set<std::string> master = master_texts();
    int checked = 0;
    for (const test::FoundText& t : found) {
        if (!t.where.starts_with("ui/")) continue;
        // Pure formats ("%s: %s") join texts that are looked up themselves.
        const std::string words = std::regex_replace(t.text, kConversion, "");
        if (std::none_of(words.begin(), words.end(), [](char c) { return std::isalpha(c); }))
            continue;
        ++checked;
        EXPECT_TRUE(master.count(t.text) || kNotInMaster.count(t.text))
            << t.where << ": \"" << t.text << "\" is not in lang/files/lumenstr_xx.lng";
    }
    EXPECT_GT(checked, 100);
    // Parameters that forward a text: the windows' walk checks what they show.
    std::vector<std::string> forwarded;
    for (const std::string& u : unfollowed)
        if (u.starts_with("ui/")) forwarded.push_back(u);
    std::sort(forwarded.begin(), forwarded.end());
    forwarded.erase(std::unique(forwarded.begin(), forwarded.end()), forwarded.end());
    EXPECT_EQ(forwarded, (std::vector<std::string>{
                             "ui/graph_box.cpp: caption",
                             "ui/main_form.cpp: caption",
                             "ui/main_form.cpp: code",  // the status window's StatusText
                             "ui/main_form.cpp: hint",
                             "ui/qt_text.hpp: english",
                             "ui/size_form.cpp: item.unit",
                         }));
}

// Whether the sources use a message: its text stands as a literal in them.
void expect_used(bool window_messages) {
    const test::SourceTree tree(
        LK_SOURCE_DIR, {"lang", "base", "input", "formats", "engine", "output", "preview", "cli", "ui"});
    const std::set<std::string> literals = tree.literals();
    for (const auto& [number, info] : parse_keeping_marks(builtin("xx"))) {
        if (number >= 200 && number <= 299) continue;  // another platform's build
        if (kShownByNothing.count(number)) continue;
        if (kWindowMessages.count(number) != window_messages) continue;
        EXPECT_TRUE(literals.count(info.text))
            << "message " << number << " \"" << info.text << "\" is used nowhere";
    }
}

TEST(Catalogue, EveryMessageOfTheEngineAndTheCommandLineIsUsed) {
    expect_used(false);
}

TEST(Catalogue, EveryMessageOfTheWindowsIsUsed) {
    if (!std::filesystem::is_directory(std::filesystem::path(LK_SOURCE_DIR) / "ui"))
        GTEST_SKIP() << "no ui/ yet: the messages of the windows are checked once it exists";
    expect_used(true);
}

}  // namespace
}  // namespace lk
