#include "output/save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine/common.hpp"
#include "formats/identify.hpp"
#include "input/copy_progress.hpp"
#include "input/output_file.hpp"
#include "input/platform.hpp"

namespace lk {

namespace {

constexpr std::size_t kChunkBytes = 1'024'000;

bool is_jpeg_name(const std::string& ext) { return ext == "JPG" || ext == "JXX" || ext == "JPEG"; }

struct ListBuilder {
    Engine& e;
    bool jpeg_only;
    bool probe;
    std::vector<SaveItem> list;
    bool found = false;

    // Visits one record with the current relative path prefix; false stops
    // the walk (a probe that found something).
    bool visit(const dir_t& item, std::string& prefix, int depth) {
        const std::string name = display_name(item);
        if (!jpeg_only || is_jpeg_name(display_extension(item))) {
            if (probe) {
                found = true;
                return false;
            }
            SaveItem s;
            s.name = (prefix + name).substr(0, kMaxRelativePath);
            s.attributes = item.entry.attr & (0x01 | 0x02 | 0x04 | 0x10 | 0x20);
            s.has_time = dos_time_to_local(item.entry.wdate, item.entry.wtime, &s.time);
            s.start_cluster = e.first_cluster(item.entry);
            s.fat_copy = item.fat_copy;
            s.shift = item.shift;
            s.size = item.entry.size;
            list.push_back(std::move(s));
        }
        if (!item.children.empty() && depth < kMaxDirectoryDepth) {
            const std::size_t keep = prefix.size();
            prefix += name;
            prefix += '/';
            if (prefix.size() < kMaxRelativePath)
                for (const dir_t& child : item.children)
                    if (!visit(child, prefix, depth + 1)) return false;
            prefix.resize(keep);
        }
        return true;
    }

    void run(const std::vector<const dir_t*>& selection) {
        std::string prefix;
        if (selection.empty()) {
            visit(e.cat.root, prefix, 0);
            return;
        }
        for (const dir_t* item : selection)
            if (!visit(*item, prefix, 0)) return;
    }
};

}  // namespace

bool dos_time_to_local(std::uint16_t date, std::uint16_t time, std::time_t* out) {
    std::tm tm{};
    tm.tm_year = (date >> 9) + 80;
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = (time & 0x1F) * 2;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return false;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    *out = t;
    return true;
}

std::vector<SaveItem> BuildSaveList(Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only) {
    ListBuilder b{e, jpeg_only, false, {}, false};
    b.run(selection);
    return std::move(b.list);
}

bool SaveListHasItems(Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only) {
    ListBuilder b{e, jpeg_only, true, {}, false};
    b.run(selection);
    return b.found;
}

std::string MakeUniqueOutputName(const std::string& path) {
    std::string p = path;
    std::error_code ec;
    while (std::filesystem::exists(std::filesystem::symlink_status(p, ec))) {
        const std::size_t name_start = p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1;
        std::size_t ext = p.rfind('.');
        if (ext == std::string::npos || ext < name_start) ext = p.size();
        long number = 0;
        std::size_t insert = ext;
        if (ext > name_start && p[ext - 1] == ')') {
            std::size_t open = p.rfind('(', ext - 1);
            if (open != std::string::npos && open >= name_start) {
                // A number that does not parse counts as 0: "B(x).JPG" becomes "B(1).JPG".
                const std::string digits = p.substr(open + 1, ext - 1 - (open + 1));
                char* end = nullptr;
                number = std::strtol(digits.c_str(), &end, 10);
                if (digits.empty() || *end != '\0') number = 0;
                insert = open;
            }
        }
        p = p.substr(0, insert) + format("(%d)%s", number + 1, p.substr(ext));
    }
    return p;
}

bool WriteRecoveredFile(Engine& e, std::uint64_t size, std::uint32_t start_cluster, std::int32_t fat_copy,
                        std::int32_t shift, const std::string& path, std::string* failure) {
    OutputFile out(path);
    int error = out.open_error();
    bool ok = out.is_open();
    e.stop_flag.store(false);
    const bool report = e.status.attached();
    if (report) e.status.SendProgress(0);

    if (ok && size > 0) {
        const std::uint32_t cs = std::max<std::uint32_t>(e.geo.cluster_size, 1);
        const std::size_t chunk = (kChunkBytes + cs - 1) / cs * cs;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
        ChainReader reader(e, start_cluster, fat_copy, shift);
        std::uint64_t remaining = size;
        while (remaining > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining));
            std::fill(buffer.begin(), buffer.begin() + want, 0);
            const std::size_t got = reader.read(buffer.data(), want);
            if (got < want) {
                if (reader.stop() == ChainReader::Stop::Stopped) {
                    ok = false;
                    break;
                }
                // A chain that ends inside the file's last chunk leaves zeros
                // after its end; one that ends earlier, or a failed read, fails
                // the file after the chunk in which it ended.
                const bool last_chunk = remaining == want;
                if (got == 0 || reader.stop() == ChainReader::Stop::ReadFailed || !last_chunk) {
                    if (got > 0) out.write(buffer.data(), got, error);
                    ok = false;
                    break;
                }
            }
            if (!out.write(buffer.data(), want, error)) {
                ok = false;
                break;
            }
            remaining -= want;
            if (report) e.status.SendProgress(static_cast<std::uint32_t>((size - remaining) * 100 / size));
        }
    }
    if (ok && out.is_open()) ok = out.close(error);
    if (report) e.status.SendProgress(100);
    if (!ok && !e.stop_requested()) {
        if (failure) *failure = error ? InputErrorText(error) : std::string(translate("the card's data could not be read"));
        else e.status.Error("File %s: write error %d", path, error);
    }
    return ok;
}

SaveOutcome SaveItems(Engine& e, const std::vector<SaveItem>& list, const std::string& directory,
                      CopyProgress& progress) {
    SaveOutcome outcome;
    e.input.reset_read_errors();
    progress.hand_over(0, 0);
    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i) {
        const SaveItem& item = list[i];
        if (progress.is_cancelled()) {
            outcome.cancelled = true;
            break;
        }
        std::string relative = item.name;
        while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
        progress.item_started(relative);
        // The catalogue root stands for the output directory itself.
        if (!relative.empty()) {
            std::string path = directory;
            if (path.empty() || path.back() != '/') path += '/';
            path += relative;
            if (item.is_directory()) {
                ::mkdir(path.c_str(), 0777);  // an existing one is fine; a failure shows in its files
            } else {
                path = MakeUniqueOutputName(path);
                std::string reason;
                if (!WriteRecoveredFile(e, item.size, item.start_cluster, item.fat_copy, item.shift, path, &reason)) {
                    progress.item_failed(relative, reason);
                    outcome.failures.push_back({relative, reason});
                    progress.hand_over(static_cast<int>((i * 100 + 100) / count), e.input.read_errors());
                    continue;
                }
                if (item.has_time) {
                    // This file system keeps no creation time: the write time
                    // becomes the modification time.
                    timespec times[2] = {{0, UTIME_OMIT}, {item.time, 0}};
                    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
                }
                if (item.attributes & 0x01) {
                    struct stat st {};
                    if (::stat(path.c_str(), &st) == 0) ::chmod(path.c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
                }
            }
        }
        ++outcome.written;
        progress.hand_over(static_cast<int>((i * 100 + 100) / count), e.input.read_errors());
    }
    progress.hand_over(100, e.input.read_errors());
    return outcome;
}

}  // namespace lk
