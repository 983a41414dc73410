#include "output/run.hpp"

#include "engine/engine.hpp"

namespace lk {

RecoveryRun::RecoveryRun(Reporter* reporter) : status_(reporter), input_(status_) {}

RecoveryRun::~RecoveryRun() = default;

Engine& RecoveryRun::prepare(const AnalysisOptions& options, const SignatureTable* signatures) {
    if (engine_) engine_->reads_stop.request_stop();
    engine_ = std::make_unique<Engine>(status_, input_);
    engine_->opt = options;
    engine_->signatures = signatures;
    status_.ResetCancel();
    return *engine_;
}

AnalysisResult RecoveryRun::analyse() {
    if (!engine_) return AnalysisResult::Failed;
    return RunAnalysis(*engine_);
}

void RecoveryRun::stop_reads() {
    if (engine_) engine_->reads_stop.request_stop();
}

std::stop_token RecoveryRun::reads() const {
    return engine_ ? engine_->reads_stop.get_token() : std::stop_token();
}

SaveOutcome RecoveryRun::save(const std::vector<const dir_t*>& selection, const std::string& directory,
                              CopyProgress& progress, const WholeFileFilter* filter) {
    if (!engine_) return {};
    return save(BuildSaveList(*engine_, selection, false), directory, progress, filter);
}

SaveOutcome RecoveryRun::save(const std::vector<SaveItem>& list, const std::string& directory,
                              CopyProgress& progress, const WholeFileFilter* filter) {
    if (!engine_) return {};
    return SaveItems(*engine_, list, directory, progress, filter, reads());
}

}  // namespace lk
