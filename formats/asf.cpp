// ASF object walk.
#include "formats/containers.hpp"

namespace lk {

ContainerWalk walk_asf(ClusterStream&, std::uint64_t) { return {}; }  // placeholder

}  // namespace lk
