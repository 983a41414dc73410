// Message lookup by English text. Every text shown to the user passes through
// translate() before it is formatted, so that language files can replace it.
#pragma once

namespace lk {

// Returns the text to show for an English message. Until language files are
// loaded this is the English text itself; the returned pointer lives as long
// as the program.
const char* translate(const char* english);

}  // namespace lk
