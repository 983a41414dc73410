#include "lang/language.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "lang/format.hpp"

namespace lk {

namespace {

// The messages of another platform's build: never joined.
bool is_other_platform(std::int32_t number) {
    return number >= 200 && number <= 299;
}

const BuiltinLanguageFile* find_builtin(const LanguageSources& sources, LangId resource_id) {
    if (resource_id == 0) return nullptr;
    for (const BuiltinLanguageFile& file : sources.builtins)
        if (language_resource_id(file.code) == resource_id) return &file;
    return nullptr;
}

std::vector<std::uint8_t> read_small_file(const std::filesystem::path& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxLanguageFileSize) return {};
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string external_file_name(std::string_view code) {
    return format("lumenstr_%s.lng", code);
}

}  // namespace

LangId language_resource_id(std::string_view code) {
    if (code.size() == 2 && (code[0] | 0x20) == 'x' && (code[1] | 0x20) == 'x')
        return kLanguageResourceBase;
    const LanguageRow* row = find_language_row(code);
    return row ? kLanguageResourceBase + row->id : 0;
}

std::filesystem::path program_directory() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec || exe.empty() ? std::filesystem::path(".") : exe.parent_path();
}

LanguageLoad load_language_file(const LanguageSources& sources, std::string_view code,
                                MessageMap& map) {
    if (const BuiltinLanguageFile* file = find_builtin(sources, language_resource_id(code))) {
        if (file->data.size() < 2) return {};
        return {true, parse_language_file(file->data, file->file_name, map)};
    }
    const std::filesystem::path path = sources.program_dir / external_file_name(code);
    const std::vector<std::uint8_t> data = read_small_file(path);
    if (data.size() < 2) return {};
    return {true, parse_language_file(data, path.string(), map)};
}

std::filesystem::path help_file(const std::filesystem::path& program_dir, std::string_view code) {
    std::error_code ec;
    const std::filesystem::path own = program_dir / format("lumenkeeper_%s.html", code);
    return std::filesystem::is_regular_file(own, ec) ? own : program_dir / "lumenkeeper_en.html";
}

std::vector<LanguageMenuItem> language_menu_items(const LanguageSources& sources, LangId checked) {
    std::vector<std::pair<LangId, const LanguageRow*>> builtin;
    for (const BuiltinLanguageFile& file : sources.builtins) {
        const LangId resource = language_resource_id(file.code);
        if (resource <= kLanguageResourceBase || resource > 0x2FFF)
            continue;  // the master, or no row
        if (const LanguageRow* row = find_language_row(resource - kLanguageResourceBase))
            builtin.emplace_back(resource, row);
    }
    std::sort(builtin.begin(), builtin.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    std::vector<LanguageMenuItem> items;
    auto listed = [&](const LanguageRow* row) {
        return std::any_of(items.begin(), items.end(),
                           [&](const auto& i) { return i.id == row->id; });
    };
    for (const auto& [resource, row] : builtin)
        if (!listed(row)) items.push_back({row->id, row->name, false, row->id == checked});

    // External files, by name. Only the name that loading opens counts, so a
    // listed language can always be selected; a language that has a built-in
    // file loads that one and is not listed twice.
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(sources.program_dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 13 && name.starts_with("lumenstr_") && name.ends_with(".lng") &&
            entry.is_regular_file(ec))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    bool separated = false;
    for (const std::string& name : names) {
        const LanguageRow* row =
            find_language_row(std::string_view(name).substr(9, name.size() - 13));
        if (!row || name != external_file_name(row->code) || listed(row)) continue;
        if (!separated) items.push_back({0, {}, true, false});
        separated = true;
        items.push_back({row->id, row->name, false, row->id == checked});
    }
    return items;
}

Language::Language(LanguageSources sources, LangId user_default)
    : sources_(std::move(sources)), user_default_(user_default) {}

Language::~Language() {
    if (table_ && published_translation_table() == table_) publish_translation_table(nullptr);
}

const char* Language::lookup(const char* text) const {
    if (!text) return "";
    if (!applied_ || !table_ || !*text) return text;
    if (reverse_) return lookup_english(text);
    const auto hit = table_->texts.find(std::string_view(text));
    return hit != table_->texts.end() ? hit->second.text.c_str() : text;
}

const char* Language::lookup_english(const char* translated) const {
    if (!translated) return "";
    if (!applied_ || !table_ || !*translated) return translated;
    // Mnemonic marks may differ between a text as shown and its translation.
    std::string plain(translated);
    std::erase(plain, '&');
    for (const auto& [english, info] : table_->texts) {
        std::string text = info.text;
        std::erase(text, '&');
        if (text == plain) return english.c_str();
    }
    return translated;
}

void Language::run_translate_all(LanguageView* view) {
    // Once the windows have been translated, the revert pass (locale 0) has
    // nothing to do: every later pass starts from the cached English texts.
    if (translated_before_ && locale_id_ == 0) return;
    translated_before_ = true;
    if (view) view->translate_all(*this);
}

void Language::build_language_menu(const LanguageRow& row, LanguageView* view) {
    const bool has_item =
        std::any_of(menu_.items.begin(), menu_.items.end(),
                    [&](const auto& item) { return !item.separator && item.id == row.id; });
    if (has_item) {
        for (LanguageMenuItem& item : menu_.items)
            item.checked = !item.separator && item.id == row.id;
    } else {
        menu_.items = language_menu_items(sources_, row.id);
    }
    menu_.visible = std::count_if(menu_.items.begin(), menu_.items.end(),
                                  [](const auto& item) { return !item.separator; }) > 1;
    // The help file follows every switch, also when the menu stays as it is.
    menu_.help_file = help_file(sources_.program_dir, row.code);
    if (view) view->language_menu_changed(menu_);
}

std::optional<LanguageFileError> Language::select_language(LangId id, LanguageView* view) {
    if (applied_) {
        reverse_ = true;
        locale_id_ = 0;
        run_translate_all(view);
        reverse_ = false;
        applied_ = false;
        table_ = nullptr;
        publish_translation_table(nullptr);
    }

    MessageMap master;
    const LanguageLoad master_load = load_language_file(sources_, kMasterCode, master);
    if (master_load.error) return master_load.error;
    if (!master_load.loaded) return std::nullopt;

    const LanguageRow* row = find_language_row(id);
    if (!row) row = &language_rows()[0];
    // Each round either applies a language or moves to the primary one, so
    // there are at most two.
    for (;;) {
        locale_id_ =
            primary_language(user_default_) == primary_language(row->id) ? user_default_ : row->id;
        build_language_menu(*row, view);

        MessageMap messages;
        const LanguageLoad load = load_language_file(sources_, row->code, messages);
        if (load.error) return load.error;
        if (load.loaded) {
            auto table = std::make_unique<TranslationTable>();
            for (const auto& [number, english] : master) {
                if (is_other_platform(number)) continue;
                if (const auto it = messages.find(number); it != messages.end())
                    table->texts.emplace(english.text, it->second);
            }
            table->numbers = number_marks_of(row->code);
            current_ = row;
            table_ = table.get();
            tables_.push_back(std::move(table));
            applied_ = true;
            publish_translation_table(table_);
            run_translate_all(view);
            return std::nullopt;
        }
        if (row->id == primary_language(row->id)) return std::nullopt;
        row = find_language_row(primary_language(row->id));
        if (!row) row = &language_rows()[0];
    }
}

}  // namespace lk
