#include "lang/window_texts.hpp"

namespace lk {

const std::string& OriginalTextCache::original(const void* object, int property,
                                               std::string_view current) {
    return texts_.try_emplace({object, property}, current).first->second;
}

void OriginalTextCache::forget(const void* object) {
    texts_.erase(texts_.lower_bound({object, std::numeric_limits<int>::min()}),
                 texts_.upper_bound({object, std::numeric_limits<int>::max()}));
}

std::string translate_property(const Language& language, OriginalTextCache& cache,
                               const void* object, int property, std::string_view current) {
    const std::string& english = cache.original(object, property, current);
    const std::string_view translated = language.lookup(english.c_str());
    // Placeholder translations ("...", "?", "") would blank a window's text.
    if (translated.find_first_not_of(" \t.?") == std::string_view::npos) return english;
    return std::string(translated);
}

}  // namespace lk
