#include "cli/copy_progress_bar.hpp"

#include "input/text.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

CopyProgressBar::CopyProgressBar(TerminalReporter& reporter, Status& status,
                                 InterruptWatch& interrupt, std::string label)
    : reporter_(reporter), status_(status), interrupt_(interrupt), label_(std::move(label)) {}

void CopyProgressBar::hand_over(int percent, std::uint32_t read_errors) {
    if (interrupt_.poll() && !is_cancelled()) {
        cancel();
        status_.RequestCancel();
    }
    if (!started_) {
        reporter_.begin_progress(label_);
        started_ = true;
    }
    const std::string detail =
        read_errors ? std::string(translate("Read errors: ")) + GroupedNumber(read_errors) : "";
    // The last hand-over only says that the worker has ended; a cancelled
    // copy does not reach 100 %.
    if (percent < 100 || !is_cancelled()) reporter_.show_progress(percent, detail);
    if (percent >= 100) {
        reporter_.end_progress();
        started_ = false;
    }
}

}  // namespace lk::cli
