#include "tests/support/testdata.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace lk::test {

std::filesystem::path testdata_dir() {
    if (const char* env = std::getenv("LK_TESTDATA"); env && *env) return env;
    return LK_TESTDATA_DIR;
}

std::filesystem::path testdata(const std::string& name) { return testdata_dir() / name; }

bool have_testdata() {
    std::error_code ec;
    return std::filesystem::is_directory(testdata_dir(), ec);
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = std::uint8_t(rng());
    return v;
}

}  // namespace lk::test
