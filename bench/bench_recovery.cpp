// Times one analysis of a card image and the saving of everything it found.
//
//   bench_recovery IMAGE [OUTPUT_DIR]
//   bench_recovery --until-carving IMAGE
//
// Prints the time of steps 1-2 (boot structures, FAT, existing files), of
// steps 1-4 (everything before carving), of the whole analysis, of Save all
// with its throughput (when an output folder is given), the files put
// together from pieces with the time of the searches after the first pass
// and of the first pass's checks of pictures in pieces, the counts, and the
// peak memory of the process. With --until-carving the analysis is cancelled
// where step 5 begins and nothing is saved. Run it on a release build; it
// asserts nothing.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/analysis.hpp"
#include "engine/card_parameters.hpp"
#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "input/copy_progress.hpp"
#include "output/save.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Notes when each step begins.
class TimingReporter final : public lk::Reporter {
public:
    Clock::time_point start = Clock::now(), step3{}, step5{};
    lk::Status* cancel_at_carving = nullptr;
    void status_text(std::uint32_t, const std::string& text) override {
        if (text.rfind("3.", 0) == 0 && step3 == Clock::time_point{}) step3 = Clock::now();
        if (text.rfind("5.", 0) == 0) {
            step5 = Clock::now();
            if (cancel_at_carving) cancel_at_carving->RequestCancel();
        }
    }
    void notify(std::uint32_t) override {}
    std::uint64_t ask_card_parameters(lk::CardParameters& p) override { return lk::accept_offered(p); }
    void message(lk::MessageKind, const std::string& caption, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
    // With LK_BENCH_TRACE set, the engine's trace on stderr with the time of
    // each line: where the analysis spends its time.
    bool timed_trace = std::getenv("LK_BENCH_TRACE") != nullptr;
    void trace(const std::string& line) override {
        if (timed_trace) std::fprintf(stderr, "%8.3f %s", seconds_since(start), line.c_str());
    }
};

class NoProgress final : public lk::CopyProgress {
public:
    void hand_over(int, std::uint32_t) override {}
};

}  // namespace

// The files put together from pieces, under dir.
std::uint32_t in_pieces(const lk::dir_t& dir, int depth = 0) {
    std::uint32_t n = 0;
    if (depth > lk::kMaxDirectoryDepth) return 0;
    for (const lk::dir_t& item : dir.children) n += (item.extent.runs.size() > 1 ? 1 : 0) + in_pieces(item, depth + 1);
    return n;
}

int main(int argc, char** argv) {
    const bool until_carving = argc == 3 && std::string(argv[1]) == "--until-carving";
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE [OUTPUT_DIR]\n       %s --until-carving IMAGE\n", argv[0],
                     argv[0]);
        return 2;
    }
    const char* image = until_carving ? argv[2] : argv[1];
    TimingReporter reporter;
    lk::Status status(&reporter);
    status.attach();
    if (until_carving) reporter.cancel_at_carving = &status;
    lk::Input input(status);
    if (!input.OpenInputFile(image)) {
        std::fprintf(stderr, "cannot open %s\n", image);
        return 1;
    }
    input.input_size = input.InputSize(true, -1);
    lk::Engine e(status, input);
    e.opt.cache = false;  // an image file on a local disk gains nothing from a copy

    reporter.start = Clock::now();
    if (lk::RunAnalysis(e) != lk::AnalysisResult::Finished) return 1;
    const double whole = seconds_since(reporter.start);
    const double steps12 = std::chrono::duration<double>(reporter.step3 - reporter.start).count();
    const double steps14 = std::chrono::duration<double>(reporter.step5 - reporter.start).count();
    const auto& k = e.cat.counters;
    auto peak_mb = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss / 1024.0;
    };
    if (until_carving) {
        std::printf("input                 %s (%.1f MB)\n", image, input.input_size / 1e6);
        std::printf("steps 1-2             %.3f s\n", steps12);
        std::printf("steps 1-4             %.3f s\n", steps14);
        std::printf("directories %u, files %u, crippled %u\n", k.directories, k.files, k.crippled);
        std::printf("peak memory           %.1f MB\n", peak_mb());
        return 0;
    }

    lk::SaveOutcome saved;
    double save = 0;
    std::uint64_t bytes = 0;
    const bool save_all = argc == 3 && !until_carving;
    if (save_all) {
        std::filesystem::create_directories(argv[2]);
        NoProgress progress;
        const auto list = lk::BuildSaveList(e, {}, false);
        for (const auto& item : list) bytes += item.size;
        const auto save_start = Clock::now();
        saved = lk::SaveItems(e, list, argv[2], progress);
        save = seconds_since(save_start);
    }

    std::printf("input                 %s (%.1f MB)\n", image, input.input_size / 1e6);
    std::printf("steps 1-2             %.3f s\n", steps12);
    std::printf("steps 1-4             %.3f s\n", steps14);
    std::printf("whole analysis        %.3f s\n", whole);
    if (save_all)
        std::printf("save all              %.3f s, %.1f MB, %.1f MB/s%s\n", save, bytes / 1e6, bytes / 1e6 / save,
                    saved.failed() ? " (FAILED)" : "");
    std::printf("in pieces             %u files, join search %.3f s, first-pass checks %.3f s\n", in_pieces(e.cat.root),
                e.carve.join_seconds, e.carve.piece_check_seconds);
    std::printf("directories %u, files %u, contiguous %u, crippled %u\n", k.directories, k.files, k.contiguous,
                k.crippled);
    std::printf("peak memory           %.1f MB\n", peak_mb());
    return saved.failed() ? 1 : 0;
}
