#include "input/temp_names.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

TEST(TempNames, SameNameUntilTheFileExistsThenTheNext) {
    test::TempDirectory dir;
    TempNames names(dir.path().string());
    const std::string first = names.TempFileName("lumenkeeper", "dll");
    EXPECT_TRUE(std::regex_match(first, std::regex(dir.str() + "lumenkeeper[0-9]{5}\\.dll")))
        << first;
    EXPECT_EQ(names.TempFileName("lumenkeeper", "dll"), first);

    std::ofstream(first) << "x";
    const std::string second = names.TempFileName("lumenkeeper", "dll");
    EXPECT_NE(second, first);
    EXPECT_FALSE(std::filesystem::exists(second));
}

}  // namespace
}  // namespace lk
