// Writing recovered files to a directory: the save list, each file's bytes
// along its chain, unique names, times and attributes, and files already
// there left alone.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/catalogue.hpp"

namespace lk {

struct Engine;
class CopyProgress;

// One entry of the save list. A folder's entry precedes its contents, and
// each entry names the folder it goes in, so that a tree of any depth is
// written one level at a time, with no limit on the whole path's length.
struct SaveItem {
    std::string name;  // path relative to the output directory, '/'-separated (for messages)
    std::string leaf;  // the item's own name, the last part of name
    int parent = -1;   // index of the folder it goes in; -1 = the output directory
    bool root = false;  // the catalogue root: stands for the output directory and writes nothing
    std::uint8_t attributes = 0;  // read-only 0x01, hidden 0x02, system 0x04, directory 0x10, archive 0x20
    bool has_time = false;        // the entry's DOS date and time converted
    std::time_t time = 0;         // that date and time, taken as local time
    std::uint64_t size = 0;       // exFAT files reach beyond 4 GiB
    // Where the file's bytes lie on the input (zero runs stand for zeros).
    std::vector<ByteRun> runs;

    bool is_directory() const { return attributes & 0x10; }
};

// The longest name a file system takes for one file or folder, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

// The DOS write date and time as a local time; false when they do not convert.
bool dos_time_to_local(std::uint16_t date, std::uint16_t time, std::time_t* out);

// The save list from the given items (each with an empty prefix), or from the
// catalogue root when selection is empty. With jpeg_only only JPEG files are
// listed. A directory's entry precedes its contents.
std::vector<SaveItem> BuildSaveList(const Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only);
// Whether BuildSaveList would list anything (the actions' enable rules).
bool SaveListHasItems(const Engine& e, const std::vector<const dir_t*>& selection, bool jpeg_only);

// Renames path ("A.JPG" -> "A(1).JPG" -> "A(2).JPG") until nothing of that
// name exists.
std::string MakeUniqueOutputName(const std::string& path);

// A name as it can be written: "(unnamed)" for an empty one, and at most
// kMaxNameBytes of UTF-8, cut on a character boundary, its extension kept.
std::string FitOutputName(const std::string& name);

// Writes a file's runs to path, streamed in chunks of about a megabyte.
// A failure is shown ("File %s: write error %d"), or, when failure is given,
// described there instead (no box). A stop request ends the write early and
// leaves no failure.
bool WriteRecoveredFile(Engine& e, std::span<const ByteRun> runs, const std::string& path,
                        std::string* failure = nullptr, std::stop_token stop = {});
// The same for a catalogue item.
bool WriteRecoveredFile(Engine& e, const dir_t& item, const std::string& path,
                        std::string* failure = nullptr, std::stop_token stop = {});

// An item that could not be written, with the reason in the system's words.
struct SaveFailure {
    std::string path;    // relative to the output directory, as it was to be written
    std::string reason;  // the system's error text ("Permission denied", ...)
};

// What a save did, for the summary at its end (save_summary.hpp).
struct SaveOutcome {
    std::size_t written = 0;  // items written (directories included); failures are not counted
    std::size_t files_written = 0;
    std::uint64_t bytes_written = 0;  // the files' sizes
    // Files found in the destination under their name (or one of its
    // numbered forms) with the same content: not written again.
    std::size_t already_there = 0;
    std::uint64_t bytes_already_there = 0;
    std::vector<SaveFailure> failures;
    // Why the destination was not used (destination.hpp); nothing was written.
    std::string refusal;
    bool cancelled = false;
    bool refused() const { return !refusal.empty(); }
    bool failed() const { return !failures.empty() || refused(); }
};

// Reconstruct mode: each file is read whole (zero runs stay zeros, as a
// damaged picture's missing part) and handed to the filter,
// which puts the bytes to write in `out` or answers why it cannot.
using WholeFileFilter =
    std::function<std::optional<std::string>(Bytes in, std::vector<std::uint8_t>& out)>;

// The save worker: checks the destination first (CheckDestination with the
// bytes the list adds; a refusal ends the save before anything is written)
// and makes it when it is missing, then writes every item of the list into
// it, reporting progress (and reading the cancel request) between items.
// A file already there with the same content (compared by size, then byte
// by byte) is counted and left as it is; one of the same name with other
// content makes the new one take a numbered name. A failing item does not
// stop the save: it is reported to progress.item_failed() at once, listed in
// the outcome, and the next item is attempted. With a filter (reconstruct
// mode), a file the filter refuses is listed with the filter's answer and
// ends the save there. A stop request ends the save as a cancel does, within
// the file being written.
SaveOutcome SaveItems(Engine& e, const std::vector<SaveItem>& list, const std::string& directory,
                      CopyProgress& progress, const WholeFileFilter* filter = nullptr,
                      std::stop_token stop = {});

}  // namespace lk
