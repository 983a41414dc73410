// Temporary directories and a small process runner for tests that build their
// inputs with real tools (mkfs.fat, mtools, ffmpeg).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lk::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "lk-test");
    ~TempDir();
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    void remove() noexcept;
    std::filesystem::path path_;
};

struct ProcessResult {
    // The exit status; -1 when the program could not be started or was ended by a signal.
    int exit_code = -1;
    std::string out;
    std::string err;
    bool ok() const { return exit_code == 0; }
};

// Extra environment for a child, NAME=value pairs added to (or replacing) the
// inherited ones. Every child also gets the fixed settings of run_process.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs argv[0] (looked up like find_program) with the given arguments, no shell
// involved; standard input is /dev/null, standard output and error are captured.
// The child always runs with MTOOLS_SKIP_CHECK=1 (images made by other tools
// must not be refused), TZ=UTC (so the DOS times mtools writes equal the files'
// UTC modification times) and LC_ALL=C.UTF-8 (so mtools reads names as UTF-8).
ProcessResult run_process(const std::vector<std::string>& argv, const Environment& extra = {});

// run_process that throws std::runtime_error naming the command line, its exit
// status and its standard error when the program fails.
ProcessResult run_checked(const std::vector<std::string>& argv, const Environment& extra = {});

// A program by name in PATH, then in /usr/sbin and /sbin (where mkfs.fat lives
// and which an ordinary user's PATH often lacks).
std::optional<std::filesystem::path> find_program(const std::string& name);

// A file's whole content; throws std::runtime_error when it cannot be read.
std::vector<std::uint8_t> read_whole(const std::filesystem::path& file);

// The command line quoted for a failure message.
std::string describe_command(const std::vector<std::string>& argv);

// How a program interrupted with SIGINT (a Ctrl-C) ended.
struct InterruptedRun {
    bool interrupted = false;  // the signal was sent
    int status = 0;            // as waitpid gives it
    std::string err;           // its standard error
};

// Runs argv[0] (a path) with the given arguments, standard output to
// /dev/null, and reads its standard error as it comes: after each piece,
// when(err so far) is asked, and SIGINT is sent the first time it says yes.
InterruptedRun run_interrupting(const std::vector<std::string>& argv,
                                const std::function<bool(const std::string& err)>& when);

}  // namespace lk::test
