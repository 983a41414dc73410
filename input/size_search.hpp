// Finding the size of an input whose platform reports none, by reading.
#pragma once

#include <cstdint>
#include <functional>

namespace lk {

class ReadBackend;

// Called once per probe round with the current interval [low, high); a true
// answer stops the search (the user cancelled the wait).
using SizeSearchPoll = std::function<bool(std::int64_t low, std::int64_t high)>;

// Binary search for the end of the input: a 512-byte read just below the
// midpoint decides which half holds the end. Without a hint the interval is
// [0, 2^37); a hint from the drive list narrows it to [hint, hint + step/2),
// and a hint of 0 leaves nothing to search. In non-exact mode the precision
// coarsens with the size found so far. Returns the best low end rounded up to
// a multiple of 512 (0 when nothing could be read, or on an early cancel).
std::int64_t SearchSize(ReadBackend& backend, bool exact, std::int64_t hint,
                        const SizeSearchPoll& poll = {});

}  // namespace lk
