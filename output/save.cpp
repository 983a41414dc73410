#include "output/save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "formats/identify.hpp"
#include "input/copy_progress.hpp"
#include "input/output_file.hpp"
#include "input/platform.hpp"
#include "input/unique_fd.hpp"
#include "output/destination.hpp"

namespace lk {

namespace {

constexpr std::size_t kChunkBytes = 1'024'000;

bool is_jpeg_name(const std::string& ext) { return ext == "JPG" || ext == "JXX" || ext == "JPEG"; }

struct ListBuilder {
    const Engine& e;
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
            s.size = item_size(item);
            if (!item.entry.is_directory()) s.runs = item.extent.runs;
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
    int index;     // its entry in the list; -1 for the output directory
    UniqueFd fd;   // not valid when it could not be created
    std::string failure;  // why not
    std::set<std::string> given;
};

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
        const int at = what_is_at(f.fd.get(), n);
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

std::vector<SaveItem> BuildSaveList(const Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only) {
    ListBuilder b{e, jpeg_only, false, {}, false};
    b.run(selection);
    return std::move(b.list);
}

bool SaveListHasItems(const Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only) {
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
enum class WriteStop { Done, WriteFailed, Stopped, Refused, NoMemory };

// Streams a file's runs into out, a chunk of about a megabyte at a time.
// Zero runs, and chunks that read as zeros, are skipped rather than written,
// so that the empty parts of a large file take no room. error receives errno
// when the output fails.
WriteStop stream_runs(Engine& e, OutputFile& out, std::span<const ByteRun> runs, std::stop_token stop,
                      int& error) {
    const bool report = e.status.attached();
    if (report) e.status.SendProgress(0);
    WriteStop result = WriteStop::Done;
    std::uint64_t size = 0;
    for (const ByteRun& r : runs) size += r.length;
    std::uint64_t emitted = 0;  // bytes written or skipped
    bool hole = false;          // the last bytes were skipped: the length must be set
    auto emit = [&](const std::uint8_t* p, std::size_t n) {
        const bool zeros = !p || (n > 0 && p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
        if (zeros ? !out.skip(n, error) : !out.write(p, n, error)) return false;
        emitted += n;
        hole = zeros;
        return true;
    };
    if (size > 0) {
        const std::uint32_t cs = std::max<std::uint32_t>(e.geo.cluster_size, 1);
        const std::size_t chunk = (kChunkBytes + cs - 1) / cs * cs;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
        ExtentReader reader(e.input, e.opt.sector_range, runs, std::move(stop));
        while (emitted < size) {
            // A zero run is skipped whole, without reading.
            if (const std::uint64_t zeros = reader.skip_zeros(); zeros != 0) {
                if (!emit(nullptr, static_cast<std::size_t>(zeros))) {
                    result = WriteStop::WriteFailed;
                    break;
                }
                continue;
            }
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - emitted));
            const std::size_t got = reader.read(buffer.data(), want);
            if (got < want) {
                result = WriteStop::Stopped;
                break;
            }
            if (!emit(buffer.data(), want)) {
                result = WriteStop::WriteFailed;
                break;
            }
            if (report) e.status.SendProgress(static_cast<std::uint32_t>(emitted * 100 / size));
        }
    }
    if (hole && !out.set_length(emitted, error) && result == WriteStop::Done)
        result = WriteStop::WriteFailed;
    if (result == WriteStop::Done && !out.close(error)) result = WriteStop::WriteFailed;
    if (report) e.status.SendProgress(100);
    return result;
}

// Reconstruct mode: the whole file read along its runs and handed to the
// filter; `filtered` receives the bytes to write, `reason` the filter's
// answer when it refuses.
WriteStop filter_bytes(Engine& e, const SaveItem& item, const WholeFileFilter& filter,
                       std::stop_token stop, std::vector<std::uint8_t>& filtered,
                       std::string& reason) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes.assign(item.size, 0);
    } catch (const std::bad_alloc&) {
        return WriteStop::NoMemory;  // that file fails; the others may be smaller
    }
    ExtentReader reader(e.input, e.opt.sector_range, item.runs, std::move(stop));
    if (reader.read(bytes.data(), bytes.size()) < bytes.size() && reader.stopped()) return WriteStop::Stopped;
    if (auto refusal = filter(bytes, filtered)) {
        reason = *refusal;
        return WriteStop::Refused;
    }
    return WriteStop::Done;
}

