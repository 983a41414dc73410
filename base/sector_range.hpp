// The part of the input that range-honouring reads may touch (expert mode).
#pragma once

#include <cstdint>

namespace lk {

struct SectorRange {
    std::int64_t start = -1;  // byte offset, -1 = unset
    std::int64_t end = -1;    // byte offset (exclusive), -1 = unset
    std::int32_t first_cluster = 2;

    bool is_set() const { return start != -1 && end != -1; }

    // True when a read of [offset, offset + length) may go ahead: the range is
    // not honoured, either bound is unset, or the read lies inside it.
    bool RangeContains(bool honour_range, std::int64_t offset, std::int64_t length) const {
        if (!honour_range || start == -1 || end == -1) return true;
        return start <= offset && offset + length <= end;
    }
};

}  // namespace lk
