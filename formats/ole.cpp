// OLE2 compound documents.
#include "formats/office.hpp"

namespace lk {

TypeTag ole_kind(Bytes) { return "OLE"; }  // placeholder until the walk lands

}  // namespace lk
