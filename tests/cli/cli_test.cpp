// lumenkeeper-cli end to end: the built program on a 50 MB random image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "input/card_image.hpp"
#include "input/input.hpp"
#include "input/platform.hpp"
#include "tests/support/process.hpp"

extern char** environ;

namespace lk {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> md5_of(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> digest(16);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_md5(), nullptr);
    return digest;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) s += {digits[b >> 4], digits[b & 15]};
    return s;
}

class Cli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The program speaks the user's language; these tests read its English.
        ::setenv("LC_ALL", "C", 1);
        std::string tmpl = (fs::temp_directory_path() / "lk_cli_XXXXXX").string();
        dir_ = new fs::path(::mkdtemp(tmpl.data()));
        source_ = new std::vector<std::uint8_t>(50 * 1024 * 1024);
        std::mt19937_64 gen(1234);
        for (std::size_t i = 0; i < source_->size(); i += 8) {
            const std::uint64_t v = gen();
            std::memcpy(source_->data() + i, &v, 8);
        }
        std::ofstream(source_path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(source_->data()),
                   static_cast<std::streamsize>(source_->size()));
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*dir_, ec);
        delete dir_;
        delete source_;
    }

    static fs::path dir() { return *dir_; }
    static std::string source_path() { return (*dir_ / "source.img").string(); }
    static const std::vector<std::uint8_t>& source() { return *source_; }

    // Runs the program with its output in files.
    static Outcome run(const std::vector<std::string>& args) {
        const fs::path out = dir() / "stdout.txt", err = dir() / "stderr.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> all{LK_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        Outcome r;
        if (posix_spawn(&pid, LK_CLI_PATH, &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        r.out = slurp_text(out);
        r.err = slurp_text(err);
        return r;
    }

    static fs::path* dir_;
    static std::vector<std::uint8_t>* source_;
};

fs::path* Cli::dir_ = nullptr;
std::vector<std::uint8_t>* Cli::source_ = nullptr;

TEST_F(Cli, DuplicateMakesACompleteImageAndLeavesTheSourceAlone) {
    struct stat before {};
    ASSERT_EQ(stat(source_path().c_str(), &before), 0);
    const std::string image = (dir() / "card.cib").string();

    const Outcome r = run({"duplicate", source_path(), image});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Image has been successfully created\nRead errors: 0\n"),
              std::string::npos)
        << r.out;
    // stderr is a file here: plain progress lines, no redrawn bar.
    EXPECT_NE(r.err.find("Creating card image backup... 100%"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);

    const std::uint64_t n = source().size();
    const auto file = slurp(image);
    ASSERT_EQ(file.size(), n + 190);
    const Bytes b(file);
    EXPECT_TRUE(matches(b, 0, Bytes(kCibMagic)));
    EXPECT_TRUE(matches(b, 176, Bytes(kCibMagic)));
    EXPECT_TRUE(matches(b, n + 183, Bytes(kCibMagic)));
    EXPECT_EQ(b[7], 1);
    EXPECT_EQ(b[168], 1);
    EXPECT_EQ(le64(b, 12), n);
    EXPECT_EQ(le32(b, 20), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data() + 24)),
              "File " + source_path());
    const auto digest = md5_of(source());
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), file.begin() + 152));
    EXPECT_TRUE(fs::exists(dir() / "lumenkeeper.log"));

    const Outcome info = run({"info", image});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("Size: 52,428,800 bytes (52 MB)\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("MD5: " + hex(digest)), std::string::npos) << info.out;

    Status status;
    Input input(status);
    ASSERT_TRUE(input.OpenInputFile(image));
    input.input_size = input.InputSize(true, -1);
    ASSERT_EQ(input.input_size, static_cast<std::int64_t>(n));
    std::vector<std::uint8_t> back(n);
    for (std::size_t at = 0; at < n; at += 1 << 20)
        ASSERT_EQ(input.ReadAt(static_cast<std::int64_t>(at), back.data() + at, 1 << 20), 1 << 20);
    EXPECT_TRUE(back == source());

    // Neither duplicating nor reading wrote to the source.
    struct stat after {};
    ASSERT_EQ(stat(source_path().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_TRUE(slurp(source_path()) == source());

    // Damaged copies of the image.
    struct Case {
        const char* what;
        std::size_t keep;  // bytes of the image kept
        int version;       // byte 7
        const char* size_line;
        bool incomplete_line;
        bool header_shown;
    };
    const Case cases[] = {
        {"trailer cut off", n + 183, 1, "Size: 52,428,800 bytes", true, true},
        {"version changed", n + 190, 7, "Size: 52,428,990 bytes", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path damaged = dir() / "damaged.cib";
        {
            std::ofstream out(damaged, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(file.data()),
                      static_cast<std::streamsize>(c.keep));
            out.seekp(7);
            out.put(static_cast<char>(c.version));
        }
        const Outcome d = run({"info", damaged.string()});
        ASSERT_EQ(d.code, 0) << d.err;
        EXPECT_NE(d.out.find(c.size_line), std::string::npos) << d.out;
        EXPECT_EQ(d.err.find("The card image file is incomplete, continuing anyway...") !=
                      std::string::npos,
                  c.incomplete_line)
            << d.err;
        EXPECT_EQ(d.out.find("Card image header:") != std::string::npos, c.header_shown);
    }
}

TEST_F(Cli, ExitCodes) {
    const fs::path folder = dir() / "folder";  // an output that cannot be created
    fs::create_directory(folder);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string shows;  // in stdout or stderr
    };
    const Case cases[] = {
        {{"--help"}, 0, "duplicate"},
        {{"drives", "--help"}, 0, "-L"},
        {{"info", "--help"}, 0, "INPUT"},
        {{"duplicate", "--help"}, 0, "OUTPUT"},
        {{"drives"}, 0, "Logical drives:"},
        {{}, 2, "A subcommand is required"},
        {{"info"}, 2, "INPUT is required"},
        {{"duplicate", source_path()}, 2, "OUTPUT is required"},
        {{"info", "/no/such/card.img"},
         1,
         "Error: Can't open the input drive: No such file or directory"},
        // The free space of a missing directory is unknown: too little.
        {{"duplicate", source_path(), "/no/such/dir/card.cib"},
         1,
         "Error: Sorry, not enough free disk space to duplicate the card"},
        {{"duplicate", source_path(), folder.string()},
         1,
         "Error: File " + folder.string() + ": create file error 21"},  // EISDIR
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)"
                                    : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE((r.out + r.err).find(c.shows), std::string::npos) << r.out << r.err;
    }
}

TEST_F(Cli, CtrlCCancelsTheDuplicationAndDeletesTheOutput) {
    // A sparse 1 GB input takes seconds to copy: long enough to interrupt.
    const fs::path big = dir() / "big.img";
    { std::ofstream(big, std::ios::binary); }
    fs::resize_file(big, std::uint64_t{1} << 30);
    if (FreeSpace(dir().string()) < (std::int64_t{5} << 30))
        GTEST_SKIP() << "not enough free space in " << dir() << " for the image";
    const fs::path image = dir() / "big.cib";

    // Interrupt once the copy has started (its first progress line).
    const test::InterruptedRun interrupted = test::run_interrupting(
        {LK_CLI_PATH, "duplicate", big.string(), image.string()},
        [](const std::string& err) { return err.find("Creating card image backup...") != std::string::npos; });
    const std::string& err = interrupted.err;
    const int status = interrupted.status;
    ASSERT_TRUE(interrupted.interrupted) << err;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal instead of stopping cleanly";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(err.find("Cancelled; the image file has been deleted"), std::string::npos) << err;
    EXPECT_EQ(err.find("100%"), std::string::npos) << "the copy ran to its end: " << err;
    EXPECT_FALSE(fs::exists(image));
    fs::remove(big);
}

}  // namespace
}  // namespace lk
