// One recovery as every front end drives it: the status protocol and the
// input it reads, the analysis on an engine of its own, the cancel of that
// analysis, the stop of the reads along recovered files, and saving. The
// command line and the desktop application both go through it, so that a
// front end adds windows or a terminal, never another wiring of the engine.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "engine/analysis.hpp"
#include "engine/options.hpp"
#include "input/input.hpp"
#include "output/save.hpp"

namespace lk {

struct Engine;
class SignatureTable;

class RecoveryRun {
  public:
    explicit RecoveryRun(Reporter* reporter);
    ~RecoveryRun();
    RecoveryRun(const RecoveryRun&) = delete;
    RecoveryRun& operator=(const RecoveryRun&) = delete;

    Status& status() { return status_; }
    // The input, opened through its own calls (a file, a drive, a backend).
    Input& input() { return input_; }
    // The engine of the analysis prepared last; null before the first.
    Engine* engine() { return engine_.get(); }
    const Engine* engine() const { return engine_.get(); }

    // A fresh engine for the next analysis, with these options: reads along
    // the files of the previous one stop, and its cancel is forgotten.
    Engine& prepare(const AnalysisOptions& options, const SignatureTable* signatures);
    // The analysis of the prepared engine, on the caller's thread (front
    // ends run it on a worker). Never throws.
    AnalysisResult analyse();
    // The analysis' stop request (the status window's Cancel, a Ctrl-C): it
    // ends with what was found so far.
    void cancel() { status_.RequestCancel(); }
    // Reads along recovered files (saving, previews) stop at their next read;
    // until the next prepare().
    void stop_reads();
    std::stop_token reads() const;

    // Writes the selection (everything when empty) into directory.
    SaveOutcome save(const std::vector<const dir_t*>& selection, const std::string& directory,
                     CopyProgress& progress, const WholeFileFilter* filter = nullptr);
    // Writes a save list made earlier (on another thread) into directory.
    SaveOutcome save(const std::vector<SaveItem>& list, const std::string& directory, CopyProgress& progress,
                     const WholeFileFilter* filter = nullptr);

  private:
    Status status_;
    Input input_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace lk
