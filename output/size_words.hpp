// Sizes in the texts that report a save: the units the program shows
// everywhere, with a tenth where whole units would hide the difference
// ("needs 1.9 GB, 1.2 GB free" rather than "needs 1 GB, 1 GB free").
#pragma once

#include <cstdint>
#include <string>

namespace lk {

// The size in the largest unit (bytes, KB, MB, GB, of 1000 each) that keeps
// the number below 1000, never beyond GB; below 10 of a unit one decimal,
// rounded: 950 gives "950 bytes", 2'100'000'000 gives "2.1 GB", 64'300'000
// gives "64 MB", 0 gives "0 bytes"; the decimal mark is the language's
// ("2,1 GB" in German).
std::string SizeWithUnit(std::uint64_t bytes);

}  // namespace lk
