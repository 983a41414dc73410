#include "lang/language.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "lang/translate.hpp"
#include "lang/window_texts.hpp"
#include "lang_test_support.hpp"
#include "tests/support/process.hpp"

namespace lk {
namespace {

using test::latin1;
using test::utf16be;
using test::utf16le;

constexpr const char* kMaster =
    "; master\n"
    "INTS(1, \"&File\")\n"
    "INTS(2, \"Cancel\")\n"
    "INTS(3, \"Wait...\")\n"
    "INTS(70, \"The analysis is finished.\\n\"\n"
    "         \"Run it again?\")\n"
    "; INTS(130, \"5. Recovering contiguous files...\")\n"
    "INTS(201, \"Rendering...\")\n"
    "INTS(402, \"Recovery method %d\")\n";

void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Records what a front end is asked to do.
class RecordingView : public LanguageView {
  public:
    void translate_all(const Language& language) override {
        ++passes;
        reverse_passes += language.reverse_mode();
        captions.push_back(language.lookup("&File"));
    }
    void language_menu_changed(const LanguageMenu& menu) override { last_menu = menu; }

    int passes = 0, reverse_passes = 0;
    std::vector<std::string> captions;
    LanguageMenu last_menu;
};

class LanguageTest : public ::testing::Test {
  protected:
    LanguageTest() {
        builtins.add("xx", latin1(kMaster));
        builtins.add("en", latin1("INTS(1, \"&File\")\nINTS(2, \"Cancel\")\n"));
        builtins.add("de", utf16le(u"INTS(1, \"&Datei\")\nINTS(2, \"Abbrechen\")\nINTS(3, \"\")\n"
                                   u"INTS(70, \"Die Analyse ist beendet.\\n\"\n\"Noch einmal?\")\n"
                                   u"INTS(201, \"Darstellen...\")\nINTS(402, \"Methode %d\")\n"));
        builtins.add("fr", utf16le(u"INTS(1, \"&Fichier\")\nINTS(2, \"...\")\n"));
        builtins.add("zh", utf16be(u"INTS(1, \"\u6587\u4ef6\")\n"));
        builtins.add("tw", utf16le(u"INTS(1, \"\u6a94\u6848\")\n"));
    }

    Language make(LangId user_default = 0x409) {
        return Language(LanguageSources{dir.path(), builtins.files()}, user_default);
    }

