#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace lk::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    remove();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

void TempDir::remove() noexcept {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
    path_.clear();
}

namespace {

// Owns one file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    return {Fd(fds[0]), Fd(fds[1])};
}

// posix_spawn file actions and attributes, destroyed on every path.
struct SpawnActions {
    posix_spawn_file_actions_t a;
    SpawnActions() { posix_spawn_file_actions_init(&a); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&a); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

std::vector<std::string> child_environment(const Environment& extra) {
    Environment fixed = {{"MTOOLS_SKIP_CHECK", "1"}, {"TZ", "UTC"}, {"LC_ALL", "C.UTF-8"}};
    fixed.insert(fixed.end(), extra.begin(), extra.end());
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    for (const auto& pair : fixed) {
        // The fixed settings replace inherited ones; a later pair for the same name wins.
        const std::string prefix = pair.first + "=";
        std::erase_if(env, [&](const std::string& s) { return s.starts_with(prefix); });
        env.push_back(prefix + pair.second);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    p.reserve(strings.size() + 1);
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

std::optional<fs::path> find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) == 0) return fs::path(name);
        return std::nullopt;
    }
    std::string dirs;
    if (const char* p = std::getenv("PATH")) dirs = p;
    dirs += ":/usr/sbin:/sbin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (end > start) {
            fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
            std::error_code ec;
            if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::string describe_command(const std::vector<std::string>& argv) {
    std::string s;
    for (const auto& a : argv) {
        if (!s.empty()) s += ' ';
        if (a.find_first_of(" \t'\"") == std::string::npos && !a.empty()) {
            s += a;
        } else {
            s += '\'';
            for (char c : a) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
            s += '\'';
        }
    }
    return s;
}

ProcessResult run_process(const std::vector<std::string>& argv, const Environment& extra) {
    ProcessResult result;
    if (argv.empty()) {
        result.err = "empty command line";
        return result;
    }
    auto program = find_program(argv[0]);
    if (!program) {
        result.err = argv[0] + ": program not found";
        return result;
    }

    Pipe out = make_pipe();
    Pipe err = make_pipe();
    SpawnActions actions;
    posix_spawn_file_actions_addopen(&actions.a, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.a, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions.a, err.write.get(), 2);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = child_environment(extra);
    auto arg_ptrs = pointers(args);
    auto env_ptrs = pointers(env);

    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, program->c_str(), &actions.a, nullptr, arg_ptrs.data(),
                           env_ptrs.data());
    out.write.reset();
    err.write.reset();
    if (rc != 0) {
        result.err = argv[0] + ": " + std::strerror(rc);
        return result;
    }

    // Drain both pipes together so a chatty child never blocks on a full one.
    std::array<pollfd, 2> fds{pollfd{out.read.get(), POLLIN, 0}, pollfd{err.read.get(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

ProcessResult run_checked(const std::vector<std::string>& argv, const Environment& extra) {
    ProcessResult r = run_process(argv, extra);
    if (!r.ok())
        throw std::runtime_error(describe_command(argv) + " failed (exit " +
                                 std::to_string(r.exit_code) + "): " + r.err);
    return r;
}

std::vector<std::uint8_t> read_whole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> out(std::filesystem::file_size(file));
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return out;
}

InterruptedRun run_interrupting(const std::vector<std::string>& argv,
                                const std::function<bool(const std::string& err)>& when) {
    InterruptedRun run;
    int err_pipe[2];
    if (::pipe(err_pipe) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_pipe[1]);
    if (spawned != 0) {
        ::close(err_pipe[0]);
        throw std::runtime_error("cannot start " + describe_command(argv));
    }
    char buf[4096];
    for (ssize_t n; (n = ::read(err_pipe[0], buf, sizeof buf)) > 0;) {
        run.err.append(buf, static_cast<std::size_t>(n));
        if (!run.interrupted && when(run.err)) {
            ::kill(pid, SIGINT);
            run.interrupted = true;
        }
    }
    ::close(err_pipe[0]);
    ::waitpid(pid, &run.status, 0);
    return run;
}

}  // namespace lk::test
