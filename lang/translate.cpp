#include "lang/translate.hpp"

#include <atomic>

#include "lang/translation_table.hpp"

namespace lk {

namespace {

std::atomic<const TranslationTable*> g_table{nullptr};

}  // namespace

void publish_translation_table(const TranslationTable* table) {
    g_table.store(table, std::memory_order_release);
}

const TranslationTable* published_translation_table() {
    return g_table.load(std::memory_order_acquire);
}

const char* translate(const char* english) {
    if (!english) return "";
    const TranslationTable* table = published_translation_table();
    if (!table || !*english) return english;
    const auto hit = table->texts.find(std::string_view(english));
    // A miss hands back the caller's own text rather than a copy in a shared
    // buffer, which another thread's miss could overwrite.
    return hit != table->texts.end() ? hit->second.text.c_str() : english;
}

}  // namespace lk