WriteStop write_bytes(OutputFile& out, const std::vector<std::uint8_t>& bytes, int& error) {
    if (!out.write(bytes.data(), bytes.size(), error) || !out.close(error))
        return WriteStop::WriteFailed;
    return WriteStop::Done;
}

// How a file already in the destination compares with the one to write.
enum class Match { Same, Other, Stopped };

// Compares the regular file `name` in dir, `size` bytes long, with what
// `next` delivers (up to n bytes into a buffer, fewer only when stopped).
// Anything else at that name (a link, a folder, a file that cannot be read)
// counts as other content.
template <class Next>
Match compare_file(int dir, const std::string& name, std::uint64_t size, Next&& next,
                   bool& stopped) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != size)
        return Match::Other;  // the size first: most names that clash differ there
    std::vector<std::uint8_t> want(
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size)));
    std::vector<std::uint8_t> have(want.size());
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want.size(), size - done));
        if (next(want.data(), n) < n) return stopped ? Match::Stopped : Match::Other;
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r =
                ::pread(fd.get(), have.data() + got, n - got, static_cast<off_t>(done + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return Match::Other;
            got += static_cast<std::size_t>(r);
        }
        if (std::memcmp(want.data(), have.data(), n) != 0) return Match::Other;
        done += n;
    }
    return Match::Same;
}

// Where a file goes in folder f: the first of its name and its numbered
// forms that this save has not given out and that is either free (the file
// is written there) or holds the same content (it is already there).
struct Placement {
    std::string name;
    bool already_there = false;
    bool stopped = false;
};

template <class Compare>
Placement place_file(OpenFolder& f, const std::string& wanted, Compare&& same_as) {
    const std::string name = FitOutputName(wanted);
    const NameParts parts = split_name(name);
    for (long n = parts.number;; ++n) {
        Placement p;
        p.name = n == parts.number ? name : fit(parts.base, format("(%d)", n) + parts.extension);
        if (f.given.count(p.name)) continue;
        const int at = what_is_at(f.fd.get(), p.name);
        if (at == 0) return p;
        if (at == 1) continue;  // a folder of that name
        const Match m = same_as(p.name);
        if (m == Match::Other) continue;
        p.already_there = m == Match::Same;
        p.stopped = m == Match::Stopped;
        return p;
    }
}

std::string failure_text(WriteStop stop, int error) {
    if (stop == WriteStop::NoMemory) return translate("Not enough memory");
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

bool write_recovered(Engine& e, std::span<const ByteRun> runs, const std::string& path, std::string* failure,
                     std::stop_token stop) {
    OutputFile out(path);
    int error = out.open_error();
    WriteStop result = out.is_open() ? stream_runs(e, out, runs, stop, error) : WriteStop::WriteFailed;
    if (result == WriteStop::Done) return true;
    if (result != WriteStop::Stopped) {
        if (failure) *failure = failure_text(result, error);
        else e.status.Error("File %s: write error %d", path, error);
    }
    return false;
}

}  // namespace

bool WriteRecoveredFile(Engine& e, std::span<const ByteRun> runs, const std::string& path,
                        std::string* failure, std::stop_token stop) {
    return write_recovered(e, runs, path, failure, std::move(stop));
}

bool WriteRecoveredFile(Engine& e, const dir_t& item, const std::string& path, std::string* failure,
                        std::stop_token stop) {
    return write_recovered(e, item.extent.runs, path, failure, std::move(stop));
}

