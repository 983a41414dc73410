// What every sector of the input holds, for the input graph: data, nothing
// (all its bytes alike), or a read error.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lk {

class Input;
class CopyProgress;

inline constexpr std::uint8_t kSectorEmpty = 0;
inline constexpr std::uint8_t kSectorData = 1;
inline constexpr std::uint8_t kSectorBad = 255;

// The map of the first input.input_size bytes, one entry per 512-byte
// sector: kSectorEmpty when all its bytes equal its first (a sector of 0xFF
// holds nothing either), kSectorBad when it is in the bad-sector set after
// its read, else kSectorData. Reads go through ReadAt in 262,144-byte
// chunks, so the cache file and the read-error policy apply. Progress and
// cancellation go through `progress` (0 at the start, 100 on every way out);
// none when cancelled.
std::optional<std::vector<std::uint8_t>> MapSectors(Input& input, CopyProgress& progress);

}  // namespace lk
