#include "output/save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

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

    // Visits one record under the folder entry `parent` (-1: the output
    // directory); false stops the walk (a probe that found something).
    bool visit(const dir_t& item, const std::string& prefix, int parent, bool root, int depth) {
        const std::string name = display_name(item);
        int self = parent;
        if (!jpeg_only || is_jpeg_name(display_extension(item))) {
            if (probe) {
                found = true;
                return false;
            }
            SaveItem s;
            s.name = prefix + name;
            s.leaf = name;
            s.parent = parent;
            s.root = root;
            s.attributes = item.entry.attr & (0x01 | 0x02 | 0x04 | 0x10 | 0x20);
            s.has_time = dos_time_to_local(item.entry.wdate, item.entry.wtime, &s.time);
            s.start_cluster = e.first_cluster(item.entry);
            s.fat_copy = item.fat_copy;
            s.shift = item.shift;
            s.size = item_size(item);
            s.valid_length = item_valid_length(item);
            list.push_back(std::move(s));
            // The root stands for the output directory: its children go there.
            if (!root && item.entry.is_directory()) self = static_cast<int>(list.size()) - 1;
        }
        if (!item.children.empty() && depth < kMaxDirectoryDepth) {
            const std::string inner = root ? prefix : prefix + name + '/';
            for (const dir_t& child : item.children)
                if (!visit(child, inner, self, false, depth + 1)) return false;
        }
        return true;
    }

    void run(const std::vector<const dir_t*>& selection) {
        if (selection.empty()) {
            visit(e.cat.root, "", -1, true, 0);
            return;
        }
        for (const dir_t* item : selection)
            if (!visit(*item, "", -1, false, 0)) return;
    }
};

// The name of a file or folder cut into base, number and extension, the way
// unique names are made: "IMG(3).JPG" is "IMG", 3, ".JPG"; "README" is
// "README", 0, "". A dot in a folder's part of a path takes no part.
struct NameParts {
    std::string base;
    long number = 0;
    std::string extension;
};

NameParts split_name(const std::string& name) {
    NameParts p;
    std::size_t ext = name.rfind('.');
    if (ext == std::string::npos) ext = name.size();
    p.extension = name.substr(ext);
    std::size_t insert = ext;
    if (ext > 0 && name[ext - 1] == ')') {
        const std::size_t open = name.rfind('(', ext - 1);
        if (open != std::string::npos) {
            // A number that does not parse counts as 0: "B(x).JPG" becomes "B(1).JPG".
            const std::string digits = name.substr(open + 1, ext - 1 - (open + 1));
            char* end = nullptr;
            p.number = std::strtol(digits.c_str(), &end, 10);
            if (digits.empty() || *end != '\0') p.number = 0;
            insert = open;
        }
    }
    p.base = name.substr(0, insert);
    return p;
}

// The longest start of text that fits in bytes without cutting a UTF-8
// character in two.
std::string utf8_prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

// base + tail within kMaxNameBytes, the base shortened as needed; an
// extension too long to keep whole is shortened with it.
std::string fit(const std::string& base, const std::string& tail) {
    if (base.size() + tail.size() <= kMaxNameBytes) return base + tail;
    if (tail.size() >= kMaxNameBytes / 2) return utf8_prefix(base + tail, kMaxNameBytes);
    return utf8_prefix(base, kMaxNameBytes - tail.size()) + tail;
}

// A directory the save has open, with the names it has given out there.
struct OpenFolder {
    int index;  // its entry in the list; -1 for the output directory
    int fd;     // -1 when it could not be created
    std::string failure;  // why not
    std::set<std::string> given;
};

void close_folder(OpenFolder& f) {
    if (f.fd >= 0 && f.index != -1) ::close(f.fd);
    f.fd = -1;
}

// What lies at name in dir: 0 nothing, 1 a directory, 2 anything else.
int what_is_at(int dir, const std::string& name) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 2;
}

// A name in folder f that this save has not given out and, unless reuse_dir
// allows an existing directory, that nothing on disk holds.
std::string unique_in(OpenFolder& f, const std::string& wanted, bool reuse_dir) {
    const std::string name = FitOutputName(wanted);
    auto free = [&](const std::string& n) {
        if (f.given.count(n)) return false;
        const int at = what_is_at(f.fd, n);
        return at == 0 || (reuse_dir && at == 1);
    };
    if (free(name)) return name;
    const NameParts parts = split_name(name);
    for (long n = parts.number + 1;; ++n) {
        const std::string candidate = fit(parts.base, format("(%d)", n) + parts.extension);
        if (free(candidate)) return candidate;
    }
}

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
        const NameParts parts = split_name(p.substr(name_start));
        p = p.substr(0, name_start) + parts.base + format("(%d)%s", parts.number + 1, parts.extension);
    }
    return p;
}

