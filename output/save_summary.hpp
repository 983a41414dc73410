// The summary at the end of a save, the same for both front ends: what was
// saved where, what was already there, what failed and why, and whether
// the save was cancelled or refused.
#pragma once

#include <string>
#include <vector>

#include "output/save.hpp"

namespace lk {

// The summary's lines, each looked up in the user's language:
//   refused:   "Nothing was saved: REASON" (and nothing else; the reason
//              names the folder);
//   otherwise: "Files saved in DIR: N (SIZE)", then, when there are any,
//              "Already there with the same content, not written again: N (SIZE)",
//              "Items that could not be written: N" followed by a line
//              "  PATH: REASON" per item, and the cancel.
std::vector<std::string> SaveSummaryLines(const SaveOutcome& outcome,
                                          const std::string& destination);

}  // namespace lk
