// Loading, joining and applying a language; the Language menu and the help
// file that follow it.
//
// A language is applied by joining its file with the master file by message
// number: the master's text becomes the key, the language's text the value
// (numbers 200-299 belong to another platform's build and are never joined).
// translate() then answers from that table.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lang/builtin_files.hpp"
#include "lang/language_file.hpp"
#include "lang/languages.hpp"
#include "lang/translation_table.hpp"

namespace lk {

// Where language files come from: the built-in files first, then files
// "lumenstr_" + code + ".lng" in the program's directory.
struct LanguageSources {
    std::filesystem::path program_dir;
    std::span<const BuiltinLanguageFile> builtins = builtin_language_files();
};

// The directory of the running program, where the external language files
// and the help files are looked for; "." when it cannot be told.
std::filesystem::path program_directory();

// The largest external language file read; a larger one counts as absent.
inline constexpr std::uintmax_t kMaxLanguageFileSize = 16 * 1024 * 1024;

struct LanguageLoad {
    bool loaded = false;
    std::optional<LanguageFileError> error;  // the file exists but cannot be used
};

// Fills `map` from the built-in file of `code` or else from its external
// file. Not loaded when neither exists or the data has fewer than 2 bytes.
LanguageLoad load_language_file(const LanguageSources& sources, std::string_view code,
                                MessageMap& map);

// The help file of a language: "lumenkeeper_" + code + ".html" in the
// program's directory when it exists, else the English one.
std::filesystem::path help_file(const std::filesystem::path& program_dir, std::string_view code);

struct LanguageMenuItem {
    LangId id = 0;             // the language row's identifier; 0 for the separator
    std::string_view caption;  // the row's English name; empty for the separator
    bool separator = false;
    bool checked = false;
};

struct LanguageMenu {
    std::vector<LanguageMenuItem> items;
    bool visible = false;  // only when there is a choice: two languages or more
    std::filesystem::path help_file;
};

// The Language menu: one item per built-in language in the order of the
// resource identifiers, then a separator and one item per external file
// whose code names a language without a built-in file, by file name. The
// item of `checked` is checked.
std::vector<LanguageMenuItem> language_menu_items(const LanguageSources& sources, LangId checked);

class Language;

// What a front end does when the language changes.
class LanguageView {
  public:
    virtual ~LanguageView() = default;
    // Applies language.lookup() to every window (the walk over all windows).
    virtual void translate_all(const Language& language) = 0;
    // The Language menu or the help file changed.
    virtual void language_menu_changed(const LanguageMenu& menu) = 0;
};

// The language state of a front end: one per program, created on the GUI
// thread (or in main) and kept for the whole run.
class Language {
  public:
    // `user_default` is the user's language identifier, from the locale.
    Language(LanguageSources sources, LangId user_default);
    ~Language();  // translate() goes back to English
    Language(const Language&) = delete;
    Language& operator=(const Language&) = delete;

    // Loads, joins and applies the language of `id`, falling back to its
    // primary language and else to none (English texts). Returns the error
    // of a language file that cannot be used: the front end shows it as a
    // fatal error.
    std::optional<LanguageFileError> select_language(LangId id, LanguageView* view = nullptr);

    // translate() with this language's modes: in reverse mode a translated
    // text gives back its English key (lookup_english).
    const char* lookup(const char* text) const;
    // The English key of the first translation, in key order, that equals
    // `translated` without its "&" marks; the text itself when there is none.
    const char* lookup_english(const char* translated) const;

    bool applied() const { return applied_; }
    bool reverse_mode() const { return reverse_; }
    const LanguageRow* current() const { return current_; }  // null until a language is applied
    // The user's identifier when its primary language is the row's (French
    // (Canada) keeps 0x0C0C), else the row's; 0 while reverting.
    LangId locale_id() const { return locale_id_; }
    const LanguageMenu& menu() const { return menu_; }

  private:
    void build_language_menu(const LanguageRow& row, LanguageView* view);
    void run_translate_all(LanguageView* view);

    LanguageSources sources_;
    LangId user_default_;
    bool applied_ = false;
    bool reverse_ = false;
    bool translated_before_ = false;
    const LanguageRow* current_ = nullptr;
    LangId locale_id_ = 0;
    LanguageMenu menu_;
    const TranslationTable* table_ = nullptr;
    // Every table ever applied: texts that translate() handed out stay valid.
    std::vector<std::unique_ptr<TranslationTable>> tables_;
};

}  // namespace lk
