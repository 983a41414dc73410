// Opening the input that the user named on the command line.
#pragma once

#include <string>

#include "input/input.hpp"

namespace lk::cli {

// A block device that is one of the platform's disks opens as that physical
// drive, any other block device as a volume, everything else as a file (card
// images are recognised). On failure "Can't open the input drive: %hs" is
// shown and false returned.
bool OpenNamedInput(Input& input, const std::string& name);

}  // namespace lk::cli
