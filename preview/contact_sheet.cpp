#include "preview/contact_sheet.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "formats/identify.hpp"
#include "input/output_file.hpp"
#include "input/platform.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "output/save.hpp"
#include "output/size_words.hpp"
#include "preview/jpeg_codec.hpp"
#include "preview/local_dates.hpp"

namespace lk {

namespace {

// The sheet's thumbnails: 160 pixels square, as cameras make theirs.
constexpr int kSheetBox = 160;
constexpr int kSheetQuality = 85;

struct PictureItem {
    dir_t* record;
    std::string folder;  // its folder's path, "" for the root
    std::string path;    // its own path relative to the output directory
};

// The pictures of the catalogue, folder by folder, in catalogue order.
void collect(dir_t& dir, const std::string& prefix, int depth, bool graded_only,
             std::vector<PictureItem>& out) {
    if (depth > kMaxDirectoryDepth) return;
    for (dir_t& child : dir.children) {
        if (child.entry.is_directory()) continue;
        const std::string ext = preview_extension(child);
        if (graded_only ? is_graded_ext(ext) : is_picture_ext(ext) || is_graded_ext(ext))
            out.push_back({&child, prefix, prefix + display_name(child)});
    }
    for (dir_t& child : dir.children)
        if (child.entry.is_directory() && !child.children.empty())
            collect(child, prefix + display_name(child) + "/", depth + 1, graded_only, out);
}

void keep(dir_t& record, const Preview& preview) {
    record.grade = preview.grade.grade;
    record.decoded_rows_percent = static_cast<std::uint8_t>(preview.grade.decoded_rows_percent);
    if (!preview.date.empty()) record.date_text = preview.date;
}

std::string html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A relative path as a link: every byte outside the unreserved ones escaped.
std::string href(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/')
            out += static_cast<char>(c);
        else
            out += format("%%%02X", c);
    }
    return out;
}

// How the item was found, as marks beside its name: whether its directory
// entry was live, deleted or missing, and whether its bytes are partly
// another file's or were guessed.
std::string marks(const dir_t& item) {
    std::string out;
    auto mark = [&](const char* css, const char* text) {
        out += std::string("<span class=\"mark ") + css + "\">" + html(text) + "</span>";
    };
    switch (item.source) {
        case EntrySource::Live:
            mark("live", translate("live"));
            break;
        case EntrySource::Deleted:
            mark("deleted", translate("deleted"));
            break;
        case EntrySource::None:
            mark("unnamed", translate("no directory entry"));
            break;
    }
    if (item.extent.how == ExtentHow::Partial) mark("partial", translate("partial"));
    if (item.extent.how == ExtentHow::Guessed) mark("guessed", translate("guessed"));
    return out;
}

// The output directory as an absolute path without a trailing "/"; the
// root has no file name.
std::filesystem::path output_path(const std::string& directory) {
    std::error_code ec;
    std::filesystem::path out = std::filesystem::absolute(directory, ec).lexically_normal();
    if (!out.has_filename() && out.has_relative_path())
        out = out.parent_path();  // "photos/" is "photos"
    return ec ? std::filesystem::path() : out;
}

// Makes the sheet's folder: the one ContactSheetFolder names, else the
// first numbered one that does not exist yet. Empty, with error, when none
// can be made.
std::string make_sheet_folder(const std::string& directory, int& error) {
    const std::string base = ContactSheetFolder(directory);
    if (base.empty()) {
        error = EINVAL;
        return {};
    }
    for (int n = 1;; ++n) {
        const std::string folder = n == 1 ? base : format("%s (%d)", base, n);
        if (::mkdir(folder.c_str(), 0777) == 0) return folder;
        if (errno != EEXIST) {
            error = errno;
            return {};
        }
    }
}

const char* kStyle =
    "body{font-family:sans-serif;margin:1em 2em;background:#f4f4f4}"
    "h2{font-size:1.1em;margin:1.5em 0 .5em}"
    ".sheet{display:flex;flex-wrap:wrap;gap:12px}"
    "figure{margin:0;width:172px;padding:6px;background:#fff;border:3px solid #ddd}"
    "figure img{display:block;margin:auto}"
    "figcaption{font-size:.8em;overflow-wrap:anywhere;margin-top:4px}"
    ".empty{width:160px;height:160px;display:flex;align-items:center;justify-content:center;"
    "color:#888}"
    ".damaged{border-color:#e08a00;background:#fff3df}"
    ".unreadable{border-color:#c62828;background:#fde7e7}"
    ".grade{font-weight:bold}"
    ".summary{margin:0 0 1em}.summary p{margin:.2em 0}"
    ".mark{display:inline-block;font-size:.85em;padding:0 4px;margin:2px 3px 0 0;border-radius:3px}"
    ".mark.live{background:#e3f1e3}"
    ".mark.deleted{background:#fde3cc}"
    ".mark.unnamed{background:#e8e8e8}"
    ".mark.partial{background:#fbd3d3}"
    ".mark.guessed{background:#fff1b8}";

}  // namespace

bool is_graded_ext(const std::string& extension) {
    return is_jpeg_ext(extension) || is_raw_ext(extension);
}

std::size_t GradePictures(Engine& e, const PreviewServices& services,
                          const PictureProgress& progress) {
    std::vector<PictureItem> pictures;
    collect(e.cat.root, "", 0, true, pictures);
    std::size_t done = 0;
    for (const PictureItem& p : pictures) {
        keep(*p.record, RenderPreview(e, *p.record, 100, 100, services));
        ++done;
        if (progress && !progress(done, pictures.size())) break;
    }
    return done;
}

std::string ContactSheetFolder(const std::string& directory) {
    const std::filesystem::path out = output_path(directory);
    if (!out.has_filename()) return {};
    return (out.parent_path() / (out.filename().string() + "-contact-sheet")).string();
}

