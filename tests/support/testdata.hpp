// Where the shared sample files are, and a skip when they are absent; bytes
// made up for tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lk::test {

// The sample folder (LK_TESTDATA overrides the configured one).
std::filesystem::path testdata_dir();
// A sample by its relative path inside the folder.
std::filesystem::path testdata(const std::string& name);
bool have_testdata();
std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
// n bytes that look random, the same for the same seed.
std::vector<std::uint8_t> noise(std::size_t n, unsigned seed);

}  // namespace lk::test

// Skips the current test with a clear message when the sample folder is absent.
#define LK_REQUIRE_TESTDATA()                                                               \
    do {                                                                                    \
        if (!::lk::test::have_testdata())                                                   \
            GTEST_SKIP() << "sample folder " << ::lk::test::testdata_dir()                  \
                         << " not found; set LK_TESTDATA to the shared testdata folder";    \
    } while (0)
