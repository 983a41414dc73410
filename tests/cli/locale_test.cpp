// lumenkeeper-cli in the user's language: the locale picks the language,
// external language files next to the program are used, and a broken one
// is a fatal error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/process.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

TEST(CliLanguage, TheLocaleChoosesTheLanguage) {
    struct Case {
        Environment env;
        const char* want;  // in the error for an input that does not exist
    };
    // run_process sets LC_ALL=C.UTF-8; an empty value hands over to the next.
    const Case cases[] = {
        {{}, "Error: Can't open the input drive: "},
        {{{"LC_ALL", "de_DE.UTF-8"}}, "Fehler: Das Eingabelaufwerk kann nicht geöffnet werden: "},
        {{{"LC_ALL", ""}, {"LANG", "fr_CA.UTF-8"}},
         "Erreur: Impossible d'ouvrir le lecteur d'entrée : "},
        {{{"LC_ALL", ""}, {"LC_MESSAGES", "ja_JP.UTF-8"}, {"LANG", "de_DE.UTF-8"}},
         "エラー: 入力ドライブを開けません: "},
        {{{"LC_ALL", "zh_TW.UTF-8"}}, "錯誤: 無法開啟輸入磁碟機: "},
        {{{"LC_ALL", "af_ZA.UTF-8"}}, "Error: Can't open the input drive: "},  // no Afrikaans file
    };
    for (const Case& c : cases) {
        const ProcessResult r = run_process({LK_CLI_PATH, "info", "/nonexistent/card.img"}, c.env);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(r.err.find(c.want), 0u) << r.err;
    }
}

TEST(CliLanguage, TheHelpIsTranslatedToo) {
    const ProcessResult r =
        run_process({LK_CLI_PATH, "recover", "--help"}, {{"LC_ALL", "ru_RU.UTF-8"}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const char* text : {"Использование: lumenkeeper-cli recover [ПАРАМЕТРЫ] INPUT",
                             "Аргументы:", "Показать эту справку и выйти",
                             "Сохранить всё найденное в эту папку", "Коды выхода: 0 готово"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

// The program and a language file of its own in a scratch directory, as the
// program reads external files from its own directory.
class ExternalLanguage : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::copy_file(LK_CLI_PATH, program());
        fs::permissions(program(), fs::perms::owner_all);
    }
    fs::path program() const { return dir_ / "lumenkeeper-cli"; }
    void write_language(const std::string& text) {
        std::ofstream(dir_ / "lumenstr_af.lng", std::ios::binary) << text;
    }
    ProcessResult run() const {
        return run_process({program().string(), "info", "/nonexistent/card.img"},
                           {{"LC_ALL", "af_ZA.UTF-8"}});
    }
    TempDir dir_;
};

TEST_F(ExternalLanguage, AFileNextToTheProgramIsUsed) {
    write_language(
        "; Afrikaans\nINTS(79, \"Kan nie die toevoer oopmaak nie: %hs\")\nINTS(102, \"Fout\")\n");
    const ProcessResult r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.find("Fout: Kan nie die toevoer oopmaak nie: "), 0u) << r.err;
}

TEST_F(ExternalLanguage, ABrokenFileEndsTheProgramWithItsLine) {
    write_language("INTS(79, \"Kan nie\")\nINTS(102, \"Fout)\n");
    const ProcessResult r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: " + (dir_ / "lumenstr_af.lng").string() +
                         ", 2, (lastnum 102): syntax error\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace lk
