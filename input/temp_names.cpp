#include "input/temp_names.hpp"

#include <sys/stat.h>

#include <ctime>
#include <random>

#include "lang/format.hpp"

namespace lk {

TempNames::TempNames(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

std::string TempNames::TempFileName(const std::string& prefix, const std::string& extension) {
    if (!counter_) {
        std::random_device random;
        counter_ = static_cast<std::uint32_t>(
            static_cast<std::uint64_t>(std::time(nullptr)) * 1000 + random() % 1000);
    }
    std::string name;
    for (int tries = 0; tries < 10'000; ++tries) {
        // Five digits: the counter modulo 100,000.
        name = format("%s%s%05u.%s", dir_, prefix, *counter_ % 100'000, extension);
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) return name;
        ++*counter_;
    }
    return name;
}

}  // namespace lk
