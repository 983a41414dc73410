#include "output/destination.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "output/size_words.hpp"

namespace lk {

namespace {

namespace fs = std::filesystem;

// What each file takes on disk at least: a file system hands out whole blocks.
constexpr std::uint64_t kBlockBytes = 4096;

std::string cannot_make(const std::string& directory, const std::string& reason) {
    return format(translate("The folder %s cannot be made: %s"), directory, reason);
}

std::string not_a_folder(const std::string& path) {
    return format(translate("%s is a file, not a folder"), path);
}

}  // namespace

DestinationCheck CheckDestination(const std::string& directory, std::uint64_t needed,
                                  const FreeSpaceFn& free_space) {
    DestinationCheck check;
    check.needed = needed;
    if (directory.empty()) {
        check.refusal = cannot_make(directory, InputErrorText(ENOENT));
        return check;
    }
    // The folder itself, or the nearest one above it that exists.
    std::error_code ec;
    fs::path at = fs::absolute(directory, ec).lexically_normal();
    struct stat st {};
    check.exists = true;
    for (;;) {
        if (::stat(at.c_str(), &st) == 0) break;
        const int error = errno;
        const fs::path up = at.parent_path();
        if ((error != ENOENT && error != ENOTDIR) || up == at) {
            // Not to be looked at ("Permission denied" on a folder above
            // it), or nothing above it at all. A file on the way up is
            // found as such, and named, one step further up.
            check.refusal = cannot_make(directory, InputErrorText(error));
            return check;
        }
        at = up;
        check.exists = false;
    }
    if (!S_ISDIR(st.st_mode)) {
        check.refusal = check.exists ? not_a_folder(directory)
                                     : cannot_make(directory, not_a_folder(at.string()));
        return check;
    }
    // New names need write and search rights in the folder; AT_EACCESS asks
    // with the rights the program runs with, and a read-only mount answers
    // too ("Read-only file system").
    if (::faccessat(AT_FDCWD, at.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const std::string reason = InputErrorText(errno);
        check.refusal = check.exists ? format(translate("The folder %s cannot be written to: %s"),
                                              directory, reason)
                                     : cannot_make(directory, reason);
        return check;
    }
    check.free = free_space ? free_space(at.string()) : -1;
    if (check.free >= 0 && needed > static_cast<std::uint64_t>(check.free)) {
        std::string need = SizeWithUnit(needed),
                    have = SizeWithUnit(static_cast<std::uint64_t>(check.free));
        // Sizes that round to the same text are shown to the byte.
        if (need == have) {
            need = GroupedNumber(needed) + " " + translate("bytes");
            have = GroupedNumber(static_cast<std::uint64_t>(check.free)) + " " + translate("bytes");
        }
        check.refusal =
            format(translate("Not enough room in %s: needs %s, %s free"), directory, need, have);
    }
    return check;
}

std::uint64_t BytesToWrite(const std::vector<SaveItem>& list, const std::string& directory) {
    std::vector<std::string> paths(list.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const SaveItem& item = list[i];
        const std::string& folder = item.parent >= 0 && static_cast<std::size_t>(item.parent) < i
                                        ? paths[item.parent]
                                        : directory;
        paths[i] = item.root ? directory : folder + "/" + FitOutputName(item.leaf);
        if (item.root || item.is_directory()) continue;
        struct stat st {};
        if (::stat(paths[i].c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) == item.size)
            continue;
        std::uint64_t bytes = 0;
        for (const ByteRun& r : item.runs)
            if (!r.zeros()) bytes += r.length;
        total += (bytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    }
    return total;
}

bool MakeFolder(const std::string& directory, std::string& reason) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (!ec) return true;
    // create_directories answers "File exists" for a file in the way.
    struct stat st {};
    reason = ::stat(directory.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)
                 ? not_a_folder(directory)
                 : cannot_make(directory, InputErrorText(ec.value()));
    return false;
}

}  // namespace lk
