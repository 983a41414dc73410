// The folder a save writes into, looked at before anything is written: it
// is there or can be made, it takes new files, and it has room for what is
// to be written. A save that cannot succeed says why at once, instead of
// failing file by file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input/platform.hpp"
#include "output/save.hpp"

namespace lk {

struct DestinationCheck {
    std::string refusal;  // why the folder cannot be used, in plain words; empty when it can
    bool exists = false;  // false: it, and maybe folders above it, are still to be made
    std::uint64_t needed = 0;
    std::int64_t free = -1;  // bytes free where it is (or will be); -1 when unknown
    bool ok() const { return refusal.empty(); }
};

// Whether directory can take `needed` bytes of new files. Nothing is
// written: a folder that is missing is judged by the nearest folder above it
// that exists. Refusals: a file where a folder should be, a folder that
// cannot be made or written to (with the system's reason), too little room
// ("Not enough room in DIR: needs 2.1 GB, 1.2 GB free"). A free space that cannot
// be known refuses nothing: the writes then say what went wrong.
DestinationCheck CheckDestination(const std::string& directory, std::uint64_t needed,
                                  const FreeSpaceFn& free_space = FreeSpace);

// The bytes that saving the list into directory would add: each file not
// already there with its size (a file of the same size at its path is
// taken for the same, as the save will skip it when it is), counting only
// its bytes that are not zero runs, rounded up to whole blocks.
std::uint64_t BytesToWrite(const std::vector<SaveItem>& list, const std::string& directory);

// Makes directory and the folders above it that are missing; false with the
// reason ("The folder %s cannot be made: Permission denied") when it cannot.
bool MakeFolder(const std::string& directory, std::string& reason);

}  // namespace lk
