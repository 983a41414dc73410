#include "input/text.hpp"

#include "lang/format.hpp"
#include "lang/number_marks.hpp"
#include "lang/translate.hpp"

namespace lk {

std::string SizeText(std::int64_t bytes) {
    static constexpr const char* kUnits[] = {"bytes", "KB", "MB", "GB"};
    // A size of 0 has no unit; the text then ends at the number rather than
    // with a blank.
    if (bytes == 0) return "0";
    int unit = 0;
    while (unit < 3 && bytes > 1000) {
        bytes /= 1000;
        ++unit;
    }
    return format("%Ld %s", bytes, translate(kUnits[unit]));
}

std::string GroupedNumber(std::uint64_t value) {
    const std::string_view group = number_marks().group;
    std::string digits = format("%Lu", value);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3 * group.size());
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += group;
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace lk
