// Unique names for temporary files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lk {

// Names of the form prefix + five digits + "." + extension in one directory.
// The counter is per object (each front end owns one): it starts from the
// clock and a random number and advances only past names that exist, so two
// calls made before the first file is created return the same name.
class TempNames {
public:
    explicit TempNames(std::string dir);

    // The first free name, trying at most 10,000 counter values; the last
    // name tried when none is free.
    std::string TempFileName(const std::string& prefix, const std::string& extension);

private:
    std::string dir_;
    std::optional<std::uint32_t> counter_;
};

}  // namespace lk
