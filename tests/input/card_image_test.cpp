#include "input/card_image.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "input/input.hpp"
#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;
using test::FaultBackend;

std::vector<std::uint8_t> md5_of(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> digest(16);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_md5(), nullptr);
    return digest;
}

std::vector<std::uint8_t> slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An image file's bytes: header, card, trailer.
std::vector<std::uint8_t> image_of(const std::vector<std::uint8_t>& card, bool trailer = true) {
    auto header = encode_cib(make_cib("File card.img", card.size(), 1'700'000'000));
    // Sized first and copied into: GCC 12 at -O2 sees a false out-of-bounds
    // copy in insert() after a vector built from an array.
    std::vector<std::uint8_t> out(header.size() + card.size() + (trailer ? kCibMagic.size() : 0));
    auto at = std::copy(header.begin(), header.end(), out.begin());
    at = std::copy(card.begin(), card.end(), at);
    if (trailer) std::copy(kCibMagic.begin(), kCibMagic.end(), at);
    return out;
}

TEST(CardImageHeader, FieldsSitAtTheirFileOffsets) {
    cib_t h = make_cib("File /cards/a.img", 0x0102030405060708ull, 0x11223344u);
    h.read_errors = 0xAABBCCDDu;
    for (int i = 0; i < 16; ++i) h.md5[i] = static_cast<std::uint8_t>(0xE0 + i);
    const auto b = encode_cib(h);

    EXPECT_EQ(0, std::memcmp(b.data(), kCibMagic.data(), 7));
    EXPECT_EQ(0, std::memcmp(b.data() + 176, kCibMagic.data(), 7));
    EXPECT_EQ(b[7], 1);
    const std::uint8_t time_le[] = {0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(0, std::memcmp(b.data() + 8, time_le, 4));
    const std::uint8_t size_le[] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(0, std::memcmp(b.data() + 12, size_le, 8));
    const std::uint8_t errors_le[] = {0xDD, 0xCC, 0xBB, 0xAA};
    EXPECT_EQ(0, std::memcmp(b.data() + 20, errors_le, 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 24)), "File /cards/a.img");
    EXPECT_EQ(b[152], 0xE0);
    EXPECT_EQ(b[167], 0xEF);
    EXPECT_EQ(b[168], 1);
    for (int i = 169; i < 176; ++i) EXPECT_EQ(b[i], 0) << i;

    auto back = parse_cib(Bytes(b));
    ASSERT_TRUE(back);
    // Packed fields are copied out before gtest binds them to references.
    EXPECT_EQ(std::uint64_t{back->size}, 0x0102030405060708ull);
    EXPECT_EQ(std::uint32_t{back->time}, 0x11223344u);
    EXPECT_EQ(std::uint32_t{back->read_errors}, 0xAABBCCDDu);
    EXPECT_EQ(std::string(back->name), "File /cards/a.img");
    EXPECT_EQ(0, std::memcmp(back->md5, h.md5, 16));
}

TEST(CardImageHeader, LongNameIsCutTo127Characters) {
    const std::string name(200, 'n');
    const auto b = encode_cib(make_cib(name, 1, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 24)), name.substr(0, 127));
    EXPECT_EQ(b[151], 0);
    // A file whose name field has no terminator still parses to 127 characters.
    auto raw = b;
    std::memset(raw.data() + 24, 'x', 128);
    auto h = parse_cib(Bytes(raw));
    ASSERT_TRUE(h);
    EXPECT_EQ(std::string(h->name), std::string(127, 'x'));
}

// Opening images with their trailer, without it, and with a damaged header.
TEST(CardImageInput, RecognitionAndSize) {
    const auto card = test::random_bytes(5000, 11);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
        bool is_image;
        std::int64_t size;
        bool incomplete_line;
    };
    auto no_version = image_of(card);
    no_version[7] = 2;
    auto bad_second_magic = image_of(card);
    bad_second_magic[180] ^= 0xFF;
    auto no_trailer_flag = image_of(card, false);
    no_trailer_flag[168] = 0;
    const Case cases[] = {
        {"complete", image_of(card), true, 5000, false},
        {"trailer cut off", image_of(card, false), true, 5000, true},
        {"version byte changed", no_version, false, 5000 + 190, false},
        {"second magic damaged", bad_second_magic, false, 5000 + 190, false},
        {"no trailer expected", no_trailer_flag, true, 5000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::RecordingReporter reporter;
        Status status(&reporter);
        status.attach();
        Input input(status);
        ASSERT_TRUE(input.OpenBackend(std::make_unique<FaultBackend>(c.file), "File card.cib"));
        EXPECT_EQ(input.card_image() != nullptr, c.is_image);
        EXPECT_EQ(input.InputSize(false, -1), c.size);
        EXPECT_EQ(
            reporter.count_starting("The card image file is incomplete, continuing anyway..."),
            c.incomplete_line ? 1 : 0);

        // The bytes read are the card's for an image, the file's otherwise.
        input.input_size = c.size;
        std::vector<std::uint8_t> got(static_cast<std::size_t>(c.size));
        ASSERT_EQ(input.ReadAt(0, got.data(), got.size()), c.size);
        if (c.is_image) {
            EXPECT_EQ(got, card);
        } else {
            EXPECT_EQ(got, c.file);
        }
    }
}

TEST(CardImageInput, TrailerIsNotReadAsCardBytes) {
    const auto card = test::random_bytes(1000, 5);  // ends inside a sector
    test::RecordingReporter reporter;
    Status status(&reporter);
    Input input(status);
    ASSERT_TRUE(input.OpenBackend(std::make_unique<FaultBackend>(image_of(card)), "x"));
    input.input_size = input.InputSize(false, -1);
    ASSERT_EQ(input.input_size, 1000);
    std::vector<std::uint8_t> got(1024, 0xAA);
    EXPECT_GE(input.block_read(0, got.data(), got.size()), 0);
    EXPECT_TRUE(std::equal(card.begin(), card.end(), got.begin()));
    for (std::size_t i = 1000; i < 1024; ++i) EXPECT_EQ(got[i], 0) << i;
}

// Duplication through the library: the engine function the front ends call.
class Duplicate : public ::testing::Test {
protected:
    struct Progress : CopyProgress {
        std::vector<int> percents;
        int cancel_at = -1;  // cancel at the first hand-over at or above this
        void hand_over(int percent, std::uint32_t) override {
            percents.push_back(percent);
            if (cancel_at >= 0 && percent >= cancel_at && percent < 100) cancel();
        }
    };

    void SetUp() override { status.attach(); }
    void open(std::vector<std::uint8_t> data, std::set<std::int64_t> bad = {}) {
        auto backend = std::make_unique<FaultBackend>(data);
        backend->bad = std::move(bad);
        ASSERT_TRUE(input.OpenBackend(std::move(backend), "File /cards/source.img"));
        input.input_size = static_cast<std::int64_t>(data.size());
    }
    std::string out() const { return dir.str() + "card.cib"; }
    FreeSpaceFn free_space(std::int64_t bytes) const {
        return [bytes](const std::string&) { return bytes; };
    }

    test::TempDirectory dir;
    test::RecordingReporter reporter;
    Status status{&reporter};
    Input input{status};
    Progress progress;
};

TEST_F(Duplicate, ImageHoldsTheCardDigestAndReadErrorsAndReadsBack) {
    auto card = test::random_bytes(600'000, 3);
    open(card, {100});
    ASSERT_EQ(DuplicateCard(input, out(), progress), DuplicateResult::Done);

    // The written card bytes hold 0xFF where the unreadable sector was.
    auto written = card;
    std::fill(written.begin() + 100 * 512, written.begin() + 101 * 512, 0xFF);
    const auto file = slurp(out());
    ASSERT_EQ(file.size(), card.size() + 190);
    auto h = parse_cib(Bytes(file));
    ASSERT_TRUE(h);
    EXPECT_EQ(std::uint64_t{h->size}, card.size());
    EXPECT_EQ(std::uint32_t{h->read_errors}, 1u);
    EXPECT_EQ(h->flags, 1);
    EXPECT_EQ(std::string(h->name), "File /cards/source.img");
    EXPECT_EQ(std::vector<std::uint8_t>(h->md5, h->md5 + 16), md5_of(written));
    EXPECT_TRUE(std::equal(kCibMagic.begin(), kCibMagic.end(), file.end() - 7));

    EXPECT_EQ(progress.percents.front(), 0);
    EXPECT_EQ(progress.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));

    // The read error went to the image log beside the output.
    const auto log = slurp(dir.path() / "lumenkeeper.log");
    EXPECT_NE(std::string(log.begin(), log.end()).find("READ ERROR AT 51200, READ -1"),
              std::string::npos);

    Input image(status);
    ASSERT_TRUE(image.OpenInputFile(out()));
    ASSERT_NE(image.card_image(), nullptr);
    image.input_size = image.InputSize(false, -1);
    ASSERT_EQ(image.input_size, static_cast<std::int64_t>(card.size()));
    std::vector<std::uint8_t> back(card.size());
    ASSERT_EQ(image.ReadAt(0, back.data(), back.size()), static_cast<std::int64_t>(back.size()));
    EXPECT_EQ(back, written);
}

TEST_F(Duplicate, FreeSpaceOfTwiceTheCardIsEnough) {
    const auto card = test::random_bytes(10'000, 1);
    struct Case {
        std::int64_t free;
        DuplicateResult want;
    };
    for (const Case c :
         {Case{20'000, DuplicateResult::Done}, Case{19'999, DuplicateResult::NoSpace},
          Case{-1, DuplicateResult::NoSpace}}) {
        SCOPED_TRACE(c.free);
        fs::remove(out());
        reporter.messages.clear();
        open(card);
        EXPECT_EQ(DuplicateCard(input, out(), progress, free_space(c.free)), c.want);
        EXPECT_EQ(fs::exists(out()), c.want == DuplicateResult::Done);
        if (c.want == DuplicateResult::NoSpace) {
            ASSERT_EQ(reporter.messages.size(), 1u);
            EXPECT_EQ(reporter.messages[0],
                      "Sorry, not enough free disk space to duplicate the card");
        }
    }
}

TEST_F(Duplicate, CancelDeletesTheOutput) {
    open(test::random_bytes(1'000'000, 2));
    progress.cancel_at = 1;  // after the first block
    EXPECT_EQ(DuplicateCard(input, out(), progress), DuplicateResult::Cancelled);
    EXPECT_FALSE(fs::exists(out()));
    EXPECT_EQ(progress.percents.back(), 100);
    EXPECT_TRUE(reporter.messages.empty());
}

TEST_F(Duplicate, CreateAndHeaderWriteErrorsAreShown) {
    open(test::random_bytes(4096, 4));
    const std::string missing = dir.str() + "no/such/dir/card.cib";
    EXPECT_EQ(DuplicateCard(input, missing, progress, free_space(1 << 20)),
              DuplicateResult::CreateFailed);
    // /dev/full accepts the open and fails every write with ENOSPC (28).
    EXPECT_EQ(DuplicateCard(input, "/dev/full", progress, free_space(1 << 20)),
              DuplicateResult::WriteFailed);
    ASSERT_EQ(reporter.messages.size(), 2u);
    EXPECT_EQ(reporter.messages[0], "File " + missing + ": create file error 2");
    EXPECT_EQ(reporter.messages[1], "Backup image header write error 28");
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(Duplicate, DataWriteErrorLeavesAnIncompleteImageThatStillOpens) {
    const auto card = test::random_bytes(600'000, 9);
    open(card);
    // The file size limit lets the header and the first block through.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = kCibSize + 262'144;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto result = DuplicateCard(input, out(), progress);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(result, DuplicateResult::WriteFailed);
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0], "File " + out() + ": write error 27");  // EFBIG
    ASSERT_EQ(fs::file_size(out()), kCibSize + 262'144);

    reporter.lines.clear();
    Input image(status);
    ASSERT_TRUE(image.OpenInputFile(out()));
    EXPECT_EQ(image.InputSize(false, -1), 262'144);
    EXPECT_EQ(reporter.count_starting("The card image file is incomplete, continuing anyway..."),
              1);
    image.input_size = 262'144;
    std::vector<std::uint8_t> back(262'144);
    ASSERT_EQ(image.ReadAt(0, back.data(), back.size()), 262'144);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), card.begin()));
}

}  // namespace
}  // namespace lk
