// RIFF (AVI, WAV) extents.
#include "formats/containers.hpp"

namespace lk {

std::int32_t riff_extent(Bytes) { return 0; }  // placeholder until the walk lands

}  // namespace lk
