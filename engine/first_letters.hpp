// The first letter a deleted FAT entry lost (the file system wrote 0xE5 over
// it), taken from the card's own names before any table: the names of a
// camera or a program share a pattern (IMG_, DSC_, MVI_), and the card holds
// live entries and surviving long names of the same pattern.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

namespace lk {

struct direntry_t;

class FirstLetters {
  public:
    // A name whose first letter is known: a live entry, or a deleted one
    // whose long name survived (long_name: that name, else empty).
    void note(const direntry_t& entry, std::string_view long_name = {});
    // The first letter most names of the deleted entry's pattern (name bytes
    // 1-3 and the extension) have on this card; none without such a name.
    std::optional<std::uint8_t> letter_for(const direntry_t& deleted) const;
    void clear() { counts_.clear(); }

  private:
    using Pattern = std::array<std::uint8_t, 6>;
    static Pattern pattern_of(const direntry_t& entry);
    std::map<Pattern, std::map<std::uint8_t, std::uint32_t>> counts_;
};

// The letter a deleted entry's own long name gives its short name: the long
// name's first character, upper-cased, when it is an ASCII letter or digit.
std::optional<std::uint8_t> letter_from_long_name(std::string_view long_name);

}  // namespace lk
