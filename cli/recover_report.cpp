#include "cli/recover_report.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "engine/common.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "preview/grade.hpp"

namespace lk::cli {

namespace {

const char* source_name(EntrySource s) {
    switch (s) {
        case EntrySource::Live: return "live";
        case EntrySource::Deleted: return "deleted";
        case EntrySource::None: break;
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
            // A graded picture shows how much of it decodes.
            const std::string grade = GradeText({item.grade, item.decoded_rows_percent});
            std::fprintf(out, "%s%s  %s%s%s\n", indent.c_str(), display_name(item).c_str(),
                         GroupedNumber(item_size(item)).c_str(), grade.empty() ? "" : "  ",
                         grade.c_str());
        }
    }
}

void json_items(Engine& e, const dir_t& dir, const std::string& prefix, int depth, bool& first, std::FILE* out) {
    if (depth > kMaxDirectoryDepth) return;
    for (const dir_t& item : dir.children) {
        const std::string path = prefix + display_name(item);
        // A file put together from pieces lists them: [first cluster, clusters].
        std::string pieces;
        for (const auto& [cluster, count] : item.pieces)
            pieces += format("%s[%u, %u]", pieces.empty() ? ", \"pieces\": [" : ", ", cluster, count);
        if (!pieces.empty()) pieces += "]";
        // Items read from an exFAT entry set say so, and whether the set's
        // checksum held (null for the others).
        const bool exfat = item.exfat_flags & kExfatSet;
        const char* verified = !exfat                                  ? "null"
                               : (item.exfat_flags & kExfatChecksumOk) ? "true"
                                                                       : "false";
        // Graded pictures (recover --grade) say how much of them decodes.
        const std::string grade =
            item.grade == Grade::None
                ? std::string()
                : format(", \"grade\": \"%s\", \"decoded_rows_percent\": %d",
                         GradeWord(item.grade), item.decoded_rows_percent);
        std::fprintf(
            out,
            "%s\n  {\"path\": %s, \"directory\": %s, \"size\": %llu, \"first_cluster\": %u, "
            "\"fat_copy\": %d, \"shift\": %d, \"entry\": \"%s\", \"exfat_set\": %s, "
            "\"checksum_verified\": %s%s%s}",
            first ? "" : ",", json_string(path).c_str(),
            item.entry.is_directory() ? "true" : "false",
            static_cast<unsigned long long>(item_size(item)), e.first_cluster(item.entry),
            item.fat_copy, item.shift, source_name(item.source), exfat ? "true" : "false",
            verified, grade.c_str(), pieces.c_str());
        first = false;
        json_items(e, item, path + "/", depth + 1, first, out);
    }
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string s = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': s += "\\\""; break;
            case '\\': s += "\\\\"; break;
            case '\n': s += "\\n"; break;
            case '\t': s += "\\t"; break;
            default:
                if (c < 0x20) s += format("\\u%04x", c);
                else s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

void print_tree(Engine& e, std::FILE* out) { tree_lines(e, e.cat.root, 0, out); }

bool write_catalogue_json(Engine& e, const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "w"), std::fclose);
    if (!out) return false;
    bool first = true;
    std::fputs("[", out.get());
    json_items(e, e.cat.root, "", 0, first, out.get());
    std::fputs("\n]\n", out.get());
    return std::ferror(out.get()) == 0;
}

}  // namespace lk::cli