std::string FitOutputName(const std::string& name) {
    if (name.empty()) return translate("(unnamed)");
    if (name.size() <= kMaxNameBytes) return name;
    const std::size_t dot = name.rfind('.');
    // An extension is what follows the last dot, if it is short; a long
    // tail after a dot is part of the name.
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) return utf8_prefix(name, kMaxNameBytes);
    return fit(name.substr(0, dot), name.substr(dot));
}

namespace {

// Why a file could not be written: the system's words for an error code, or
// what went wrong on the card's side.
enum class WriteStop { Done, WriteFailed, ReadFailed, Stopped };

// Streams size bytes of the chain from start into out, a chunk of about a
// megabyte at a time; bytes from valid_length on are zeros and are not read.
// Chunks of zeros are skipped rather than written, so that the empty parts
// of a large file take no room. error receives errno when the output fails.
WriteStop stream_chain(Engine& e, OutputFile& out, std::uint64_t size, std::uint64_t valid_length,
                       std::uint32_t start_cluster, std::int32_t fat_copy, std::int32_t shift,
                       int& error) {
    e.stop_flag.store(false);
    const bool report = e.status.attached();
    if (report) e.status.SendProgress(0);
    WriteStop result = WriteStop::Done;
    std::uint64_t emitted = 0;  // bytes written or skipped
    bool hole = false;          // the last bytes were skipped: the length must be set
    auto emit = [&](const std::uint8_t* p, std::size_t n) {
        const bool zeros = n > 0 && p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
        if (zeros ? !out.skip(n, error) : !out.write(p, n, error)) return false;
        emitted += n;
        hole = zeros;
        return true;
    };
    if (size > 0) {
        const std::uint32_t cs = std::max<std::uint32_t>(e.geo.cluster_size, 1);
        const std::size_t chunk = (kChunkBytes + cs - 1) / cs * cs;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
        ChainReader reader(e, start_cluster, fat_copy, shift);
        std::uint64_t remaining = size;
        while (remaining > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining));
            const std::uint64_t done = size - remaining;
            const std::size_t readable =
                done >= valid_length
                    ? 0
                    : static_cast<std::size_t>(std::min<std::uint64_t>(want, valid_length - done));
            std::fill(buffer.begin(), buffer.begin() + want, 0);
            const std::size_t got = readable ? reader.read(buffer.data(), readable) : 0;
            if (got < readable) {
                if (reader.stop() == ChainReader::Stop::Stopped) {
                    result = WriteStop::Stopped;
                    break;
                }
                // A chain that ends inside the file's last chunk leaves zeros
                // after its end; one that ends earlier, or a failed read, fails
                // the file after the chunk in which it ended.
                const bool last_chunk = remaining == want;
                if (got == 0 || reader.stop() == ChainReader::Stop::ReadFailed || !last_chunk) {
                    if (got > 0 && !emit(buffer.data(), got))
                        result = WriteStop::WriteFailed;
                    else result = WriteStop::ReadFailed;
                    break;
                }
            }
            if (!emit(buffer.data(), want)) {
                result = WriteStop::WriteFailed;
                break;
            }
            remaining -= want;
            if (report) e.status.SendProgress(static_cast<std::uint32_t>((size - remaining) * 100 / size));
        }
    }
    if (hole && !out.set_length(emitted, error) && result == WriteStop::Done)
        result = WriteStop::WriteFailed;
    if (result == WriteStop::Done && !out.close(error)) result = WriteStop::WriteFailed;
    if (report) e.status.SendProgress(100);
    return result;
}

std::string failure_text(WriteStop stop, int error) {
    if (stop == WriteStop::ReadFailed) return translate("the card's data could not be read");
    return InputErrorText(error);
}

// Sets the times and the read-only flag of a file just written.
void set_file_facts(int dir, const std::string& name, const SaveItem& item) {
    if (item.has_time) {
        // This file system keeps no creation time: the write time becomes
        // the modification time. Failures leave the times of the writing.
        timespec times[2] = {{0, UTIME_OMIT}, {item.time, 0}};
        ::utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (item.attributes & 0x01) {
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            ::fchmodat(dir, name.c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH), 0);
    }
}

}  // namespace

