// recover INPUT --output DIR: the whole analysis on a worker thread, then Save
// all into DIR.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include "cli/commands.hpp"
#include "cli/copy_progress_bar.hpp"
#include "cli/interrupt.hpp"
#include "cli/open_input.hpp"
#include "cli/recover_report.hpp"
#include "engine/card_parameters.hpp"
#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "formats/signatures.hpp"
#include "input/text.hpp"
#include "lang/translate.hpp"
#include "output/destination.hpp"
#include "output/run.hpp"
#include "output/save.hpp"
#include "output/save_summary.hpp"
#include "preview/contact_sheet.hpp"

namespace lk::cli {

namespace {

constexpr int kExitCannotOpen = 3;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

struct RecoverOptions {
    std::string input;
    std::string output;
    std::string json;
    bool list = false;
    bool trace = false;
    bool grade = false;
    bool thumbnails = false;
    bool expert = false;
    std::optional<std::uint64_t> card_size;
    std::optional<std::uint32_t> cluster_size;
    std::string range;  // START:END in sectors
    bool ignore_fat = false;
    bool no_fast_read = false;
    bool no_truncate_uniform = false;
    std::optional<std::uint64_t> movie_limit_mb;
    // The cache file copies a slow card once; an image file on a local disk
    // gains nothing from a second copy, so by default only devices are cached.
    bool cache = false;
    bool no_cache = false;
};

// The card parameters question's cluster sizes, 512 bytes to 32 MB.
std::vector<std::uint32_t> cluster_size_choices() {
    std::vector<std::uint32_t> sizes;
    for (std::uint32_t size = 512; size <= kLargestClusterChoice; size *= 2) sizes.push_back(size);
    return sizes;
}

// Parses "START:END" (sectors); false when it is not two numbers.
bool parse_range(const std::string& text, SectorRange& range) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    char* end = nullptr;
    const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    const unsigned long long start = std::strtoull(a.c_str(), &end, 10);
    if (a.empty() || *end) return false;
    const unsigned long long stop = std::strtoull(b.c_str(), &end, 10);
    if (b.empty() || *end || stop <= start) return false;
    range.start = static_cast<std::int64_t>(start) * 512;
    range.end = static_cast<std::int64_t>(stop) * 512;
    return true;
}

// The card parameters question, answered from the command line's options or,
// with --expert on a terminal, by the user.
class RecoverReporter final : public Reporter {
public:
    RecoverReporter(TerminalReporter& terminal, const RecoverOptions& o) : terminal_(terminal), o_(o) {}

    void status_text(std::uint32_t code, const std::string& text) override { terminal_.status_text(code, text); }
    void notify(std::uint32_t code) override { terminal_.notify(code); }
    void value_changed(std::uint32_t code, std::uint64_t value) override { terminal_.value_changed(code, value); }
    void message(MessageKind kind, const std::string& caption, const std::string& text) override {
        terminal_.message(kind, caption, text);
    }
    void trace(const std::string& line) override { terminal_.trace(line); }

    std::uint64_t ask_card_parameters(CardParameters& p) override {
        std::uint64_t size = accept_offered(p);  // OK on what is offered
        if (o_.card_size) size = *o_.card_size;
        if (o_.cluster_size) p.cluster_size = *o_.cluster_size;
        if (p.expert_mode) {
            p.ignore_fat = o_.ignore_fat;
            p.fast_read = !o_.no_fast_read;
            p.truncate_uniform = !o_.no_truncate_uniform;
            if (!o_.range.empty()) parse_range(o_.range, p.range);
        }
        if (o_.movie_limit_mb) p.movie_limit = *o_.movie_limit_mb * 1'024'000;
        if (o_.expert && ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
            if (!ask_user(p, size)) return 0;
        }
        if (const char* refusal = check_card_parameters(size, p)) {
            terminal_.message(MessageKind::Error, translate("Error"), translate(refusal));
            refused = true;
            return 0;
        }
        return size;
    }

    bool refused = false;

private:
    // Asks on the terminal; an empty answer keeps what is offered, "q" cancels.
    bool ask_user(CardParameters& p, std::uint64_t& size) {
        auto ask = [&](const std::string& prompt, std::uint64_t& value) {
            for (;;) {
                std::fprintf(stderr, "%s [%s]: ", prompt.c_str(), GroupedNumber(value).c_str());
                std::fflush(stderr);
                std::string line;
                if (!std::getline(std::cin, line) || line == "q") return false;
                if (line.empty()) return true;
                std::string digits;
                for (char c : line)
                    if (c != ',') digits += c;
                char* end = nullptr;
                const unsigned long long v = std::strtoull(digits.c_str(), &end, 10);
                if (!digits.empty() && !*end) {
                    value = v;
                    return true;
                }
            }
        };
        std::uint64_t cluster = p.cluster_size;
        std::fprintf(stderr, "%s\n", translate("Card parameters"));
        if (!ask(translate("Card size in bytes"), size) || !ask(translate("Cluster size in bytes"), cluster))
            return false;
        p.cluster_size = static_cast<std::uint32_t>(cluster);
        return true;
    }

