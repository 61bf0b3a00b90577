// Linux and macOS: commands through posix_spawn, files through open/read.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/syscall.h>  // the process descriptor calls, which the C library may not wrap
#endif
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// The value of `name` in an environment given as NUL-terminated entries.
std::optional<std::string_view> value_of(char* const* entries, std::string_view name) {
    for (char* const* entry = entries; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (text.size() > name.size() && text[name.size()] == '=' && text.substr(0, name.size()) == name)
            return text.substr(name.size() + 1);
    }
    return std::nullopt;
}

// What posix_spawnp does, with the program looked up on the search path of
// `envp` rather than on the live environment's (which posix_spawnp reads
// while the spawn runs). The directories are tried in order as execvp tries
// them: one where the program is missing or cannot be executed is passed
// over, any other failure ends the search; a program found but never
// executable is EACCES, none found ENOENT.
int spawn_on_path(pid_t& pid, const std::string& file, const posix_spawn_file_actions_t& actions,
                  const posix_spawnattr_t& attr, char* const* argv, char* const* envp) {
    if (file.find('/') != std::string::npos) return ::posix_spawn(&pid, file.c_str(), &actions, &attr, argv, envp);
    if (file.empty()) return ENOENT;
    const std::string_view path = value_of(envp, "PATH").value_or("/bin:/usr/bin");  // execvp's own default
    bool denied = false;
    std::string candidate;
    for (std::size_t start = 0;;) {
        const std::size_t colon = path.find(':', start);
        const std::string_view directory = path.substr(start, colon == std::string_view::npos ? colon : colon - start);
        candidate.assign(directory);  // an empty entry is the current directory
        if (!candidate.empty()) candidate += '/';
        candidate += file;
        struct stat st;
        // A directory without the program costs a stat, not a spawn.
        const bool missing = ::stat(candidate.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
        const int rc = missing ? ENOENT : ::posix_spawn(&pid, candidate.c_str(), &actions, &attr, argv, envp);
        switch (rc) {
            case 0: return 0;
            case EACCES: denied = true; break;
            case ENOENT:
            case ESTALE:
            case ENOTDIR:
            case ENODEV:
            case ETIMEDOUT: break;
            default: return rc;
        }
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    return denied ? EACCES : ENOENT;
}

#if defined(__linux__) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal) && !defined(ZEQ_PIDFD_FALLBACK)
#define ZEQ_HAVE_PIDFD 1
#endif

// A started child: killed (with its process group) and reaped on every way out.
//
// Where the kernel has them (Linux 5.4 and later), the child is held by a
// process descriptor, so that signals and waits reach this very process even
// after its PID has gone to another. A host that ignores SIGCHLD has its
// children reaped by the kernel the moment they exit, and a later kill(pid)
// could reach an unrelated process that reused the number; a wait by PID could
// take another thread's child. Without them (an older kernel, a sandbox that
// refuses the calls) the child is held by its PID, as before.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid), group_(pid) { hold(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (group_ > 0) {
            kill_group();
            reap_blocking();
        }
    }
    void kill_group() noexcept {
        if (group_ <= 0) return;  // reaped by this process: nothing of it left to stop
        if (!pidfd_.open() && pid_ > 0) {
            ::kill(-group_, SIGKILL);  // anything the command started in its group
            ::kill(pid_, SIGKILL);
            return;
        }
        // Held by its descriptor, or reaped by the kernel already. The group's
        // number is the child's PID: it is still the group's while the child is
        // not reaped, or while no process holds that number (a member of the
        // group keeps it from being reused); otherwise the group is gone and
        // the number another's.
        const bool unreaped = pidfd_.open() && send(0) == 0;
        if (unreaped || (::kill(group_, 0) != 0 && errno == ESRCH)) ::kill(-group_, SIGKILL);
        if (pidfd_.open()) send(SIGKILL);
    }
    int reap_blocking() noexcept {
        int status = 0;
        while (!wait_for_exit(0, status) && errno == EINTR) {}
        forget();
        return status;
    }
    // True once the child has exited; `status` then holds its exit status.
    bool try_reap(int& status) noexcept {
        if (!wait_for_exit(WNOHANG, status)) return false;
        forget();
        return true;
    }

