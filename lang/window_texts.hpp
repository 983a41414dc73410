// Translating window texts. Each property of a component (caption, hint,
// title, column caption...) is translated from the English text it had
// before its first translation, so switching languages never translates a
// translation.
#pragma once

#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "lang/language.hpp"

namespace lk {

// The original (English) texts, keyed by the component's address and a
// property number that the front end gives each translated property.
class OriginalTextCache {
  public:
    // `current` the first time (object, property) is seen, the stored text
    // afterwards.
    const std::string& original(const void* object, int property, std::string_view current);
    // A component that is destroyed: its address may be reused.
    void forget(const void* object);
    std::size_t size() const { return texts_.size(); }

  private:
    std::map<std::pair<const void*, int>, std::string> texts_;
};

// The text for one property in the current language: the lookup of its
// original text, except that a translation that is empty or made only of
// blanks, "." and "?" leaves the original.
std::string translate_property(const Language& language, OriginalTextCache& cache,
                               const void* object, int property, std::string_view current);

}  // namespace lk
