// The warning and error boxes of the program, and the one box that lists the
// items a save could not write.
#pragma once

#include <string>
#include <vector>

#include "base/reporter.hpp"

namespace lk {
struct SaveFailure;
}

namespace lk::ui {

// A box owned by the active window (or none), titled with `caption`: the
// warning icon for warnings, no icon for errors. Runs on the GUI thread; a
// worker reaches it through a synchronised call.
void ShowMessage(MessageKind kind, const std::string& caption, const std::string& text);

// One error box for all the items that could not be written, each with its
// path and the system's reason.
void ShowSaveFailures(const std::vector<SaveFailure>& failures);

}  // namespace lk::ui
