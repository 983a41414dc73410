#include "cli/recover_report.hpp"

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "preview/grade.hpp"

namespace lk::cli {

namespace {

const char* source_name(EntrySource s) {
    switch (s) {
        case EntrySource::Live:
            return "live";
        case EntrySource::Deleted:
            return "deleted";
        case EntrySource::None:
            break;
    }
    return "none";
}

void tree_lines(Engine& e, const dir_t& dir, int depth, std::FILE* out) {
    if (depth > kMaxDirectoryDepth) return;
    for (const dir_t& item : dir.children) {
        const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
        if (item.entry.is_directory()) {
            std::fprintf(out, "%s%s/\n", indent.c_str(), display_name(item).c_str());
            tree_lines(e, item, depth + 1, out);
        } else {
            // A graded picture shows how much of it decodes; a file that is
            // not wholly its own, or whose clusters were guessed, says so.
            std::string marks = GradeText({item.grade, item.decoded_rows_percent});
            auto mark = [&](const std::string& text) { marks += (marks.empty() ? "" : "  ") + text; };
            if (item.extent.how == ExtentHow::Partial) {
                mark(translate("partial"));
                if (item.extent.foreign != 0)
                    marks += format(" (%s)", format(translate("%s bytes not its own"), GroupedNumber(item.extent.foreign)));
            } else if (item.extent.how == ExtentHow::Guessed) {
                mark(translate("guessed"));
            }
            std::fprintf(out, "%s%s  %s%s%s\n", indent.c_str(), display_name(item).c_str(),
                         GroupedNumber(item_size(item)).c_str(), marks.empty() ? "" : "  ", marks.c_str());
        }
    }
}

// The catalogue as JSON objects, in the tree's order (folders before their
// contents); keys keep the order written here.
void json_items(Engine& e, const dir_t& dir, const std::string& prefix, int depth,
                nlohmann::ordered_json& out) {
    if (depth > kMaxDirectoryDepth) return;
    for (const dir_t& item : dir.children) {
        const std::string path = prefix + display_name(item);
        nlohmann::ordered_json j;
        j["path"] = path;
        j["directory"] = item.entry.is_directory();
        j["size"] = std::uint64_t(item_size(item));
        j["first_cluster"] = e.first_cluster(item.entry);
        j["fat_copy"] = item.fat_copy;
        j["shift"] = item.shift;
        j["entry"] = source_name(item.source);
        // Items read from an exFAT entry set say so, and whether the set's
        // checksum held (null for the others).
        const bool exfat = item.exfat_flags & kExfatSet;
        j["exfat_set"] = exfat;
        j["checksum_verified"] =
            exfat ? nlohmann::ordered_json(bool(item.exfat_flags & kExfatChecksumOk))
                  : nlohmann::ordered_json(nullptr);
        // Graded pictures (recover --grade) say how much of them decodes.
        if (item.grade != Grade::None) {
            j["grade"] = GradeWord(item.grade);
            j["decoded_rows_percent"] = item.decoded_rows_percent;
        }
        if (!item.entry.is_directory()) {
            // Where the file's bytes lie on the input ([offset, length], zeros
            // as [null, length]) and how they were found.
            nlohmann::ordered_json runs = nlohmann::ordered_json::array();
            for (const ByteRun& r : item.extent.runs)
                runs.push_back({r.zeros() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.offset),
                                r.length});
            j["runs"] = std::move(runs);
            j["how"] = extent_how_name(item.extent.how);
            if (item.extent.how == ExtentHow::Partial) j["partial_bytes"] = item.extent.foreign;
        }
        // A file put together from pieces lists them: [first cluster, clusters].
        if (const ClusterRuns pieces = cluster_runs(e.geo, item.extent, item.shift);
            item.extent.how == ExtentHow::Pieces && pieces.size() > 1) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const auto& [cluster, count] : pieces) list.push_back({cluster, count});
            j["pieces"] = std::move(list);
        }
        out.push_back(std::move(j));
        json_items(e, item, path + "/", depth + 1, out);
    }
}

}  // namespace

void print_tree(Engine& e, std::FILE* out) {
    tree_lines(e, e.cat.root, 0, out);
}

bool write_catalogue_json(Engine& e, const std::string& path) {
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    json_items(e, e.cat.root, "", 0, items);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "w"), std::fclose);
    if (!out) return false;
    // One item per line, so that scripts can also read it with line tools;
    // names that are not valid UTF-8 are written with replacement characters.
    std::fputs("[", out.get());
    bool first = true;
    for (const auto& item : items) {
        const std::string line =
            item.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::fprintf(out.get(), "%s\n  %s", first ? "" : ",", line.c_str());
        first = false;
    }
    std::fputs("\n]\n", out.get());
    return std::ferror(out.get()) == 0;
}

}  // namespace lk::cli
