// Linux and macOS: commands through posix_spawnp, files through open/read.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/host_texts.hpp"
#include "core/platform/platform.hpp"

extern char** environ;

namespace zeq::platform {
namespace {

namespace failure = core::texts::device_failure;
using core::texts::joined;

using Clock = std::chrono::steady_clock;
using core::ErrorKind;

std::string errno_text(int error, const std::string& what) {
    std::string message = joined(failure::errno_open, std::to_string(error), failure::code_close, std::strerror(error));
    if (!what.empty()) message += joined(failure::path_open, what, failure::quote_end);
    return message;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool open() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe make_pipe() {
    int fds[2];
    // O_CLOEXEC: a child started concurrently by another thread must not
    // inherit our ends (it would keep the pipe open past our child's exit).
#if defined(__APPLE__)
    // macOS has pipe2 only from macOS 27 on: the flag is set right after, which
    // leaves a host thread that forks in between a short window. The layer's
    // own spawns pass only the named descriptors (POSIX_SPAWN_CLOEXEC_DEFAULT).
    if (::pipe(fds) != 0) throw core::Error(ErrorKind::command_failed, errno_text(errno, ""));
    for (const int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0) throw core::Error(ErrorKind::command_failed, errno_text(errno, ""));
#endif
    Pipe p;
    p.read = Fd(fds[0]);
    p.write = Fd(fds[1]);
    return p;
}

// Owns the spawn attribute objects for the duration of one start.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// The command starts with standard input, output and error only: whatever else
// the host has open (files, pipes, sockets without close-on-exec) is closed in
// the child, by the spawn itself. Nothing changes in this process, so host
// threads that fork or spawn at the same time are unaffected.
void close_other_descriptors(SpawnSetup& setup, short& flags) {
#if defined(ZEQ_HAVE_SPAWN_CLOSEFROM) && !defined(ZEQ_SPAWN_CLOSE_FALLBACK)
    (void)flags;
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#elif defined(POSIX_SPAWN_CLOEXEC_DEFAULT) && !defined(ZEQ_SPAWN_CLOSE_FALLBACK)
    // Only the descriptors that the file actions name are inherited.
    (void)setup;
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
    // One close action per descriptor open now (a close of one that is closed by
    // then is ignored). One that another thread opens between this listing and
    // the spawn can still slip through; the host opens its own non-inheritable.
    (void)flags;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == ::dirfd(dir)) continue;
            posix_spawn_file_actions_addclose(&setup.actions, static_cast<int>(fd));
        }
        ::closedir(dir);
        return;
    }
    // No listing: every number the process may use, up to a bound.
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int highest = static_cast<int>(limit > 0 && limit < 65536 ? limit : 65536);
    for (int fd = 3; fd < highest; ++fd) posix_spawn_file_actions_addclose(&setup.actions, fd);
#endif
}

// A started child: killed (with its process group) and reaped on every way out.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            kill_group();
            reap_blocking();
        }
    }
    pid_t pid() const noexcept { return pid_; }
    void kill_group() noexcept {
        ::kill(-pid_, SIGKILL);  // anything the command started in its group
        ::kill(pid_, SIGKILL);
    }
    int reap_blocking() noexcept {
        int status = 0;
        pid_t r;
        do r = ::waitpid(pid_, &status, 0);
        while (r < 0 && errno == EINTR);
        pid_ = -1;
        return r < 0 ? 0 : decode(status);  // ECHILD: the host reaps children itself
    }
    // True once the child has exited; `status` then holds its exit status.
    bool try_reap(int& status) noexcept {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == 0) return false;
        pid_ = -1;
        status = r < 0 ? 0 : decode(raw);
        return true;
    }

private:
    static int decode(int raw) noexcept {
        if (WIFEXITED(raw)) return WEXITSTATUS(raw);
        if (WIFSIGNALED(raw)) return -WTERMSIG(raw);
        return 0;
    }
    pid_t pid_;
};

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

class PosixPlatform final : public Platform {
public:
    explicit PosixPlatform(Interruption& interruption) : interruption_(interruption) {}

    std::string system_name() override {
        struct utsname u;
        if (::uname(&u) != 0) return {};
        return u.sysname;
    }

    std::string host_name() override {
        char buffer[1024] = {};
        if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
        return buffer;
    }

