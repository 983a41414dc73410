#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "input/input.hpp"
#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

using test::FaultBackend;

class Reading : public ::testing::Test {
protected:
    void SetUp() override { status.attach(); }

    FaultBackend& open(std::int64_t size) {
        auto backend = std::make_unique<FaultBackend>(size, log);
        FaultBackend& ref = *backend;
        EXPECT_TRUE(input.OpenBackend(std::move(backend), "test device"));
        input.input_size = size;
        log->calls.clear();  // opening looks for a card image header
        return ref;
    }
    // Reads of exactly one sector at `sector` (the sector-by-sector path).
    int sector_reads(std::int64_t sector) const {
        int n = 0;
        for (const auto& c : log->calls) n += c.offset == sector * 512 && c.length == 512;
        return n;
    }
    ::testing::AssertionResult matches_device(const std::vector<std::uint8_t>& buf,
                                              std::int64_t offset, std::int64_t from_sector,
                                              std::int64_t to_sector, const FaultBackend& dev) {
        for (std::int64_t s = from_sector; s < to_sector; ++s)
            for (std::int64_t i = s * 512; i < (s + 1) * 512; ++i)
                if (buf[static_cast<std::size_t>(i - offset)] != dev.at(i))
                    return ::testing::AssertionFailure() << "byte " << i << " differs";
        return ::testing::AssertionSuccess();
    }
    static bool all_bytes(const std::vector<std::uint8_t>& buf, std::size_t from, std::size_t n,
                          std::uint8_t value) {
        for (std::size_t i = from; i < from + n; ++i)
            if (buf[i] != value) return false;
        return true;
    }

    test::RecordingReporter reporter;
    Status status{&reporter};
    Input input{status};
    std::shared_ptr<FaultBackend::Log> log = std::make_shared<FaultBackend::Log>();
};

TEST_F(Reading, BadSectorReadsAsFillOnceThenAsZerosWithoutSecondReport) {
    FaultBackend& dev = open(1 << 20);
    dev.bad = {10};
    std::vector<std::uint8_t> buf(65536);

    ASSERT_EQ(input.ReadAt(0, buf.data(), buf.size()), 65536);
    EXPECT_TRUE(all_bytes(buf, 10 * 512, 512, 0xFF));
    EXPECT_TRUE(matches_device(buf, 0, 0, 10, dev));
    EXPECT_TRUE(matches_device(buf, 0, 11, 128, dev));
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0], "READ ERROR AT 5120, READ -1: Input/output error");
    EXPECT_EQ(input.read_errors(), 1u);
    EXPECT_TRUE(input.IsBadSector(10 * 512 + 100));
    EXPECT_FALSE(input.IsBadSector(11 * 512));

    // Move the read-ahead window away, then read the block again.
    ASSERT_EQ(input.ReadAt(512 * 1024, buf.data(), 4096), 4096);
    const int reads_of_bad = log->touching(10);
    ASSERT_EQ(input.ReadAt(0, buf.data(), buf.size()), 65536);
    EXPECT_TRUE(all_bytes(buf, 10 * 512, 512, 0x00));
    EXPECT_TRUE(matches_device(buf, 0, 11, 128, dev));
    EXPECT_EQ(log->touching(10), reads_of_bad) << "a known bad sector is not read again";
    EXPECT_EQ(sector_reads(10), 1);
    EXPECT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(input.read_errors(), 1u);
}

TEST_F(Reading, SeventeenthFailureInABlockGivesUpTheRest) {
    struct Case {
        int failures;
        bool gives_up;
    };
    for (const Case c : {Case{16, false}, Case{17, true}}) {
        SCOPED_TRACE(c.failures);
        log->calls.clear();
        reporter.lines.clear();
        FaultBackend& dev = open(1 << 20);
        for (int i = 0; i < c.failures; ++i) dev.bad.insert(2 * i);  // every other sector
        std::vector<std::uint8_t> buf(65536);
        const std::int64_t good = c.gives_up ? c.failures - 1 : 128 - c.failures;
        EXPECT_EQ(input.block_read(0, buf.data(), buf.size()), good * 512);

        const std::int64_t last_bad = 2 * (c.failures - 1);
        EXPECT_EQ(input.read_errors(), static_cast<std::uint32_t>(c.failures));
        EXPECT_EQ(reporter.lines.size(), static_cast<std::size_t>(c.failures));
        for (std::int64_t s = 1; s < last_bad; s += 2) {
            EXPECT_EQ(sector_reads(s), 1) << s;
            EXPECT_TRUE(matches_device(buf, 0, s, s + 1, dev));
        }
        for (std::int64_t s = last_bad + 1; s < 128; ++s) {
            if (!c.gives_up) {
                EXPECT_EQ(sector_reads(s), 1) << s;
                EXPECT_FALSE(input.IsBadSector(s * 512)) << s;
            } else {
                EXPECT_EQ(sector_reads(s), 0) << s;
                EXPECT_TRUE(input.IsBadSector(s * 512)) << s;
            }
        }
        if (!c.gives_up) {
            EXPECT_TRUE(matches_device(buf, 0, last_bad + 1, 128, dev));
        }
    }
}

