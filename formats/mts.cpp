// 192-byte transport stream walk.
#include "formats/containers.hpp"

namespace lk {

void walk_mts(ClusterStream&) {}  // placeholder

}  // namespace lk
