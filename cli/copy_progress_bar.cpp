#include "cli/copy_progress_bar.hpp"

#include "input/text.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

CopyProgressBar::CopyProgressBar(TerminalReporter& reporter, Status& status,
                                 InterruptWatch& interrupt, std::string label)
    : reporter_(reporter),
      status_(status),
      interrupt_(interrupt),
      presses_before_(interrupt.presses()),
      label_(std::move(label)) {}

void CopyProgressBar::hand_over(int percent, std::uint32_t read_errors) {
    if (interrupt_.presses() > presses_before_ && !is_cancelled()) {
        cancel();
        status_.RequestCancel();
    }
    // A worker that ends right after its last step reports 100 twice.
    if (!started_ && percent >= 100) return;
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

void CopyProgressBar::item_failed(const std::string& path, const std::string& reason) {
    reporter_.message(MessageKind::Error, translate("Error"),
                      format_cut(4096, translate("%s: could not be written: %s"), path, reason));
}

}  // namespace lk::cli
