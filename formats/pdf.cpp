// PDF extents.
#include "formats/office.hpp"

namespace lk {

std::int32_t pdf_extent(Bytes) { return 0; }  // placeholder until the search lands

}  // namespace lk