private:
    static int decode(int raw) noexcept {
        if (WIFEXITED(raw)) return WEXITSTATUS(raw);
        if (WIFSIGNALED(raw)) return -WTERMSIG(raw);
        return 0;
    }

    // True when the child has exited and is reaped (status 0 when the kernel
    // or the host reaped it first); false when it still runs (WNOHANG) or the
    // wait was interrupted (errno EINTR).
    bool wait_for_exit(int options, int& status) noexcept {
        status = 0;
        if (pid_ <= 0) return true;  // reaped already (a wait for -1 would take any child)
#ifdef ZEQ_HAVE_PIDFD
        if (pidfd_.open()) {
            siginfo_t info{};
            if (::waitid(pidfd_type, static_cast<id_t>(pidfd_.get()), &info, WEXITED | options) != 0)
                return errno != EINTR;  // ECHILD: reaped already
            if (info.si_pid == 0) {
                errno = 0;
                return false;  // still running
            }
            status = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
            return true;
        }
#endif
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, options);
        if (r == 0) {
            errno = 0;
            return false;
        }
        if (r < 0) return errno != EINTR;  // ECHILD: the host reaps children itself
        status = decode(raw);
        return true;
    }

#ifdef ZEQ_HAVE_PIDFD
    static constexpr idtype_t pidfd_type = static_cast<idtype_t>(3);  // P_PIDFD, not named by older C libraries

    // Takes a descriptor of the child, and keeps it only once a wait through
    // it confirms that it is this process's child: a child that exited before
    // the descriptor was taken, reaped by the kernel, may have left its PID to
    // another process already.
    void hold() noexcept {
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (fd < 0) {
            if (errno == ESRCH) pid_ = -1;  // reaped already: its PID is no longer its own
            return;                         // ENOSYS, EPERM, ...: held by its PID
        }
        pidfd_ = Fd(fd);
        siginfo_t info{};
        if (::waitid(pidfd_type, static_cast<id_t>(fd), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return;
        if (errno == ECHILD) {
            pid_ = -1;  // reaped by the kernel: nothing left to stop or wait for
        }
        pidfd_.reset();  // EINVAL: a kernel without waits by descriptor
    }
    int send(int signal) noexcept {
        return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0));
    }
#else
    void hold() noexcept {}
    int send(int) noexcept { return -1; }
#endif

    void forget() noexcept {
        pid_ = group_ = -1;
        pidfd_.reset();
    }

    pid_t pid_;    // -1 once reaped (by this process, the kernel or the host)
    pid_t group_;  // the command's process group, until this process has waited for the child
    Fd pidfd_;
};

// How much of a command's output one read takes.
constexpr std::size_t read_chunk = 65536;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

class PosixPlatform final : public Platform {
public:
    PosixPlatform(Interruption& interruption, EnvironmentSource* environment)
        : interruption_(interruption), environment_(environment) {}

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
        std::vector<char*> entries;
        std::optional<Environment> environment;
        if (environment_ != nullptr) environment = environment_->copy();
        if (environment) {
            const std::string& block = environment->block();
            for (std::size_t at = 0; at < block.size() && block[at] != '\0'; at = block.find('\0', at) + 1)
                entries.push_back(const_cast<char*>(block.data() + at));
            entries.push_back(nullptr);
        }
        char* const* envp = environment ? entries.data() : environ;

        pid_t pid = -1;
        const int rc = spawn_on_path(pid, argv[0], setup.actions, setup.attr, args.data(), envp);
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
        // On the heap: the host's signal handlers run inside this wait and may
        // start another command there, one level deeper on the same stack.
        const std::unique_ptr<char[]> buffer(new char[read_chunk]);
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
                const ssize_t got = ::read(fds[i].fd, buffer.get(), read_chunk);
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
                sinks[i]->append(buffer.get(), static_cast<std::size_t>(got));
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
    EnvironmentSource* environment_;  // none: the live environment
};

}  // namespace

Environment Environment::of_this_process() {
    Environment copy;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        copy.block_.append(*entry);
        copy.block_.push_back('\0');
    }
    copy.block_.push_back('\0');
    return copy;
}

std::unique_ptr<Platform> make_system_platform(Interruption& interruption) {
    return std::make_unique<PosixPlatform>(interruption, nullptr);
}

std::unique_ptr<Platform> make_system_platform(Interruption& interruption, EnvironmentSource& source) {
    return std::make_unique<PosixPlatform>(interruption, &source);
}

}  // namespace zeq::platform
