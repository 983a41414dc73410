#include "lang/window_texts.hpp"

namespace lk {

OriginalTextCache::Entry& OriginalTextCache::entry(const void* object, int property,
                                                   std::string_view current) {
    return texts_.try_emplace({object, property}, Entry{std::string(current), std::string(current)})
        .first->second;
}

const std::string& OriginalTextCache::original(const void* object, int property,
                                               std::string_view current) {
    return entry(object, property, current).original;
}

void OriginalTextCache::capture(const Language& language, const void* object, int property,
                                std::string_view current) {
    const auto [it, fresh] = texts_.try_emplace({object, property});
    Entry& e = it->second;
    if (!fresh && e.shown == current) return;  // still the translation's own text
    e.original = language.lookup_english(std::string(current).c_str());
    e.shown = current;
}

void OriginalTextCache::forget(const void* object) {
    texts_.erase(texts_.lower_bound({object, std::numeric_limits<int>::min()}),
                 texts_.upper_bound({object, std::numeric_limits<int>::max()}));
}

std::string translate_property(const Language& language, OriginalTextCache& cache,
                               const void* object, int property, std::string_view current) {
    OriginalTextCache::Entry& e = cache.entry(object, property, current);
    const std::string_view translated = language.lookup(e.original.c_str());
    // Placeholder translations ("...", "?", "") would blank a window's text.
    e.shown = translated.find_first_not_of(" \t.?") == std::string_view::npos
                  ? e.original
                  : std::string(translated);
    return e.shown;
}

}  // namespace lk
