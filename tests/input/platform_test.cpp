#include "input/platform.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "input/input.hpp"
#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;

TEST(Platform, FilesOpenReadOnlyEvenWhenWriteProtected) {
    test::TempDirectory dir;
    const fs::path path = dir.path() / "card.img";
    const auto data = test::random_bytes(5000, 1);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 5000);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    int error = -1;
    auto backend = FdBackend::open(path.string(), error);
    ASSERT_TRUE(backend) << error;
    EXPECT_EQ(fcntl(backend->fd(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(backend->size(), 5000);
    std::vector<std::uint8_t> buf(6000);
    EXPECT_EQ(backend->read(0, buf.data(), buf.size(), error), 5000);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));

    EXPECT_FALSE(FdBackend::open((dir.path() / "missing").string(), error));
    EXPECT_EQ(error, ENOENT);
}

TEST(Platform, DrivesOpenedElsewhereAreTakenOnlyReadOnly) {
    test::TempDirectory dir;
    const fs::path path = dir.path() / "drive";
    std::ofstream(path, std::ios::binary) << std::string(4096, 'd');
    test::RecordingReporter reporter;
    Status status(&reporter);
    Input input(status);

    // A descriptor that could write is refused and closed.
    const int writable = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(writable, 0);
    EXPECT_FALSE(input.OpenLogicalDrive("/dev/sdz1", writable));
    EXPECT_EQ(input.last_error(), EINVAL);
    EXPECT_EQ(fcntl(writable, F_GETFD), -1) << "left open";

    const int readable = ::open(path.c_str(), O_RDONLY);
    ASSERT_TRUE(input.OpenLogicalDrive("/dev/sdz1", readable));
    EXPECT_EQ(input.input_name(), "Volume /dev/sdz1");
    input.input_size = input.InputSize(true, -1);
    EXPECT_EQ(input.input_size, 4096);
    std::uint8_t byte = 0;
    EXPECT_EQ(input.ReadAt(100, &byte, 1), 1);
    EXPECT_EQ(byte, 'd');
    input.CloseInput();
    EXPECT_EQ(fcntl(readable, F_GETFD), -1) << "the input owns the descriptor";
}

TEST(Platform, ErrorTexts) {
    struct Case {
        std::string raw, want;
    };
    const Case cases[] = {
        {"Access is denied. ", "Access is denied"},
        {"Data error (cyclic redundancy check).\r\n", "Data error (cyclic redundancy check)"},
        {"Ends with two..", "Ends with two."},
        {"No period", "No period"},
    };
    for (const Case& c : cases) EXPECT_EQ(TidyErrorText(c.raw), c.want);
    EXPECT_EQ(InputErrorText(EIO), "Input/output error");
    EXPECT_EQ(InputErrorText(0), "Error code 0");
}

TEST(Platform, TempDirAndFreeSpace) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(TempDir(), "/var/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(TempDir(), "/tmp/");
    if (old) setenv("TMPDIR", saved.c_str(), 1);

    EXPECT_GT(FreeSpace(TempDir()), 0);
    EXPECT_EQ(FreeSpace("/no/such/directory/at/all"), -1);
}

// A device that reports no size is measured by reads.
TEST(SizeSearch, FindsTheEndByReading) {
    const std::int64_t size = 10'000'000;  // not a whole number of sectors
    auto log = std::make_shared<test::FaultBackend::Log>();
    test::FaultBackend dev(size, log);
    dev.report_size = false;
    struct Case {
        bool exact;
        std::int64_t hint;
        std::int64_t low, high;  // the answer lies in [low, high]
    };
    const Case cases[] = {
        {true, -1, 9'999'872, 9'999'872},
        {false, -1, size - 1'024'000, size},
        {true, 9'900'000, 9'999'872, 9'999'872},  // a hint narrows the interval
        {true, 0, 0, 0},                          // the analysis's call: nothing to search
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hint);
        const std::int64_t got = SearchSize(dev, c.exact, c.hint);
        EXPECT_GE(got, c.low);
        EXPECT_LE(got, c.high);
        EXPECT_EQ(got % 512, 0);
    }

    log->calls.clear();
    int rounds = 0;
    EXPECT_EQ(SearchSize(dev, true, -1, [&](std::int64_t, std::int64_t) { return ++rounds > 3; }),
              0)
        << "cancelled before anything was found to be readable";
    EXPECT_EQ(log->calls.size(), 3u);

    test::RecordingReporter reporter;
    Status status(&reporter);
    Input input(status);
    auto backend = std::make_unique<test::FaultBackend>(size);
    backend->report_size = false;
    ASSERT_TRUE(input.OpenBackend(std::move(backend), "device"));
    EXPECT_EQ(input.InputSize(true, -1), 9'999'872);
    EXPECT_EQ(input.InputSize(true, 0), 0);
}

}  // namespace
}  // namespace lk
