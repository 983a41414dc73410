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
#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "output/save.hpp"
#include "preview/jpeg_codec.hpp"

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

// A name in directory that nothing holds yet, made unique like saved files.
std::string free_name(const std::string& directory, const std::string& name) {
    return std::filesystem::path(MakeUniqueOutputName(directory + "/" + name)).filename().string();
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
    ".grade{font-weight:bold}";

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

bool WriteContactSheet(Engine& e, const std::string& directory, const PreviewServices& services,
                       const PictureProgress& progress, ContactSheet& sheet) {
    sheet = ContactSheet{};
    std::vector<PictureItem> pictures;
    collect(e.cat.root, "", 0, false, pictures);

    const std::string folder = free_name(directory, "thumbnails");
    if (::mkdir((directory + "/" + folder).c_str(), 0777) != 0) {
        sheet.error = InputErrorText(errno);
        return false;
    }
    sheet.thumbnails = directory + "/" + folder;
    const std::string title = translate("Recovered pictures");
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                       html(title) + "</title>\n<style>" + kStyle +
                       "</style></head>\n<body>\n<h1>" + html(title) + "</h1>\n";
    std::string current_folder = "\x01";  // no folder yet
    std::size_t done = 0;
    for (const PictureItem& p : pictures) {
        const Preview preview = RenderPreview(e, *p.record, kSheetBox, kSheetBox, services);
        keep(*p.record, preview);
        if (p.folder != current_folder) {
            if (current_folder != "\x01") page += "</div>\n";
            current_folder = p.folder;
            const std::string heading = p.folder.empty() ? "/" : p.folder.substr(0, p.folder.size() - 1);
            page += "<h2>" + html(heading) + "</h2>\n<div class=\"sheet\">\n";
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
            std::string error;
            const std::vector<std::uint8_t> jpeg = EncodeJpeg(small, kSheetQuality, error);
            const std::string name = format("%05u.jpg", static_cast<unsigned>(done + 1));
            OutputFile file(sheet.thumbnails + "/" + name);
            int code = 0;
            if (!jpeg.empty() && file.write(jpeg.data(), jpeg.size(), code) && file.close(code))
                image = "<img src=\"" + href(folder + "/" + name) + "\" width=\"" +
                        std::to_string(small.width) + "\" height=\"" + std::to_string(small.height) +
                        "\" alt=\"\">";
        }
        // A link to the saved file, when Save all put it where its path says.
        std::error_code ec;
        const auto saved = std::filesystem::path(directory) / p.path;
        if (std::filesystem::is_regular_file(saved, ec) &&
            std::filesystem::file_size(saved, ec) == item_size(*p.record))
            image = "<a href=\"" + href(p.path) + "\">" + image + "</a>";
        const char* grade = GradeWord(preview.grade.grade);
        page += std::string("<figure") + (*grade ? format(" class=\"%s\"", grade) : "") + ">" +
                image + "<figcaption><b>" + html(display_name(*p.record)) + "</b><br>" +
                html(format(translate("%lu bytes"), item_size(*p.record))) +
                (preview.date.empty() ? "" : "<br>" + html(translate("Date: ") + preview.date)) +
                (*grade ? "<br><span class=\"grade\">" + html(GradeText(preview.grade)) + "</span>"
                        : "") +
                "</figcaption></figure>\n";
        ++done;
        if (progress && !progress(done, pictures.size())) break;
    }
    if (current_folder != "\x01") page += "</div>\n";
    page += "</body></html>\n";

    sheet.page = directory + "/" + free_name(directory, "index.html");
    OutputFile out(sheet.page);
    int error = out.open_error();
    if (!out.is_open() || !out.write(reinterpret_cast<const std::uint8_t*>(page.data()), page.size(), error) ||
        !out.close(error)) {
        sheet.error = InputErrorText(error);
        return false;
    }
    sheet.pictures = done;
    return true;
}

}  // namespace lk