    TerminalReporter& terminal_;
    const RecoverOptions& o_;
};

void count_grades(const dir_t& dir, int depth, std::uint64_t& complete, std::uint64_t& damaged,
                  std::uint64_t& unreadable) {
    if (depth > kMaxDirectoryDepth) return;
    for (const dir_t& item : dir.children) {
        complete += item.grade == Grade::Complete;
        damaged += item.grade == Grade::Damaged;
        unreadable += item.grade == Grade::Unreadable;
        count_grades(item, depth + 1, complete, damaged, unreadable);
    }
}

std::string progress_detail(const Status& status) {
    return format("%s %s  %s %s  %s %s", translate("Directories found"),
                  GroupedNumber(status.value(status_slot(ST_DIRECTORIES))), translate("Files found"),
                  GroupedNumber(status.value(status_slot(ST_FILES))), translate("Contiguous files"),
                  GroupedNumber(status.value(status_slot(ST_CONTIGUOUS))));
}

// A destination that was not used: why, as an error.
void show_refusal(Cli& cli, const SaveOutcome& refused, const std::string& destination) {
    for (const std::string& line : SaveSummaryLines(refused, destination))
        cli.reporter.message(MessageKind::Error, translate("Error"), line);
}

// Grades the pictures, writing the contact sheet when asked (beside the
// output folder), with a progress bar; Ctrl-C stops early. Prints how the
// pictures fared. False when the contact sheet could not be written.
bool grade_pictures(Cli& cli, Engine& e, const RecoverOptions& o, bool thumbnails,
                    InterruptWatch& interrupt) {
    PpmDumps dumps;
    PreviewServices services;
    services.dumps = &dumps;
    services.status = &cli.status;
    cli.reporter.begin_progress(translate(thumbnails ? "Making the contact sheet" : "Grading"));
    const PictureProgress progress = [&](std::size_t done, std::size_t total) {
        cli.reporter.show_progress(static_cast<int>(done * 100 / std::max<std::size_t>(total, 1)), {});
        return interrupt.presses() == 0;
    };
    ContactSheet sheet;
    bool ok = true;
    if (thumbnails)
        ok = WriteContactSheet(e, o.output, services, progress, sheet);
    else GradePictures(e, services, progress);
    cli.reporter.end_progress();

    std::uint64_t complete = 0, damaged = 0, unreadable = 0;
    count_grades(e.cat.root, 0, complete, damaged, unreadable);
    print(translate("Pictures graded: %s complete, %s damaged, %s unreadable"), GroupedNumber(complete),
          GroupedNumber(damaged), GroupedNumber(unreadable));
    print("\n");
    if (thumbnails) {
        if (ok) print("%s %s\n", translate("Contact sheet:"), sheet.page);
        else cli.status.Error("The contact sheet could not be written: %s", sheet.error);
    }
    return ok;
}

int run_recover(Cli& cli, const RecoverOptions& o) {
    if (o.output.empty() && o.json.empty() && !o.list) {
        cli.status.Error("Nothing to do: give --output, --list or --json");
        return kExitUsage;
    }
    if (o.thumbnails && o.output.empty()) {
        cli.status.Error("--thumbnails needs --output");
        return kExitUsage;
    }
    SectorRange range;
    if (!o.range.empty() && !parse_range(o.range, range)) {
        cli.status.Error("--range takes START:END in sectors, START below END");
        return kExitUsage;
    }

    // A folder that cannot take the files is refused before the analysis,
    // which may take hours; the room it needs is known only afterwards.
    if (!o.output.empty()) {
        if (const DestinationCheck check = CheckDestination(o.output, 0); !check.ok()) {
            SaveOutcome refused;
            refused.refusal = check.refusal;
            show_refusal(cli, refused, o.output);
            return kExitFailure;
        }
    }

    InterruptWatch interrupt;  // from here on Ctrl-C stops cleanly
    RecoverReporter reporter(cli.reporter, o);
    cli.reporter.set_trace(o.trace);
    RecoveryRun run(&reporter);
    Status& status = run.status();
    status.attach();
    Input& input = run.input();
    if (!OpenNamedInput(input, o.input)) return kExitCannotOpen;
    input.input_size = std::max<std::int64_t>(input.InputSize(true, -1), 0);
    if (input.input_size == 0) {
        // Nothing to analyse, which is an answer rather than a failure.
        print("%s\n", translate("The input is empty: nothing to recover"));
        return kExitOk;
    }

    SignatureTable signatures;
    signatures.load_signatures(signature_file_path(), &reporter);

    AnalysisOptions opt;
    // Any of the expert choices asks for expert mode, in which they count.
    opt.expert_mode = o.expert || o.card_size || o.cluster_size || !o.range.empty() || o.ignore_fat ||
                      o.no_fast_read || o.no_truncate_uniform;
    opt.ignore_fat = o.ignore_fat;
    opt.fast_read = !o.no_fast_read;
    opt.truncate_uniform = !o.no_truncate_uniform;
    struct stat st {};
    const bool device = ::stat(o.input.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    opt.cache = !o.no_cache && (o.cache || device);
    if (o.movie_limit_mb) opt.movie_limit = *o.movie_limit_mb * 1'024'000;
    if (!o.range.empty()) opt.sector_range = range;
    Engine& e = run.prepare(opt, &signatures);

    // The analysis runs on a worker; this thread shows its progress and
    // watches for Ctrl-C: the first cancels like the status window's Cancel
    // (what was found is still saved), the second ends the program.
    cli.reporter.begin_progress(translate("Analyzing"));
    std::atomic<bool> done{false};
    AnalysisResult result = AnalysisResult::Failed;
    std::thread worker([&] {
        result = run.analyse();
        done.store(true);
    });
    int presses = 0;
    while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int now = interrupt.presses();
        if (now > presses && presses == 0) {
            run.cancel();
            status.Warning("Cancelling; press Ctrl-C again to quit at once");
        }
        if (now >= 2) std::_Exit(kExitInterrupted);
        presses = now;
        cli.reporter.show_progress(static_cast<int>(status.progress()), progress_detail(status));
    }
    worker.join();
    cli.reporter.end_progress();
    status.detach();
    std::fputs(cli.reporter.counters_text().c_str(), stderr);

    if (result == AnalysisResult::Failed) return kExitFailure;
    if (result == AnalysisResult::Abandoned) return reporter.refused ? kExitUsage : kExitFailure;

    int code = kExitOk;
    bool saved_any = false;
    if (!o.output.empty()) {
        // A Ctrl-C while saving stops after the file being written; the
        // next one ends the program at once.
        CopyProgressBar progress(cli.reporter, status, interrupt, translate("Saving"));
        const SaveOutcome saved = run.save(std::vector<const dir_t*>{}, o.output, progress);
        if (saved.failed()) code = kExitFailure;
        if (saved.cancelled) code = kExitInterrupted;
        if (saved.refused()) {
            show_refusal(cli, saved, o.output);
        } else {
            saved_any = true;
            for (const std::string& line : SaveSummaryLines(saved, o.output)) print("%s\n", line);
        }
    }
    // Pictures are graded (and the contact sheet, which grades them too,
    // made) before the tree and the catalogue are written, which show it.
    // The contact sheet links to the saved files: without them it is not made.
    if ((o.grade || o.thumbnails) && code != kExitInterrupted &&
        !grade_pictures(cli, e, o, o.thumbnails && saved_any, interrupt))
        code = kExitFailure;
    if (o.list) print_tree(e, stdout);
    if (!o.json.empty() && !write_catalogue_json(e, o.json)) {
        status.Error("File %s: write error %d", o.json, errno);
        code = kExitFailure;
    }
    return code;
}

}  // namespace

