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
// property number that the front end gives each translated property, with
// the text that the last translation showed.
class OriginalTextCache {
  public:
    // `current` the first time (object, property) is seen, the stored text
    // afterwards.
    const std::string& original(const void* object, int property, std::string_view current);
    // Run while the language that made the windows' texts is still applied,
    // before another one is: a property never translated, or whose text the
    // program has set anew since its last translation (a button that now
    // reads "Continue", a window made later), takes the English of what it
    // shows now. Without this, the next translation would bring back the
    // text cached before, or keep the old language's text as the original.
    void capture(const Language& language, const void* object, int property,
                 std::string_view current);
    // A component that is destroyed: its address may be reused.
    void forget(const void* object);
    std::size_t size() const { return texts_.size(); }

  private:
    friend std::string translate_property(const Language&, OriginalTextCache&, const void*, int,
                                          std::string_view);
    struct Entry {
        std::string original;
        std::string shown;  // what the last translation set
    };
    Entry& entry(const void* object, int property, std::string_view current);
    std::map<std::pair<const void*, int>, Entry> texts_;
};

// The text for one property in the current language: the lookup of its
// original text, except that a translation that is empty or made only of
// blanks, "." and "?" leaves the original.
std::string translate_property(const Language& language, OriginalTextCache& cache,
                               const void* object, int property, std::string_view current);

}  // namespace lk
