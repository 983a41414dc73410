// Message lookup by English text. Every text shown to the user passes through
// translate() before it is formatted, so that language files can replace it.
#pragma once

namespace lk {

// Returns the text to show for an English message: its translation in the
// language applied (lang/language.hpp), which may be empty, or the text
// itself when there is none; a null text gives "". Safe on any thread. A
// translation stays valid while the Language that applied it lives, which in
// the front ends is the whole run.
const char* translate(const char* english);

}  // namespace lk
