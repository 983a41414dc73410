#include "input/cache.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "input/input.hpp"
#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;
using test::FaultBackend;

class Cache : public ::testing::Test {
protected:
    void SetUp() override {
        status.attach();
        input.temp_dir = tmp.str();
        input.free_space = [this](const std::string&) { return free_bytes; };
    }
    void open(const std::vector<std::uint8_t>& data, Input& in) {
        ASSERT_TRUE(in.OpenBackend(std::make_unique<FaultBackend>(data, log), "card"));
        in.input_size = static_cast<std::int64_t>(data.size());
        log->calls.clear();
    }
    // The whole card through ReadAt, in unaligned pieces of an odd length.
    std::vector<std::uint8_t> read_all(Input& in, std::size_t piece) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(in.input_size));
        for (std::size_t at = 0; at < out.size(); at += piece) {
            const std::size_t n = std::min(piece, out.size() - at);
            EXPECT_EQ(in.ReadAt(static_cast<std::int64_t>(at), out.data() + at, n), static_cast<std::int64_t>(n));
        }
        return out;
    }
    bool temp_dir_is_empty() const { return fs::is_empty(tmp.path()); }

    test::TempDirectory tmp;
    std::int64_t free_bytes = std::int64_t{1} << 40;
    test::RecordingReporter reporter;
    Status status{&reporter};
    Input input{status};
    std::shared_ptr<FaultBackend::Log> log = std::make_shared<FaultBackend::Log>();
};

TEST_F(Cache, ServesTheBytesADirectReadGives) {
    // Not a whole number of sectors.
    auto data = test::random_bytes(3'000'100, 21);
    struct Case {
        bool reserve;
    };
    for (const Case c : {Case{true}, Case{false}}) {
        SCOPED_TRACE(c.reserve);
        Input direct(status);
        direct.cache = false;
        open(data, direct);
        const auto want = read_all(direct, 7'777);
        ASSERT_FALSE(direct.has_cache());

        open(data, input);
        input.PrepareCache(input.input_size, true);
        ASSERT_TRUE(input.has_cache());
        if (c.reserve) input.ReserveCache();
        EXPECT_EQ(read_all(input, 7'777), want);  // reserved, or filled while reading
        const std::size_t calls = log->calls.size();
        EXPECT_EQ(read_all(input, 4'096), want);  // served by the file alone
        EXPECT_EQ(log->calls.size(), calls);
    }
    EXPECT_TRUE(temp_dir_is_empty()) << "the cache file is unlinked as soon as it is open";
}

TEST_F(Cache, KnownBadSectorsKeepTheirBytesInTheCache) {
    auto data = test::random_bytes(1 << 20, 22);
    auto backend = std::make_unique<FaultBackend>(data, log);
    backend->bad = {7};
    ASSERT_TRUE(input.OpenBackend(std::move(backend), "card"));
    input.input_size = 1 << 20;
    input.PrepareCache(input.input_size, true);
    input.ReserveCache();
    EXPECT_EQ(input.read_errors(), 1u);
    std::vector<std::uint8_t> buf(512);
    ASSERT_EQ(input.ReadAt(7 * 512, buf.data(), buf.size()), 512);
    EXPECT_EQ(buf, std::vector<std::uint8_t>(512, 0xFF)) << "what the reservation read";
    EXPECT_EQ(input.read_errors(), 1u);
}

TEST_F(Cache, NeedsTheCardSizePlusAMarginOfFreeSpace) {
    const auto data = test::random_bytes(100'000, 23);  // a cache of 100,352 bytes
    const std::int64_t need = 100'352 + kCacheFreeMargin;
    struct Case {
        std::int64_t free;
        bool created;
    };
    for (const Case c : {Case{need, true}, Case{need - 1, false}, Case{-1, false}}) {
        SCOPED_TRACE(c.free);
        reporter.lines.clear();
        open(data, input);
        free_bytes = c.free;
        input.PrepareCache(input.input_size, true);
        EXPECT_EQ(input.has_cache(), c.created);
        EXPECT_EQ(reporter.count_starting(
                      "Not enough free disk space to create the cache file, disabling caching..."),
                  c.created ? 0 : 1);
    }
}

TEST_F(Cache, FileLifecycle) {
    const auto data = test::random_bytes(200'000, 24);
    // A stale file of the same name (left by a crash) is replaced.
    std::ofstream(tmp.path() / kCacheFileName) << "stale";
    open(data, input);
    input.PrepareCache(input.input_size, true);
    ASSERT_TRUE(input.has_cache());
    EXPECT_TRUE(temp_dir_is_empty());

    // Preparing again with `replace` false and the same size keeps the cache
    // and what it holds.
    std::vector<std::uint8_t> buf(4096);
    ASSERT_EQ(input.ReadAt(0, buf.data(), buf.size()), static_cast<std::int64_t>(buf.size()));
    const std::size_t calls = log->calls.size();
    input.PrepareCache(input.input_size, false);
    ASSERT_EQ(input.ReadAt(0, buf.data(), buf.size()), static_cast<std::int64_t>(buf.size()));
    EXPECT_EQ(log->calls.size(), calls);

    input.ResetInputCaches();
    EXPECT_FALSE(input.has_cache());

    // With the option off nothing is created.
    input.cache = false;
    input.PrepareCache(input.input_size, true);
    EXPECT_FALSE(input.has_cache());
    EXPECT_TRUE(temp_dir_is_empty());
}

TEST_F(Cache, CancelledReservationLeavesTheRestToTheCard) {
    const auto data = test::random_bytes(1'000'000, 25);
    struct CancelOnProgress : test::RecordingReporter {
        Status* status = nullptr;
        void value_changed(std::uint32_t code, std::uint64_t value) override {
            if (code == ST_PROGRESS && value > 0) status->RequestCancel();
        }
    } cancelling;
    cancelling.status = &status;
    status.set_reporter(&cancelling);
    open(data, input);
    input.PrepareCache(input.input_size, true);
    input.ReserveCache();  // cancelled after its first block
    status.ResetCancel();
    // Every byte is the card's, not zeros from sectors never copied.
    EXPECT_EQ(read_all(input, 65'536), data);
    status.set_reporter(&reporter);
}

}  // namespace
}  // namespace lk