SaveOutcome SaveItems(Engine& e, const std::vector<SaveItem>& list, const std::string& directory,
                      CopyProgress& progress, const WholeFileFilter* filter, std::stop_token stop) {
    SaveOutcome outcome;
    // A destination that cannot take the save is refused before anything
    // is written, rather than failing every item for the same reason.
    const DestinationCheck check = CheckDestination(directory, BytesToWrite(list, directory));
    std::string refusal = check.refusal;
    if (check.ok() && !check.exists) MakeFolder(directory, refusal);
    if (!refusal.empty()) {
        outcome.refusal = refusal;
        progress.hand_over(100, 0);
        return outcome;
    }
    e.input.reset_read_errors();
    progress.hand_over(0, 0);
    // The folders being written, innermost last: a folder's contents follow
    // it in the list, so a folder is closed once an item lies outside it.
    std::vector<OpenFolder> open;
    {
        UniqueFd out(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::string reason = out.valid() ? std::string() : InputErrorText(errno);
        open.push_back({-1, std::move(out), reason, {}});
    }
    auto fail = [&](const SaveItem& item, const std::string& reason) {
        progress.item_failed(item.name, reason);
        outcome.failures.push_back({item.name, reason});
    };

    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i) {
        const SaveItem& item = list[i];
        if (progress.is_cancelled() || stop.stop_requested()) {
            outcome.cancelled = true;
            break;
        }
        if (!item.root) progress.item_started(item.name);
        while (open.size() > 1 && open.back().index != item.parent) open.pop_back();
        OpenFolder& folder = open.back();
        const int index = static_cast<int>(i);
        bool last = false;  // the save ends after this item
        if (item.root) {
            ++outcome.written;  // the output directory itself
        } else if (!folder.fd.valid()) {
            // Its folder could not be made: it fails for the same reason.
            fail(item, folder.failure);
            if (item.is_directory()) open.push_back({index, UniqueFd(), folder.failure, {}});
        } else if (item.is_directory()) {
            // A folder already there before this save is written into; one
            // this save made, or a file, gives the new folder another name.
            const std::string name = unique_in(folder, item.leaf, true);
            folder.given.insert(name);
            if (::mkdirat(folder.fd.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                const std::string reason = InputErrorText(errno);
                fail(item, reason);
                open.push_back({index, UniqueFd(), reason, {}});
            } else {
                UniqueFd fd(::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                const std::string reason = fd.valid() ? std::string() : InputErrorText(errno);
                if (!fd.valid()) fail(item, reason);
                else ++outcome.written;
                open.push_back({index, std::move(fd), reason, {}});
            }
        } else {
            // Reconstruct mode filters first: what is compared and written
            // is the filter's output.
            std::vector<std::uint8_t> filtered;
            WriteStop made = WriteStop::Done;
            std::string reason;
            if (filter) made = filter_bytes(e, item, *filter, stop, filtered, reason);
            if (made == WriteStop::Stopped) {
                outcome.cancelled = true;
                break;
            }
            if (made == WriteStop::Refused) {
                fail(item, reason);
                last = true;
            } else if (made == WriteStop::NoMemory) {
                fail(item, failure_text(made, 0));
            } else {
                const std::uint64_t size = filter ? filtered.size() : item.size;
                bool stopped = false;
                const Placement place = place_file(folder, item.leaf, [&](const std::string& name) {
                    if (filter) {
                        std::size_t at = 0;
                        return compare_file(
                            folder.fd.get(), name, size,
                            [&](std::uint8_t* p, std::size_t n) {
                                std::memcpy(p, filtered.data() + at, n);
                                at += n;
                                return n;
                            },
                            stopped);
                    }
                    ExtentReader reader(e.input, e.opt.sector_range, item.runs, stop);
                    return compare_file(
                        folder.fd.get(), name, size,
                        [&](std::uint8_t* p, std::size_t n) {
                            const std::size_t got = reader.read(p, n);
                            stopped = reader.stopped();
                            return got;
                        },
                        stopped);
                });
                if (place.stopped) {
                    outcome.cancelled = true;
                    break;
                }
                folder.given.insert(place.name);
                if (place.already_there) {
                    ++outcome.already_there;
                    outcome.bytes_already_there += size;
                } else {
                    OutputFile out(folder.fd.get(), place.name);
                    int error = out.open_error();
                    WriteStop result = WriteStop::WriteFailed;
                    if (out.is_open())
                        result = filter ? write_bytes(out, filtered, error)
                                        : stream_runs(e, out, item.runs, stop, error);
                    // A file cut short is no recovered file: it would only
                    // take the name from the next save's complete one.
                    if (out.is_open() && result != WriteStop::Done)
                        ::unlinkat(folder.fd.get(), place.name.c_str(), 0);
                    if (result == WriteStop::Stopped) {
                        outcome.cancelled = true;
                        break;
                    }
                    if (result == WriteStop::Done) {
                        set_file_facts(folder.fd.get(), place.name, item);
                        ++outcome.written;
                        ++outcome.files_written;
                        outcome.bytes_written += size;
                    } else {
                        fail(item, failure_text(result, error));
                    }
                }
            }
        }
        progress.hand_over(static_cast<int>((i * 100 + 100) / count), e.input.read_errors());
        if (last) break;
    }
    open.clear();
    progress.hand_over(100, e.input.read_errors());
    return outcome;
}

}  // namespace lk
