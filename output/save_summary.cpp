#include "output/save_summary.hpp"

#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "output/size_words.hpp"

namespace lk {

std::vector<std::string> SaveSummaryLines(const SaveOutcome& outcome,
                                          const std::string& destination) {
    std::vector<std::string> lines;
    if (outcome.refused()) {
        lines.push_back(format(translate("Nothing was saved: %s"), outcome.refusal));
        return lines;
    }
    lines.push_back(format(translate("Files saved in %s: %s (%s)"), destination,
                           GroupedNumber(outcome.files_written),
                           SizeWithUnit(outcome.bytes_written)));
    if (outcome.already_there != 0)
        lines.push_back(format(
            translate("Already there with the same content, not written again: %s (%s)"),
            GroupedNumber(outcome.already_there), SizeWithUnit(outcome.bytes_already_there)));
    if (!outcome.failures.empty()) {
        lines.push_back(format("%s %s", translate("Items that could not be written:"),
                               GroupedNumber(outcome.failures.size())));
        for (const SaveFailure& f : outcome.failures)
            lines.push_back("  " + format(translate("%hs: %hs"), f.path, f.reason));
    }
    if (outcome.cancelled)
        lines.push_back(
            translate("Saving was cancelled: the files not counted here were not saved"));
    return lines;
}

}  // namespace lk
