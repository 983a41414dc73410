#include "engine/first_letters.hpp"

#include <algorithm>

#include "engine/catalogue.hpp"

namespace lk {

FirstLetters::Pattern FirstLetters::pattern_of(const direntry_t& entry) {
    return {entry.name[1], entry.name[2], entry.name[3], entry.ext[0], entry.ext[1], entry.ext[2]};
}

std::optional<std::uint8_t> letter_from_long_name(std::string_view long_name) {
    if (long_name.empty()) return std::nullopt;
    const auto c = static_cast<unsigned char>(long_name[0]);
    if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 'A');
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return c;
    return std::nullopt;
}

void FirstLetters::note(const direntry_t& entry, std::string_view long_name) {
    std::uint8_t letter = entry.name[0];
    if (entry.is_deleted()) {
        const std::optional<std::uint8_t> own = letter_from_long_name(long_name);
        if (!own) return;
        letter = *own;
    }
    // Only letters and digits: a name that begins otherwise tells nothing of
    // a camera's pattern (and "." entries are no names).
    const bool alnum = (letter >= 'A' && letter <= 'Z') || (letter >= '0' && letter <= '9');
    if (!alnum || entry.is_lfn() || (entry.attr & 0x08)) return;
    ++counts_[pattern_of(entry)][letter];
}

std::optional<std::uint8_t> FirstLetters::letter_for(const direntry_t& deleted) const {
    const auto it = counts_.find(pattern_of(deleted));
    if (it == counts_.end() || it->second.empty()) return std::nullopt;
    // The most frequent; on a tie the first in byte order.
    return std::max_element(it->second.begin(), it->second.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->first;
}

}  // namespace lk