TEST_F(Reading, FastReadOffReadsEveryBlockSectorBySector) {
    struct Case {
        bool fast_read;
        std::size_t calls;
        std::size_t call_length;
    };
    for (const Case c : {Case{true, 2, 65536}, Case{false, 256, 512}}) {
        SCOPED_TRACE(c.fast_read);
        log->calls.clear();
        FaultBackend& dev = open(1 << 20);
        input.fast_read = c.fast_read;
        std::vector<std::uint8_t> buf(131072);
        for (std::size_t at = 0; at < buf.size(); at += 32768)
            ASSERT_EQ(input.ReadAt(static_cast<std::int64_t>(at), buf.data() + at, 32768), 32768);
        EXPECT_TRUE(matches_device(buf, 0, 0, 256, dev));
        EXPECT_EQ(log->calls.size(), c.calls);
        for (const auto& call : log->calls) EXPECT_EQ(call.length, c.call_length);
    }
}

TEST_F(Reading, ReadStartingInsideTheWindowIsFinishedByARefillAtItsEnd) {
    FaultBackend& dev = open(1 << 20);
    std::vector<std::uint8_t> buf(8192);
    ASSERT_EQ(input.ReadAt(0, buf.data(), 4096), 4096);
    ASSERT_EQ(input.ReadAt(61440, buf.data(), 8192), 8192);
    EXPECT_TRUE(matches_device(buf, 61440, 120, 136, dev));
    ASSERT_EQ(log->calls.size(), 2u);
    EXPECT_EQ(log->calls[1].offset, 65536);
    EXPECT_EQ(log->calls[1].length, 65536u);
}

TEST_F(Reading, TimeOutIsReportedAndTheShortResultKept) {
    FaultBackend& dev = open(1 << 20);
    dev.timeout = {20};
    std::vector<std::uint8_t> buf(65536);
    EXPECT_EQ(input.block_read(0, buf.data(), buf.size()), 20 * 512);
    EXPECT_TRUE(matches_device(buf, 0, 0, 20, dev));
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0], "READ ERROR AT 0, READ 10240: Connection timed out");
    EXPECT_EQ(input.read_errors(), 1u);
    EXPECT_EQ(log->calls.size(), 1u) << "no sector-by-sector retry after a time-out";
}

TEST_F(Reading, DeviceSizeEndsReadsWithoutReportsOrBadSectors) {
    for (bool fast : {true, false}) {
        SCOPED_TRACE(fast);
        log->calls.clear();
        FaultBackend& dev = open(1 << 20);
        input.fast_read = fast;
        input.device_size = 100 * 512;
        std::vector<std::uint8_t> buf(65536, 0xAA);

        EXPECT_EQ(input.block_read(100 * 512, buf.data(), 4096), -2);
        EXPECT_TRUE(all_bytes(buf, 0, 4096, 0));
        EXPECT_TRUE(log->calls.empty());

        // A window refill that crosses the device's end keeps what lies before it.
        ASSERT_EQ(input.ReadAt(96 * 512, buf.data(), 1024), 1024);
        EXPECT_TRUE(matches_device(buf, 96 * 512, 96, 98, dev));
        EXPECT_EQ(input.ReadAt(98 * 512, buf.data(), 4096), -2);
        EXPECT_TRUE(matches_device(buf, 98 * 512, 98, 100, dev));
        EXPECT_TRUE(all_bytes(buf, 1024, 3072, 0));
        EXPECT_TRUE(reporter.lines.empty());
        EXPECT_FALSE(input.IsBadSector(100 * 512));
        EXPECT_FALSE(input.IsBadSector(127 * 512));
        input.device_size = 0;
    }
}