bool WriteContactSheet(Engine& e, const std::string& directory, const PreviewServices& services,
                       const PictureProgress& progress, ContactSheet& sheet,
                       const ContactSheetOptions& options) {
    sheet = ContactSheet{};
    std::vector<PictureItem> pictures;
    collect(e.cat.root, "", 0, false, pictures);

    int error = 0;
    sheet.folder = make_sheet_folder(directory, error);
    if (sheet.folder.empty() || ::mkdir((sheet.folder + "/thumbnails").c_str(), 0777) != 0) {
        sheet.error = InputErrorText(error ? error : errno);
        return false;
    }
    sheet.thumbnails = sheet.folder + "/thumbnails";
    // The saved files, seen from the sheet's folder: its sibling.
    const std::string saved_folder = "../" + output_path(directory).filename().string() + "/";
    const LocalDates dates(options.locale.c_str());

    std::string body;
    std::string current_folder = "\x01";  // no folder yet
    std::size_t done = 0;
    for (const PictureItem& p : pictures) {
        const Preview preview = RenderPreview(e, *p.record, kSheetBox, kSheetBox, services);
        keep(*p.record, preview);
        if (p.folder != current_folder) {
            if (current_folder != "\x01") body += "</div>\n";
            current_folder = p.folder;
            const std::string heading = p.folder.empty() ? "/" : p.folder.substr(0, p.folder.size() - 1);
            body += "<h2>" + html(heading) + "</h2>\n<div class=\"sheet\">\n";
        }
        // The thumbnail, when there is one, as a small JPEG of its own.
        std::string image = "<div class=\"empty\">" + html(translate("No thumbnail")) + "</div>";
        if (!preview.picture.empty()) {
            JpegPicture small;
            small.width = preview.picture.width;
            small.height = preview.picture.height;
            small.channels = 3;
            small.pixels.resize(preview.picture.pixels.size());
            for (std::size_t i = 0; i + 2 < small.pixels.size(); i += 3) {
                small.pixels[i] = preview.picture.pixels[i + 2];  // blue-green-red to RGB
                small.pixels[i + 1] = preview.picture.pixels[i + 1];
                small.pixels[i + 2] = preview.picture.pixels[i];
            }
            std::string encode_error;
            const std::vector<std::uint8_t> jpeg = EncodeJpeg(small, kSheetQuality, encode_error);
            const std::string name = format("%05u.jpg", static_cast<unsigned>(done + 1));
            OutputFile file(sheet.thumbnails + "/" + name);
            int code = 0;
            if (!jpeg.empty() && file.write(jpeg.data(), jpeg.size(), code) && file.close(code))
                image = "<img src=\"" + href("thumbnails/" + name) + "\" width=\"" +
                        std::to_string(small.width) + "\" height=\"" +
                        std::to_string(small.height) + "\" alt=\"\">";
        }
        // A link to the saved file, when Save all put it where its path says.
        std::error_code ec;
        const auto saved = std::filesystem::path(directory) / p.path;
        if (std::filesystem::is_regular_file(saved, ec) &&
            std::filesystem::file_size(saved, ec) == item_size(*p.record))
            image = "<a href=\"" + href(saved_folder + p.path) + "\">" + image + "</a>";
        const Grade grade_kind = preview.grade.grade;
        sheet.complete += grade_kind == Grade::Complete;
        sheet.damaged += grade_kind == Grade::Damaged;
        sheet.unreadable += grade_kind == Grade::Unreadable;
        sheet.not_graded += grade_kind == Grade::None;
        const char* grade = GradeWord(grade_kind);
        body +=
            std::string("<figure") + (*grade ? format(" class=\"%s\"", grade) : "") + ">" + image +
            "<figcaption><b>" + html(display_name(*p.record)) + "</b><br>" +
            html(SizeWithUnit(item_size(*p.record))) +
            (preview.date.empty() ? ""
                                  : "<br>" + html(translate("Date: ") + dates.exif(preview.date))) +
            (*grade ? "<br><span class=\"grade\">" + html(GradeText(preview.grade)) + "</span>"
                    : "") +
            "<br>" + marks(*p.record) + "</figcaption></figure>\n";
        ++done;
        if (progress && !progress(done, pictures.size())) break;
    }
    if (current_folder != "\x01") body += "</div>\n";
    sheet.pictures = done;

    // The summary goes first, and is known last.
    const std::string title = translate("Recovered pictures");
    const std::time_t made = options.made ? options.made : std::time(nullptr);
    const std::string summary =
        "<div class=\"summary\">\n<p>" + html(format(translate("Card: %s"), e.input.input_name())) +
        "</p>\n<p>" +
        html(format(
            translate("Pictures: %s (%s complete, %s damaged, %s unreadable, %s not graded)"),
            GroupedNumber(sheet.pictures), GroupedNumber(sheet.complete),
            GroupedNumber(sheet.damaged), GroupedNumber(sheet.unreadable),
            GroupedNumber(sheet.not_graded))) +
        "</p>\n<p>" + html(format(translate("Made on %s"), dates.format(made))) + "</p>\n</div>\n";
    const std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                             html(title) + "</title>\n<style>" + kStyle +
                             "</style></head>\n<body>\n<h1>" + html(title) + "</h1>\n" + summary +
                             body + "</body></html>\n";

    sheet.page = sheet.folder + "/index.html";
    OutputFile out(sheet.page);
    error = out.open_error();
    if (!out.is_open() || !out.write(reinterpret_cast<const std::uint8_t*>(page.data()), page.size(), error) ||
        !out.close(error)) {
        sheet.error = InputErrorText(error);
        return false;
    }
    return true;
}

}  // namespace lk
