// The content-extent convention every end rule answers in: the file's size
// (> 0), 0 when its end is not within the data, -1 when the data is not a
// file of that kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace lk {

// An end found at byte `end` of `length` bytes of data, as a result: ends past
// the data, and sizes a signed 32-bit result cannot hold, are "not within".
inline std::int32_t extent_at(std::uint64_t end, std::size_t length) {
    if (end == 0 || end > length || end > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        return 0;
    return static_cast<std::int32_t>(end);
}

}  // namespace lk