namespace {

bool write_recovered(Engine& e, std::uint64_t size, std::uint64_t valid_length,
                     std::uint32_t start_cluster, std::int32_t fat_copy, std::int32_t shift,
                     const std::string& path, std::string* failure) {
    OutputFile out(path);
    int error = out.open_error();
    WriteStop stop = out.is_open() ? stream_chain(e, out, size, valid_length, start_cluster,
                                                  fat_copy, shift, error)
                                   : WriteStop::WriteFailed;
    if (stop == WriteStop::Done) return true;
    if (stop != WriteStop::Stopped && !e.stop_requested()) {
        if (failure) *failure = failure_text(stop, error);
        else e.status.Error("File %s: write error %d", path, error);
    }
    return false;
}

}  // namespace

bool WriteRecoveredFile(Engine& e, std::uint64_t size, std::uint32_t start_cluster,
                        std::int32_t fat_copy, std::int32_t shift, const std::string& path,
                        std::string* failure) {
    return write_recovered(e, size, size, start_cluster, fat_copy, shift, path, failure);
}

bool WriteRecoveredFile(Engine& e, const dir_t& item, const std::string& path,
                        std::string* failure) {
    return write_recovered(e, item_size(item), item_valid_length(item), e.first_cluster(item.entry),
                           item.fat_copy, item.shift, path, failure);
}

SaveOutcome SaveItems(Engine& e, const std::vector<SaveItem>& list, const std::string& directory,
                      CopyProgress& progress) {
    SaveOutcome outcome;
    e.input.reset_read_errors();
    progress.hand_over(0, 0);
    const int out_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // The folders being written, innermost last: a folder's contents follow
    // it in the list, so a folder is closed once an item lies outside it.
    std::vector<OpenFolder> open;
    open.push_back({-1, out_fd, out_fd < 0 ? InputErrorText(errno) : std::string(), {}});
    auto fail = [&](const SaveItem& item, const std::string& reason) {
        progress.item_failed(item.name, reason);
        outcome.failures.push_back({item.name, reason});
    };

    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i) {
        const SaveItem& item = list[i];
        if (progress.is_cancelled()) {
            outcome.cancelled = true;
            break;
        }
        if (!item.root) progress.item_started(item.name);
        while (open.size() > 1 && open.back().index != item.parent) {
            close_folder(open.back());
            open.pop_back();
        }
        OpenFolder& folder = open.back();
        if (item.root) {
            ++outcome.written;  // the output directory itself
        } else if (folder.fd < 0) {
            // Its folder could not be made: it fails for the same reason.
            fail(item, folder.failure);
            if (item.is_directory()) open.push_back({static_cast<int>(i), -1, folder.failure, {}});
        } else if (item.is_directory()) {
            // A folder already there before this save is written into; one
            // this save made, or a file, gives the new folder another name.
            const std::string name = unique_in(folder, item.leaf, true);
            folder.given.insert(name);
            if (::mkdirat(folder.fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
                const std::string reason = InputErrorText(errno);
                fail(item, reason);
                open.push_back({static_cast<int>(i), -1, reason, {}});
            } else {
                const int fd = ::openat(folder.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                const std::string reason = fd < 0 ? InputErrorText(errno) : std::string();
                if (fd < 0) fail(item, reason);
                else ++outcome.written;
                open.push_back({static_cast<int>(i), fd, reason, {}});
            }
        } else {
            const std::string name = unique_in(folder, item.leaf, false);
            folder.given.insert(name);
            OutputFile out(folder.fd, name);
            int error = out.open_error();
            const WriteStop stop =
                out.is_open() ? stream_chain(e, out, item.size, item.valid_length,
                                             item.start_cluster, item.fat_copy, item.shift, error)
                              : WriteStop::WriteFailed;
            if (stop == WriteStop::Stopped || e.stop_requested()) {
                outcome.cancelled = true;
                break;
            }
            if (stop == WriteStop::Done) {
                set_file_facts(folder.fd, name, item);
                ++outcome.written;
            } else {
                fail(item, failure_text(stop, error));
            }
        }
        progress.hand_over(static_cast<int>((i * 100 + 100) / count), e.input.read_errors());
    }
    for (OpenFolder& f : open) close_folder(f);
    if (out_fd >= 0) ::close(out_fd);
    progress.hand_over(100, e.input.read_errors());
    return outcome;
}

}  // namespace lk
