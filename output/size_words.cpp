#include "output/size_words.hpp"

#include "lang/format.hpp"
#include "lang/number_marks.hpp"
#include "lang/translate.hpp"

namespace lk {

std::string SizeWithUnit(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"bytes", "KB", "MB", "GB"};
    int unit = 0;
    std::uint64_t divisor = 1;
    while (unit < 3 && bytes / divisor >= 1000) {
        divisor *= 1000;
        ++unit;
    }
    if (unit == 0) return format("%Lu %s", bytes, translate(kUnits[0]));
    // Rounded to tenths, or to whole units from 10 on; in 128 bits, as
    // bytes * 10 may not fit in 64.
    const auto rounded = [&](unsigned scale) {
        return static_cast<std::uint64_t>(
            (static_cast<unsigned __int128>(bytes) * scale + divisor / 2) / divisor);
    };
    const std::uint64_t tenths = rounded(10);
    if (tenths >= 100) return format("%Lu %s", rounded(1), translate(kUnits[unit]));
    return format("%Lu%s%Lu %s", tenths / 10, std::string(number_marks().decimal), tenths % 10,
                  translate(kUnits[unit]));
}

}  // namespace lk
