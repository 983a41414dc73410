// End-to-end helpers: analyse a card image, save everything, and compare the
// saved files with what was put on the card.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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

// The runs of clusters a file put together from pieces lies in (none for
// other files).
inline ClusterRuns pieces_of(const Engine& e, const dir_t& item) {
    if (item.extent.how != ExtentHow::Pieces) return {};
    return cluster_runs(e.geo, item.extent, item.shift);
}

// Whether the file at path holds what the runs hold on the input, read from
// the input itself a megabyte at a time (files of gigabytes are compared too).
inline bool file_holds_runs(Input& input, const std::vector<ByteRun>& runs, const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<std::uint8_t> want(1 << 20), got(1 << 20);
    for (const ByteRun& r : runs) {
        for (std::uint64_t done = 0; done < r.length;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want.size(), r.length - done));
            std::fill_n(want.begin(), n, 0);
            if (!r.zeros() && input.ReadAt(r.offset + static_cast<std::int64_t>(done), want.data(), n) < 0) return false;
            if (!in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n))) return false;
            if (!std::equal(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n), got.begin())) return false;
            done += n;
        }
    }
    return in.peek() == std::ifstream::traits_type::eof();
}

// Saves everything into dir, and checks that every file written holds what
// its runs on the input hold.
inline SaveOutcome save_all(EngineHarness& h, const std::filesystem::path& dir) {
    QuietProgress progress;
    const std::vector<SaveItem> list = BuildSaveList(h.engine, {}, false);
    SaveOutcome outcome = SaveItems(h.engine, list, dir.string(), progress);
    for (const SaveItem& item : list) {
        if (item.root || item.is_directory()) continue;
        if (std::any_of(outcome.failures.begin(), outcome.failures.end(),
                        [&](const SaveFailure& f) { return f.path == item.name; }))
            continue;
        std::uint64_t runs_size = 0;
        for (const ByteRun& r : item.runs) runs_size += r.length;
        EXPECT_EQ(runs_size, item.size) << item.name;
        const std::filesystem::path saved = dir / item.name;
        if (file_holds_runs(h.input, item.runs, saved)) continue;
        // Its name, or its folder's, was taken (or could not be written as
        // it is): it is found by its bytes.
        bool found = false;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            if (!found && entry.is_regular_file() && entry.file_size() == item.size)
                found = file_holds_runs(h.input, item.runs, entry.path());
        EXPECT_TRUE(found) << item.name << ": no saved file holds what its runs hold";
    }
    return outcome;
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
