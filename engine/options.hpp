// The choices for one analysis, filled by the front end before a run and by
// the card parameters question during step 1.
#pragma once

#include <cstdint>

#include "formats/identify.hpp"
#include "base/sector_range.hpp"

namespace lk {

struct AnalysisOptions {
    bool autosize = true;             // determine the card size when the input is chosen
    bool cache = true;                // copy the card into the cache file first
    bool thumbnail_rendering = true;  // front ends only
    bool expert_mode = false;
    bool ignore_fat = false;          // skip steps 2 to 4 and carve only
    bool fast_read = true;            // whole blocks first, sector by sector on failure
    bool truncate_uniform = true;     // uniform clusters may end carved files
    std::uint64_t movie_limit = kDefaultMovieLimit;
    SectorRange sector_range;         // start/end byte offsets, -1 = unset
};

}  // namespace lk