    test::TempDir dir{"lk-lang"};
    test::BuiltinSet builtins;
};

TEST_F(LanguageTest, SelectsByIdentifierThenByPrimaryLanguage) {
    struct Case {
        LangId user_default, selected;
        const char* row;  // code of the applied row, "" for none
        LangId locale;
        const char* file;  // translate("&File")
    };
    const Case cases[] = {
        {0x0407, 0x0407, "de", 0x0407, "&Datei"},
        // French (Canada) selects "fr" by its primary language and keeps its locale.
        {0x0C0C, 0x0C0C, "fr", 0x0C0C, "&Fichier"},
        // Another user's language: the locale is the row's own identifier.
        {0x0409, 0x0C0C, "fr", 0x000C, "&Fichier"},
        // Taiwanese has its own row and file; Chinese (Singapore) takes "zh".
        {0x0404, 0x0404, "tw", 0x0404, "\u6a94\u6848"},
        {0x1004, 0x1004, "zh", 0x1004, "\u6587\u4ef6"},
        // No row: English.
        {0x0409, 0x007F, "en", 0x0409, "&File"},
        // A row without a file, primary already: nothing applied, English texts.
        {0x0416, 0x0416, "", 0x0416, "&File"},
    };
    for (const Case& c : cases) {
        Language language = make(c.user_default);
        EXPECT_FALSE(language.select_language(c.selected));
        EXPECT_EQ(language.current() ? language.current()->code : "", std::string_view(c.row))
            << std::hex << c.selected;
        EXPECT_EQ(language.applied(), *c.row != 0);
        EXPECT_EQ(language.locale_id(), c.locale) << std::hex << c.selected;
        EXPECT_STREQ(translate("&File"), c.file) << std::hex << c.selected;
    }
}

TEST_F(LanguageTest, ALanguageRowWithoutAFileFallsBackToItsPrimaryLanguage) {
    test::BuiltinSet without_taiwanese;
    without_taiwanese.add("xx", latin1(kMaster));
    without_taiwanese.add("zh", utf16be(u"INTS(1, \"\u6587\u4ef6\")\n"));
    Language language(LanguageSources{dir.path(), without_taiwanese.files()}, 0x0404);
    EXPECT_FALSE(language.select_language(0x0404));
    ASSERT_TRUE(language.current());
    EXPECT_EQ(language.current()->code, "zh");
    EXPECT_EQ(language.locale_id(), 0x0404u);
}

TEST_F(LanguageTest, TheJoinFollowsNumbersAndSkipsTheOtherPlatformsRange) {
    Language language = make();
    ASSERT_FALSE(language.select_language(0x0407));
    EXPECT_STREQ(translate("Cancel"), "Abbrechen");
    // Pieces are joined before the lookup, line break included.
    EXPECT_STREQ(translate("The analysis is finished.\nRun it again?"),
                 "Die Analyse ist beendet.\nNoch einmal?");
    EXPECT_STREQ(translate("Recovery method %d"), "Methode %d");
    // 200-299 are never joined; a commented-out number is no message.
    EXPECT_STREQ(translate("Rendering..."), "Rendering...");
    EXPECT_STREQ(translate("5. Recovering contiguous files..."),
                 "5. Recovering contiguous files...");
    // An empty translation is a translation; a miss is the text itself.
    EXPECT_STREQ(translate("Wait..."), "");
    const char* unknown = "No such message";
    EXPECT_EQ(translate(unknown), unknown);
    EXPECT_STREQ(translate(nullptr), "");
    EXPECT_STREQ(translate(""), "");
}

TEST_F(LanguageTest, TranslateGoesBackToEnglishWhenTheLanguageEnds) {
    {
        Language language = make();
        ASSERT_FALSE(language.select_language(0x0407));
        EXPECT_STREQ(translate("&File"), "&Datei");
    }
    EXPECT_STREQ(translate("&File"), "&File");
}

TEST_F(LanguageTest, WorkersKeepTranslatingWhileTheLanguageChanges) {
    // Texts handed out stay readable after a switch: a worker that still
    // holds one must not read freed memory (the sanitizer build checks).
    Language language = make();
    ASSERT_FALSE(language.select_language(0x07));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::size_t seen = 0;
    std::thread worker([&] {
        while (!done.load()) {
            const char* held = translate("&File");
            std::this_thread::sleep_for(
                std::chrono::microseconds(200));  // a switch happens meanwhile
            seen += std::strlen(held);
            ++reads;
        }
    });
    for (int i = 0; reads.load() < 50; ++i)
        ASSERT_FALSE(language.select_language(i % 2 ? 0x07 : 0x0C));
    done.store(true);
    worker.join();
    EXPECT_GT(seen, 0u);
}

TEST_F(LanguageTest, WithoutTheMasterNothingIsApplied) {
    test::BuiltinSet no_master;
    no_master.add("de", utf16le(u"INTS(1, \"&Datei\")\n"));
    Language language(LanguageSources{dir.path(), no_master.files()}, 0x0407);
    EXPECT_FALSE(language.select_language(0x0407));
    EXPECT_FALSE(language.applied());
    EXPECT_STREQ(translate("&File"), "&File");
}

TEST_F(LanguageTest, ReverseLookupFindsTheEnglishKey) {
    Language language = make();
    ASSERT_FALSE(language.select_language(0x0407));
    EXPECT_STREQ(language.lookup_english("&Datei"), "&File");
    EXPECT_STREQ(language.lookup_english("Datei"), "&File");    // marks do not count
    EXPECT_STREQ(language.lookup_english("D&atei"), "&File");
    EXPECT_STREQ(language.lookup_english("Abbrechen"), "Cancel");
    EXPECT_STREQ(language.lookup_english("Cancel"), "Cancel");  // a miss is the text itself
}

TEST_F(LanguageTest, ExternalFilesAreListedAfterTheSeparatorAndLoaded) {
    write_file(dir / "lumenstr_af.lng", utf16le(u"INTS(1, \"&L\u00eaer\")\n"));
    write_file(dir / "lumenstr_de.lng",
               latin1("INTS(1, \"Nicht benutzt\")\n"));               // built in already
    write_file(dir / "lumenstr_qq.lng", latin1("INTS(1, \"x\")\n"));  // no such language
    write_file(dir / "lumenstr_SQ.lng", latin1("INTS(1, \"x\")\n"));  // not the name loaded
    write_file(dir / "lumenstr_ca.lng", latin1(""));                  // empty: no language
    RecordingView view;
    Language language = make();
    ASSERT_FALSE(language.select_language(0x36, &view));
    EXPECT_STREQ(translate("&File"), "&L\u00eaer");

    std::vector<std::string> captions;
    for (const LanguageMenuItem& item : view.last_menu.items) {
        captions.push_back(item.separator ? "-" : std::string(item.caption));
        EXPECT_EQ(item.checked, item.id == 0x36) << item.caption;
    }
    // Built-in files in the order of their resource identifiers; then the
    // external ones, the empty file included, as the menu does not read them.
    EXPECT_EQ(captions, (std::vector<std::string>{"Chinese", "German", "English", "French",
                                                  "Taiwanese", "-", "Afrikaans", "Catalan"}));
    EXPECT_TRUE(view.last_menu.visible);

    // A built-in language is loaded from its own data, not from the file.
    ASSERT_FALSE(language.select_language(0x07, &view));
    EXPECT_STREQ(translate("&File"), "&Datei");
}

TEST_F(LanguageTest, TheMenuIsShownOnlyWithAChoice) {
    test::BuiltinSet english_only;
    english_only.add("xx", latin1(kMaster));
    english_only.add("en", latin1("INTS(1, \"&File\")\n"));
    RecordingView view;
    Language language(LanguageSources{dir.path(), english_only.files()}, 0x409);
    ASSERT_FALSE(language.select_language(0x409, &view));
    ASSERT_EQ(view.last_menu.items.size(), 1u);
    EXPECT_FALSE(view.last_menu.visible);

    write_file(dir / "lumenstr_af.lng", latin1("INTS(1, \"&Leer\")\n"));
    EXPECT_EQ(language_menu_items(LanguageSources{dir.path(), english_only.files()}, 0x409).size(),
              3u);
}

TEST_F(LanguageTest, EverySwitchTranslatesTheWindowsOnceFromEnglish) {
    RecordingView view;
    Language language = make(0x0407);
    ASSERT_FALSE(language.select_language(0x0407, &view));
    ASSERT_FALSE(language.select_language(0x000C, &view));
    ASSERT_FALSE(language.select_language(0x0407, &view));
    // The revert pass before each switch finds the windows translated before
    // and does nothing; each switch translates them once.
    EXPECT_EQ(view.passes, 3);
    EXPECT_EQ(view.reverse_passes, 0);
    EXPECT_EQ(view.captions, (std::vector<std::string>{"&Datei", "&Fichier", "&Datei"}));
    // The menu stays as built; only the check mark moves.
    int checked = 0;
    for (const auto& item : view.last_menu.items) checked += item.checked;
    EXPECT_EQ(checked, 1);
}

TEST_F(LanguageTest, TheHelpFileFallsBackToEnglish) {
    write_file(dir / "lumenkeeper_de.html", latin1("<html></html>"));
    RecordingView view;
    Language language = make();
    ASSERT_FALSE(language.select_language(0x07, &view));
    EXPECT_EQ(view.last_menu.help_file, dir / "lumenkeeper_de.html");
    ASSERT_FALSE(language.select_language(0x0C, &view));
    EXPECT_EQ(view.last_menu.help_file, dir / "lumenkeeper_en.html");
}

TEST_F(LanguageTest, ABrokenFileIsAnErrorNamingItsPathAndLine) {
    write_file(dir / "lumenstr_af.lng", latin1("INTS(1, \"a\")\nINTS(2, \"b)\n"));
    Language language = make();
    const auto error = language.select_language(0x36);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text, (dir / "lumenstr_af.lng").string() + ", 2, (lastnum 2): syntax error");
    EXPECT_EQ(error->line, 2);
    EXPECT_FALSE(language.applied());
}

TEST_F(LanguageTest, WindowTextsStartFromTheirEnglishOriginal) {
    Language language = make();
    OriginalTextCache cache;
    int caption = 0, button = 0, hint = 0;
    ASSERT_FALSE(language.select_language(0x07));
    std::string shown = translate_property(language, cache, &caption, 0, "&File");
    EXPECT_EQ(shown, "&Datei");
    // The window now shows the German text; the next language starts from English.
    ASSERT_FALSE(language.select_language(0x0C));
    EXPECT_EQ(translate_property(language, cache, &caption, 0, shown), "&Fichier");
    // A translation of only dots, blanks or question marks, or an empty one,
    // keeps the English text.
    EXPECT_EQ(translate_property(language, cache, &button, 0, "Cancel"), "Cancel");  // "..."
    ASSERT_FALSE(language.select_language(0x07));
    EXPECT_EQ(translate_property(language, cache, &button, 0, "Abbrechen"), "Abbrechen");
    EXPECT_EQ(translate_property(language, cache, &hint, 1, "Wait..."), "Wait...");  // ""
    EXPECT_EQ(cache.size(), 3u);
    cache.forget(&button);
    EXPECT_EQ(cache.size(), 2u);
}

TEST_F(LanguageTest, TextsSetSinceTheLastTranslationAreCapturedBeforeASwitch) {
    Language language = make();
    OriginalTextCache cache;
    int button = 0, label = 0, later = 0, placeholder = 0;
    ASSERT_FALSE(language.select_language(0x07));
    const std::string cancel = translate_property(language, cache, &button, 0, "Cancel");
    const std::string file = translate_property(language, cache, &label, 0, "&File");
    const std::string wait = translate_property(language, cache, &placeholder, 0, "Wait...");
    ASSERT_EQ(cancel, "Abbrechen");
    // Meanwhile the program shows other texts of its own, in German.
    const std::string now = translate("&File");          // the button now reads "&Datei"
    const std::string made_later = translate("Cancel");  // a window made after the pass
    for (auto [object, current] : {std::pair<const void*, std::string>{&button, now},
                                   {&label, file},
                                   {&later, made_later},
                                   {&placeholder, wait}})
        cache.capture(language, object, 0, current);
    ASSERT_FALSE(language.select_language(0x0C));
    EXPECT_EQ(translate_property(language, cache, &button, 0, now), "&Fichier");
    EXPECT_EQ(translate_property(language, cache, &label, 0, file), "&Fichier");
    EXPECT_EQ(translate_property(language, cache, &later, 0, made_later), "Cancel");  // "..."
    // Unchanged since its translation, the original stays as it was: the
    // empty German text kept "Wait...", which is no translation to reverse.
    EXPECT_EQ(translate_property(language, cache, &placeholder, 0, wait), "Wait...");
    ASSERT_FALSE(language.select_language(0x07));
    EXPECT_EQ(translate_property(language, cache, &later, 0, "Cancel"), "Abbrechen");
}

TEST(WindowTexts, PlaceholderTranslationsKeepTheOriginal) {
    test::TempDir dir{"lk-lang"};
    struct Case {
        std::u16string translation;
        std::string shown;
    };
    const Case cases[] = {{u"", "Cancel"},    {u"...", "Cancel"}, {u" ? ", "Cancel"},
                          {u"\t.", "Cancel"}, {u"?!", "?!"},      {u"Abbrechen", "Abbrechen"}};
    for (const Case& c : cases) {
        test::BuiltinSet set;
        set.add("xx", latin1("INTS(2, \"Cancel\")\n"));
        set.add("de", utf16le(u"INTS(2, \"" + c.translation + u"\")\n"));
        Language language(LanguageSources{dir.path(), set.files()}, 0x407);
        ASSERT_FALSE(language.select_language(0x407));
        OriginalTextCache cache;
        int button = 0;
        EXPECT_EQ(translate_property(language, cache, &button, 0, "Cancel"), c.shown);
    }
}

TEST(Languages, RowsAndLookups) {
    ASSERT_EQ(language_rows().size(), 65u);
    EXPECT_EQ(language_rows()[0].code, "en");
    struct ById {
        LangId id;
        const char* code;
    };
    for (const ById& c : {ById{0x0404, "tw"}, ById{0x0804, "zh"}, ById{0x0C0C, "fr"},
                          ById{0x09, "en"}, ById{0x0814, "no"}, ById{0x3FF, ""}}) {
        const LanguageRow* row = find_language_row(c.id);
        EXPECT_EQ(row ? row->code : "", std::string_view(c.code)) << std::hex << c.id;
    }
    ASSERT_TRUE(find_language_row("DE"));
    EXPECT_EQ(find_language_row("DE")->name, "German");
    EXPECT_EQ(find_language_row("Tw")->id, 0x404u);
    EXPECT_FALSE(find_language_row("xx"));
    EXPECT_EQ(language_resource_id("XX"), 0x2000u);
    EXPECT_EQ(language_resource_id("tw"), 0x2404u);
    EXPECT_EQ(language_resource_id("qq"), 0u);
}

TEST(Languages, TheUsersLanguageComesFromTheLocale) {
    struct Case {
        const char* locale;
        LangId id;
    };
    const Case cases[] = {
        {"fr_CA.UTF-8", 0x0C0C}, {"fr_FR.UTF-8", 0x040C},  {"fr", 0x040C},
        {"zh_TW.UTF-8", 0x0404}, {"zh_CN.GB2312", 0x0804}, {"zh", 0x0804},
        {"de_AT@euro", 0x0C07},  {"de_DE", 0x0407},        {"pt_BR", 0x0416},
        {"pt_PT", 0x0816},       {"es_ES", 0x0C0A},        {"en_GB", 0x0809},
        {"ja_JP.eucJP", 0x0411}, {"nb_NO.UTF-8", 0x0414},  {"nn_NO", 0x0814},
        {"he_IL", 0x040D},       {"iw_IL", 0x040D},        {"C", 0x0409},
        {"C.UTF-8", 0x0409},     {"POSIX", 0x0409},        {"", 0x0409},
        {"tw_GH", 0x0409},       {"xx_YY", 0x0409},
    };
    for (const Case& c : cases) EXPECT_EQ(langid_from_locale(c.locale), c.id) << c.locale;

    auto env = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> const char* {
            const auto it = values.find(name);
            return it == values.end() ? nullptr : it->second.c_str();
        };
    };
    EXPECT_EQ(
        messages_locale(env({{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_FR"}, {"LC_ALL", "ja_JP"}})),
        "ja_JP");
    EXPECT_EQ(messages_locale(env({{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_FR"}, {"LC_ALL", ""}})),
              "fr_FR");
    EXPECT_EQ(messages_locale(env({{"LANG", "de_DE"}})), "de_DE");
    EXPECT_EQ(messages_locale(env({})), "");
}

}  // namespace
}  // namespace lk