TEST_F(Reading, BlockCountThatIsNotWholeSectorsIsAnInternalError) {
    open(1 << 20);
    std::vector<std::uint8_t> buf(1000);
    EXPECT_THROW(static_cast<void>(input.block_read(0, buf.data(), 1000)), FatalError);
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0], "internal error in _wio_read");
}

TEST_F(Reading, ReadInputHonoursTheSectorRange) {
    FaultBackend& dev = open(1 << 20);
    SectorRange range;
    range.start = 64 * 512;
    range.end = 128 * 512;
    struct Case {
        std::int64_t offset;
        bool honour;
        bool buffer;
        std::int64_t want;
        bool touches_device;
    };
    const Case cases[] = {
        {64 * 512, true, true, 4096, true},    // inside
        {120 * 512, true, true, 4096, true},   // ends exactly at the range's end
        {121 * 512, true, true, 0, false},     // ends beyond it
        {0, true, true, 0, false},             // before it
        {0, false, true, 4096, true},          // range not honoured
        {0, true, false, -2, false},           // outside, no buffer
        {64 * 512, true, false, 4096, false},  // inside, no buffer: a probe
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        input.ResetInputCaches();
        log->calls.clear();
        std::vector<std::uint8_t> buf(4096, 0xAA);
        EXPECT_EQ(input.read_input(range, c.offset, c.buffer ? buf.data() : nullptr, buf.size(),
                                   c.honour),
                  c.want);
        EXPECT_EQ(!log->calls.empty(), c.touches_device);
        if (c.buffer && c.want == 0) {
            EXPECT_TRUE(all_bytes(buf, 0, buf.size(), 0));
        }
        if (c.buffer && c.want > 0) {
            EXPECT_TRUE(matches_device(buf, c.offset, c.offset / 512, c.offset / 512 + 8, dev));
        }
    }
}

// A request of several windows goes to the device whole; a piece that does
// not come back whole is read again window by window, so that a bad sector
// costs what it always did.
TEST_F(Reading, LargeRequestsGoToTheDeviceWhole) {
    for (const bool with_bad : {false, true}) {
        SCOPED_TRACE(with_bad);
        FaultBackend& dev = open(8 << 20);
        if (with_bad) dev.bad = {300};
        std::vector<std::uint8_t> buf(Input::kLargeRead + 3 * 65536);
        ASSERT_EQ(input.ReadAt(4096, buf.data(), buf.size()), static_cast<std::int64_t>(buf.size()));
        const std::int64_t first = 4096 / 512, end = first + static_cast<std::int64_t>(buf.size() / 512);
        if (!with_bad) {
            EXPECT_TRUE(matches_device(buf, 4096, first, end, dev));
            ASSERT_EQ(log->calls.size(), 2u);
            EXPECT_EQ(log->calls[0].length, Input::kLargeRead);
            EXPECT_EQ(log->calls[1].length, 3u * 65536);
        } else {
            EXPECT_TRUE(matches_device(buf, 4096, first, 300, dev));
            EXPECT_TRUE(matches_device(buf, 4096, 301, end, dev));
            EXPECT_TRUE(input.IsBadSector(300 * 512));
            EXPECT_EQ(input.read_errors(), 1u);
            EXPECT_EQ(sector_reads(301), 1) << "the bad sector's window is read sector by sector";
        }
    }
}

