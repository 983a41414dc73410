#include "output/default_destination.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <system_error>

#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxCardNameBytes = 100;

bool is_directory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string home_folder(const EnvironmentLookup& getenv) {
    if (const char* home = getenv("HOME"); home && *home) return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        pw.pw_dir)
        return pw.pw_dir;
    return "/";
}

// The value of XDG_PICTURES_DIR in a user-dirs.dirs file: a line
// XDG_PICTURES_DIR="$HOME/Pictures" or ="/absolute/path", with "\" taking
// the next character as it is. Empty when the file does not set it.
std::string pictures_entry(const std::string& file, const std::string& home) {
    std::ifstream in(file);
    std::string line, value;
    while (std::getline(in, line)) {
        std::size_t i = line.find_first_not_of(" \t");
        static const std::string kKey = "XDG_PICTURES_DIR";
        if (i == std::string::npos || line.compare(i, kKey.size(), kKey) != 0) continue;
        i = line.find_first_not_of(" \t", i + kKey.size());
        if (i == std::string::npos || line[i] != '=') continue;
        i = line.find_first_not_of(" \t", i + 1);
        if (i == std::string::npos || line[i] != '"') continue;
        ++i;
        std::string path;
        if (line.compare(i, 5, "$HOME") == 0) {
            path = home;
            i += 5;
        } else if (i >= line.size() || line[i] != '/') {
            continue;  // neither relative to the home folder nor absolute
        }
        for (; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            path += line[i];
        }
        value = path;  // the last line that sets it counts
    }
    return value;
}

// The relative paths (as saving makes them) and sizes of the list's files.
std::map<std::string, std::uint64_t> list_files(const std::vector<SaveItem>& list) {
    std::vector<std::string> paths(list.size());
    std::map<std::string, std::uint64_t> files;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const SaveItem& item = list[i];
        if (item.root) continue;
        const bool inner = item.parent >= 0 && static_cast<std::size_t>(item.parent) < i;
        paths[i] = (inner ? paths[item.parent] + "/" : std::string()) + FitOutputName(item.leaf);
        if (!item.is_directory()) files[paths[i]] = item.size;
    }
    return files;
}

// Whether the folder at path may take the save: it is empty, or holds only
// files the list would write there, each with its size.
bool takes_the_save(const fs::path& path, const std::map<std::string, std::uint64_t>& files) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (ec) return false;
        if (fs::is_directory(st)) continue;
        const auto listed = files.find(fs::relative(it->path(), path, ec).generic_string());
        if (ec || !fs::is_regular_file(st) || listed == files.end() ||
            it->file_size(ec) != listed->second || ec)
            return false;
    }
    return !ec;
}

}  // namespace

std::string PicturesFolder(const EnvironmentLookup& getenv) {
    const std::string home = home_folder(getenv);
    std::string config;
    if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        config = xdg;
    else
        config = home + "/.config";
    const std::string pictures = pictures_entry(config + "/user-dirs.dirs", home);
    std::error_code ec;
    if (is_directory(pictures) && !fs::equivalent(pictures, home, ec)) return pictures;
    if (is_directory(home + "/Pictures")) return home + "/Pictures";
    return home;
}

std::string SafeFolderName(const std::string& input_name) {
    std::string name = input_name;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    // A card image's extension says nothing about the card.
    if (const std::size_t dot = name.rfind('.');
        dot != std::string::npos && dot > 0 && name.size() - dot <= 6) {
        bool word = true;
        for (std::size_t i = dot + 1; i < name.size(); ++i)
            word = word && std::isalnum(static_cast<unsigned char>(name[i]));
        if (word) name.resize(dot);
    }
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F ||
            std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos)
            c = '_';
    }
    if (name.size() > kMaxCardNameBytes) {
        std::size_t cut = kMaxCardNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    // A leading dot would hide the folder; blanks at either end are easily
    // missed, and some systems drop trailing dots.
    const std::size_t first = name.find_first_not_of(" .");
    if (first == std::string::npos)
        name.clear();
    else
        name = name.substr(first, name.find_last_not_of(" .") - first + 1);
    return name.empty() ? std::string(translate("Recovered pictures")) : name;
}

std::string DefaultDestination(const std::string& pictures, const std::string& input_name,
                               std::time_t today, const std::vector<SaveItem>& list) {
    std::tm local{};
    ::localtime_r(&today, &local);
    char date[32] = {};
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    const std::string base =
        (fs::path(pictures) / (SafeFolderName(input_name) + " " + date)).string();
    const std::map<std::string, std::uint64_t> files = list_files(list);
    for (int n = 1;; ++n) {
        const std::string candidate = n == 1 ? base : format("%s (%d)", base, n);
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(candidate, ec);
        if (!fs::exists(st)) return candidate;
        if (fs::is_directory(st) && takes_the_save(candidate, files)) return candidate;
    }
}

}  // namespace lk
