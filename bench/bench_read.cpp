// Sequential read throughput of the input layer beside `cat FILE > /dev/null`.
//
//   bench_read [FILE]
//
// Without FILE a 1 GiB image is written to the temporary directory and
// removed afterwards. Every measurement runs with the page cache warm (the
// file is read once before timing, and each figure is the best of five
// runs), so the figures compare the code paths rather than the disk.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "input/input.hpp"
#include "input/platform.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kRequest = 32 * 1024;
constexpr int kRuns = 5;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool make_image(const std::string& path, std::int64_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::mt19937_64 gen(42);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    bool ok = true;
    for (std::int64_t done = 0; ok && done < size; done += 1 << 20) {
        for (auto& v : block) v = gen();
        ok = std::fwrite(block.data(), 1, 1 << 20, f) == (1u << 20);
    }
    return std::fclose(f) == 0 && ok;
}

// `cat path > /dev/null`, timed.
double time_cat(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string cat = "cat", file = path;
    char* argv[] = {cat.data(), file.data(), nullptr};
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = seconds_since(start);
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

// The whole input through ReadAt in 32 KiB requests; the checksum keeps the
// reads from being optimised away and shows that every path read the same.
double time_read_at(lk::Input& input, std::uint64_t& checksum) {
    std::vector<std::uint8_t> buf(kRequest);
    checksum = 0;
    const auto start = Clock::now();
    for (std::int64_t at = 0; at < input.input_size; at += kRequest) {
        const auto n =
            static_cast<std::size_t>(std::min<std::int64_t>(kRequest, input.input_size - at));
        if (input.ReadAt(at, buf.data(), n) <= 0) return -1;
        for (std::size_t i = 0; i < n; i += 4096) checksum = checksum * 31 + buf[i];
    }
    return seconds_since(start);
}

template <class F>
double best_of(F&& f) {
    double best = -1;
    for (int i = 0; i < kRuns; ++i) {
        const double s = f();
        if (s < 0) return -1;
        if (best < 0 || s < best) best = s;
    }
    return best;
}

void line(const char* what, std::int64_t bytes, double s, double cat_s) {
    if (s < 0) {
        std::printf("%-34s failed\n", what);
        return;
    }
    const double mbs = static_cast<double>(bytes) / s / 1e6;
    std::printf("%-34s %8.0f MB/s  %5.1f s", what, mbs, s);
    if (cat_s > 0) std::printf("  %5.0f %% of cat", 100.0 * cat_s / s);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    bool made = false;
    if (argc > 1) {
        path = argv[1];
    } else {
        path = lk::TempDir() + "lk_bench_read.img";
        std::printf("writing a 1 GiB image to %s...\n", path.c_str());
        if (!make_image(path, std::int64_t{1} << 30)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        made = true;
    }

    lk::Status status;  // no front end: status sends are dropped
    lk::Input input(status);
    if (!input.OpenInputFile(path)) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(),
                     lk::InputErrorText(input.last_error()).c_str());
        return 1;
    }
    input.input_size = input.InputSize(true, -1);
    const std::int64_t size = input.input_size;
    std::printf("input: %s, %lld bytes, %zu-byte requests, warm page cache, best of %d\n",
                path.c_str(), static_cast<long long>(size), kRequest, kRuns);

    time_cat(path);  // warm the page cache
    const double cat_s = best_of([&] { return time_cat(path); });
    line("cat FILE > /dev/null", size, cat_s, -1);

    std::uint64_t direct_sum = 0, cached_sum = 0;
    input.cache = false;
    const double direct_s = best_of([&] { return time_read_at(input, direct_sum); });
    line("ReadAt, no cache", size, direct_s, cat_s);

    input.cache = true;
    input.PrepareCache(size, true);
    if (!input.has_cache()) {
        std::printf("%-34s no cache file (not enough free space in %s)\n", "ReadAt, cache",
                    input.temp_dir.c_str());
    } else {
        const auto start = Clock::now();
        input.ReserveCache();
        line("cache reservation (copy)", size, seconds_since(start), -1);
        const double cached_s = best_of([&] { return time_read_at(input, cached_sum); });
        line("ReadAt, from the cache file", size, cached_s, cat_s);
        if (cached_sum != direct_sum) std::printf("checksums differ!\n");
    }
    input.ResetInputCaches();
    if (made) ::unlink(path.c_str());
    return 0;
}