void add_recover_command(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand(
        "recover", translate("Analyse the input and save everything found (Ctrl-C cancels, twice quits)"));
    auto o = std::make_shared<RecoverOptions>();
    cmd->add_option("INPUT", o->input, translate("A file, card image, drive or volume"))->required();
    cmd->add_option("-o,--output", o->output, translate("Save everything found into this directory"));
    cmd->add_flag("--list", o->list, translate("Print the recovered tree with sizes"));
    cmd->add_option("--json", o->json, translate("Write the catalogue to this JSON file"));
    cmd->add_flag("--trace", o->trace, translate("Print the engine's trace lines on stderr"));
    cmd->add_flag("--grade", o->grade,
                  translate("Grade every picture: complete, damaged (how much decodes) or unreadable"));
    cmd->add_flag("--thumbnails", o->thumbnails,
                  translate("Write an HTML contact sheet of the pictures beside the saved files"));
    cmd->add_flag("--expert", o->expert,
                  translate("Expert mode: always ask for the card parameters (on a terminal)"));
    cmd->add_option("--card-size", o->card_size, translate("Card size in bytes (expert)"));
    cmd->add_option("--cluster-size", o->cluster_size, translate("Cluster size in bytes (expert)"))
        ->check(CLI::IsMember(cluster_size_choices()));
    cmd->add_option("--range", o->range, translate("Analyse only sectors START:END (expert)"));
    cmd->add_flag("--ignore-fat", o->ignore_fat, translate("Ignore directories and FAT, carve only (expert)"));
    cmd->add_flag("--no-fast-read", o->no_fast_read, translate("Read sector by sector (expert)"));
    cmd->add_flag("--no-truncate-uniform", o->no_truncate_uniform,
                  translate("Uniform clusters do not end carved files (expert)"));
    cmd->add_option("--movie-limit", o->movie_limit_mb,
                    translate("Largest movie, in units of 1,024,000 bytes (default 700)"));
    cmd->add_flag("--cache", o->cache,
                  translate("Copy the input into a cache file first (the default for drives, not for files)"));
    cmd->add_flag("--no-cache", o->no_cache, translate("Read the input itself throughout"));
    cmd->footer(translate("Exit codes: 0 done, 1 fatal error or save failure, 2 usage, 3 input cannot be "
                          "opened, 130 interrupted."));
    cmd->callback([&cli, o] { cli.exit_code = run_recover(cli, *o); });
}

}  // namespace lk::cli
