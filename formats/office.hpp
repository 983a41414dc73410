// OLE2 compound documents (which application wrote them) and PDF extents.
#pragma once

#include <cstdint>

#include "base/bytes.hpp"
#include "formats/identify.hpp"

namespace lk {

// "DOC", "XLS", "PPT", "VSD", "MSI", "OLE" or "BAD"; never empty.
TypeTag ole_kind(Bytes data);

// -1 when the data fails the PDF header test, 0 when no end is found, else the
// size up to the first "%%EOF" after offset 1,024 and up to two line-end bytes.
std::int32_t pdf_extent(Bytes data);

}  // namespace lk