    Completed run(const std::vector<std::string>& argv, ErrorStream errors,
                  std::chrono::milliseconds timeout) override {
        if (argv.empty()) throw core::Error(ErrorKind::command_failed, std::string(failure::empty_command));
        const auto deadline = Clock::now() + timeout;

        Pipe out = make_pipe();
        Pipe err;
        if (errors == ErrorStream::separate) err = make_pipe();

        SpawnSetup setup;
        posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&setup.actions, out.write.get(), 1);
        if (errors == ErrorStream::merged) posix_spawn_file_actions_adddup2(&setup.actions, out.write.get(), 2);
        if (errors == ErrorStream::separate) posix_spawn_file_actions_adddup2(&setup.actions, err.write.get(), 2);
        // The command gets a process group of its own (so a time-out can stop
        // what it started too), an empty signal mask and the default action
        // for the signals the host ignores.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
#ifdef SIGXFSZ
        sigaddset(&defaults, SIGXFSZ);
#endif
        posix_spawnattr_setsigmask(&setup.attr, &none);
        posix_spawnattr_setsigdefault(&setup.attr, &defaults);
        posix_spawnattr_setpgroup(&setup.attr, 0);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
        close_other_descriptors(setup, flags);
        posix_spawnattr_setflags(&setup.attr, flags);

        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);

        pid_t pid = -1;
        const int rc = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
        if (rc != 0) {
            const ErrorKind kind = (rc == ENOENT || rc == ENOTDIR) ? ErrorKind::command_not_found
                                                                   : ErrorKind::command_failed;
            throw core::Error(kind, errno_text(rc, argv[0]));
        }
        Child child(pid);
        out.write.reset();
        err.write.reset();

        Completed result;
        std::size_t total = 0;
        char buffer[65536];
        // What the interruption check throws leaves through `child`, which
        // kills and reaps the command, and the pipes, which close.
        InterruptionSchedule interruption(interruption_);
        auto fail_timeout = [&]() -> core::Error {
            child.kill_group();
            child.reap_blocking();
            return core::Error(ErrorKind::command_timeout, timed_out_text(argv, timeout));
        };

        while (out.read.open() || err.read.open()) {
            pollfd fds[2];
            nfds_t n = 0;
            std::string* sinks[2];
            Fd* owners[2];
            if (out.read.open()) {
                fds[n] = {out.read.get(), POLLIN, 0};
                sinks[n] = &result.out;
                owners[n++] = &out.read;
            }
            if (err.read.open()) {
                fds[n] = {err.read.get(), POLLIN, 0};
                sinks[n] = &result.err;
                owners[n++] = &err.read;
            }
            const int wait = remaining_ms(deadline);
            if (wait == 0) throw fail_timeout();
            const int ready = ::poll(fds, n, interruption.bounded_ms(wait));
            if (ready < 0) {
                if (errno != EINTR) throw core::Error(ErrorKind::command_failed, errno_text(errno, ""));
                interruption.check_now();
                continue;
            }
            interruption.check_if_due();
            for (nfds_t i = 0; i < n; ++i) {
                if (fds[i].revents == 0) continue;
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got < 0) {
                    if (errno == EINTR || errno == EAGAIN) continue;
                    throw core::Error(ErrorKind::command_failed, errno_text(errno, ""));
                }
                if (got == 0) {
                    owners[i]->reset();
                    continue;
                }
                total += static_cast<std::size_t>(got);
                if (total > max_output_bytes)
                    throw core::Error(ErrorKind::command_failed, std::string(failure::output_too_large));
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            }
        }

        // Output is complete; the command may still take a moment to exit.
        int status = 0;
        for (long nap_us = 200; !child.try_reap(status); nap_us = nap_us < 20000 ? nap_us * 2 : nap_us) {
            if (remaining_ms(deadline) == 0) throw fail_timeout();
            timespec ts{0, nap_us * 1000};
            if (::nanosleep(&ts, nullptr) != 0) interruption.check_now();
            else interruption.check_if_due();
        }
        result.status = status;
        try {
            result.out = decode_utf8_text(result.out);
            result.err = decode_utf8_text(result.err);
        } catch (const core::Error& e) {
            throw core::Error(ErrorKind::command_failed,
                              e.message());  // output that is not text: the command's failure
        }
        return result;
    }

    bool file_exists(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }

    std::string read_text_file(const std::string& path) override {
        int raw;
        do raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        while (raw < 0 && errno == EINTR);
        if (raw < 0) throw core::Error(ErrorKind::system, errno_text(errno, path));
        Fd fd(raw);
        std::string data;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0) {
                if (errno == EINTR) continue;
                throw core::Error(ErrorKind::system, errno_text(errno, path));
            }
            if (got == 0) break;
            data.append(buffer, static_cast<std::size_t>(got));
            if (data.size() > max_output_bytes)
                throw core::Error(ErrorKind::system, joined(failure::file_too_large, path, failure::quote_end));
        }
        return decode_utf8_text(data);
    }

    std::string read_machine_registry_value(const std::string&, const std::string&) override {
        throw core::Error(ErrorKind::system, std::string(failure::no_registry));
    }

private:
    Interruption& interruption_;
};

}  // namespace

std::unique_ptr<Platform> make_system_platform(Interruption& interruption) {
    return std::make_unique<PosixPlatform>(interruption);
}

}  // namespace zeq::platform
