// One recovery run from start to end.
#pragma once

namespace lk {

struct Engine;

enum class AnalysisResult {
    Finished,   // 'st0B' was sent (also after Cancel)
    Abandoned,  // the card parameters question was cancelled ('st0C')
    Failed,     // a fatal error ended the run (its message was shown)
};

// Runs the analysis on the engine's open input with its options and leaves
// the catalogue filled. Never throws.
AnalysisResult RunAnalysis(Engine& e);

}  // namespace lk