// The read of a thread that reads ahead sends nothing itself: its read-error
// line waits for the engine's thread to flush it. Where the backend allows
// reads side by side (a regular file), a read is made without the input's
// lock, in one request; one that fails is made again under the lock and
// ends as any other, and one over a sector known bad is made under it.
TEST_F(Reading, ReadingAheadLeavesItsReportsToTheEnginesThread) {
    for (const bool concurrent : {false, true}) {
        SCOPED_TRACE(concurrent);
        FaultBackend& dev = open(1 << 20);
        dev.concurrent = concurrent;
        std::vector<std::uint8_t> buf(65536);
        ASSERT_EQ(input.read_input_ahead(SectorRange{}, 65536, buf.data(), buf.size(), true), 65536);
        EXPECT_TRUE(matches_device(buf, 65536, 128, 256, dev));

        dev.bad = {10};
        log->calls.clear();
        const int values = reporter.values;
        EXPECT_EQ(input.read_input_ahead(SectorRange{}, 0, buf.data(), buf.size(), true), 65536);
        EXPECT_TRUE(matches_device(buf, 0, 11, 128, dev));
        EXPECT_EQ(reporter.values, values);
        EXPECT_TRUE(reporter.lines.empty());
        input.flush_reports();
        ASSERT_EQ(reporter.lines.size(), 1u);
        EXPECT_EQ(reporter.lines[0], "READ ERROR AT 5120, READ -1: Input/output error");
        EXPECT_EQ(sector_reads(11), 1) << "the bad sector's block is read sector by sector";
        // The whole-length request: the unlocked read, then the locked one.
        int whole = 0;
        for (const auto& c : log->calls) whole += c.offset == 0 && c.length == buf.size();
        EXPECT_EQ(whole, concurrent ? 2 : 1);

        // Now the sector is known bad: no read runs into it again.
        log->calls.clear();
        EXPECT_EQ(input.read_input_ahead(SectorRange{}, 0, buf.data(), buf.size(), true), 65536);
        EXPECT_EQ(log->touching(10), 0);
        reporter.lines.clear();
        input.CloseInput();
    }
}

TEST_F(Reading, BadSectorsPastTwoTerabytesKeepTheirOwnNumbers) {
    // Sector 2^32 + 5 would alias sector 5 in a 32-bit set.
    const std::int64_t far = (std::int64_t{1} << 32) + 5;
    FaultBackend& dev = open(std::int64_t{3} << 40);
    dev.bad = {far};
    std::vector<std::uint8_t> buf(4096);
    ASSERT_EQ(input.ReadAt(far * 512 - 1024, buf.data(), buf.size()), 4096);
    EXPECT_TRUE(input.IsBadSector(far * 512));
    EXPECT_FALSE(input.IsBadSector(5 * 512));
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0], "READ ERROR AT 2199023258112, READ -1: Input/output error");
    ASSERT_EQ(input.ReadAt(5 * 512, buf.data(), 512), 512);
    EXPECT_TRUE(matches_device(buf, 5 * 512, 5, 6, dev));
}

TEST_F(Reading, EndOfTheCard) {
    FaultBackend& dev = open(1000);  // the device ends inside its second sector
    std::vector<std::uint8_t> buf(1024, 0xAA);
    EXPECT_EQ(input.ReadAt(0, buf.data(), 512), 512);
    EXPECT_TRUE(matches_device(buf, 0, 0, 1, dev));
    // Straddling the end: the bytes that exist, zeros after them, result 0.
    EXPECT_EQ(input.ReadAt(512, buf.data(), 1024), 0);
    for (int i = 0; i < 488; ++i) ASSERT_EQ(buf[i], dev.at(512 + i));
    EXPECT_TRUE(all_bytes(buf, 488, 536, 0));
    EXPECT_EQ(input.ReadAt(1000, buf.data(), 16), 0);
    EXPECT_TRUE(reporter.lines.empty());
}

TEST_F(Reading, OpeningAnotherInputForgetsWhatWasReadFromTheFirst) {
    FaultBackend& first = open(1 << 20);
    first.bad = {3};
    std::vector<std::uint8_t> buf(4096);
    EXPECT_EQ(input.ReadAt(0, buf.data(), buf.size()), 4096);  // the bad sector comes back filled
    ASSERT_TRUE(input.IsBadSector(3 * 512));

    FaultBackend& second = open(1 << 20);
    (void)second;
    std::vector<std::uint8_t> data = test::random_bytes(1 << 16, 7);
    ASSERT_TRUE(input.OpenBackend(std::make_unique<FaultBackend>(data), "other"));
    input.input_size = static_cast<std::int64_t>(data.size());
    EXPECT_FALSE(input.IsBadSector(3 * 512));
    EXPECT_EQ(input.read_errors(), 0u);
    ASSERT_EQ(input.ReadAt(0, buf.data(), buf.size()), 4096);
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data(), buf.size())) << "no stale read-ahead window";
}

}  // namespace
}  // namespace lk
