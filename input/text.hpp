// Texts for sizes and counts shown to the user.
#pragma once

#include <cstdint>
#include <string>

namespace lk {

// The size in the largest unit that keeps the number at or below 1,000:
// "1000 bytes", "1 KB", "64 MB", "1000 GB" (never beyond GB); "-1 bytes"
// for an unknown size; "0" for nothing at all.
std::string SizeText(std::int64_t bytes);

// An unsigned decimal number with the language's mark between groups of
// three digits: 1234567 gives "1,234,567" in English, "1.234.567" in German.
std::string GroupedNumber(std::uint64_t value);

}  // namespace lk
