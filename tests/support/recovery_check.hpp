// End-to-end helpers: analyse a card image, save everything, and compare the
// saved files with what was put on the card.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "input/copy_progress.hpp"
#include "output/save.hpp"
#include "tests/support/card_builder.hpp"
#include "tests/support/engine_harness.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk::test {

// The tools write directory times in UTC; saved files take them as local time.
inline void use_utc() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

class QuietProgress final : public CopyProgress {
public:
    void hand_over(int, std::uint32_t) override {}
};

// A camera-style picture (EXIF first, with a thumbnail), different per seed.
inline std::vector<std::uint8_t> camera_picture(std::uint32_t seed, int width = 640, int height = 480) {
    tools::JpegOptions o;
    o.seed = seed;
    o.width = width;
    o.height = height;
    return tools::make_jpeg(o);
}

inline std::vector<std::uint8_t> slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every regular file under dir, by its path relative to dir.
inline std::map<std::string, std::filesystem::path> files_under(const std::filesystem::path& dir) {
    std::map<std::string, std::filesystem::path> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[std::filesystem::relative(e.path(), dir).generic_string()] = e.path();
    return out;
}

inline SaveOutcome save_all(EngineHarness& h, const std::filesystem::path& dir) {
    QuietProgress progress;
    return SaveItems(h.engine, BuildSaveList(h.engine, {}, false), dir.string(), progress);
}

// Each file comes back at its path with its bytes, its time (rounded down to
// two seconds, as FAT keeps it) and its read-only flag.
inline void expect_recovered(const std::vector<CardFile>& files, const std::filesystem::path& dir) {
    for (const CardFile& f : files) {
        const std::filesystem::path p = dir / f.path;
        SCOPED_TRACE(f.path);
        ASSERT_TRUE(std::filesystem::is_regular_file(p)) << "missing";
        EXPECT_TRUE(slurp(p) == f.bytes) << "bytes differ (" << std::filesystem::file_size(p) << " vs "
                                         << f.bytes.size() << ")";
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, f.mtime / 2 * 2);
        EXPECT_EQ((st.st_mode & S_IWUSR) == 0, f.read_only);
    }
}

}  // namespace lk::test
