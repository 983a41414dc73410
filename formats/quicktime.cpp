// QuickTime atom walk.
#include "formats/containers.hpp"

namespace lk {

ContainerWalk walk_quicktime(ClusterStream&, TypeTag&, std::uint64_t) { return {}; }  // placeholder

}  // namespace lk
