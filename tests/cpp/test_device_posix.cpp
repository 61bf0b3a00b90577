// The real POSIX runner: output capture, failure kinds, time-out, and nothing
// left behind (no child, no descriptor).
#ifndef _WIN32
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/platform/platform.hpp"

using namespace zeq;
using platform::ErrorStream;
using namespace std::chrono_literals;

namespace {

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

bool has_children() {
    errno = 0;
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

core::ErrorKind kind_of(platform::Platform& os, const std::vector<std::string>& argv,
                        std::chrono::milliseconds t = 5s) {
    try {
        os.run(argv, ErrorStream::merged, t);
    } catch (const core::Error& e) {
        return e.kind();
    }
    return static_cast<core::ErrorKind>(-1);
}

}  // namespace

TEST_CASE("posix runner: merged, separate, status, newlines") {
    auto os = platform::make_system_platform();
    const int before = open_descriptors();
    auto merged = os->run({"sh", "-c", "printf 'a\\r\\nb\\rc'; printf 'E' >&2; exit 3"}, ErrorStream::merged, 5s);
    CHECK_EQ(merged.status, 3);
    CHECK(merged.out.find("a\nb\nc") != std::string::npos);
    CHECK(merged.out.find('E') != std::string::npos);
    auto separate = os->run({"sh", "-c", "echo out; echo err >&2"}, ErrorStream::separate, 5s);
    CHECK_EQ(separate.out, std::string("out\n"));
    CHECK_EQ(separate.err, std::string("err\n"));
    // lots of output on both pipes at once must not deadlock
    auto big = os->run({"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero | tr '\\0' y >&2"},
                       ErrorStream::separate, 20s);
    CHECK_EQ(big.out.size(), 300000u);
    CHECK_EQ(big.err.size(), 300000u);
    // arguments reach the program unchanged, no shell in between
    auto args = os->run({"printf", "%s|", "a b", "$HOME", "*"}, ErrorStream::merged, 5s);
    CHECK_EQ(args.out, std::string("a b|$HOME|*|"));
    CHECK_EQ(open_descriptors(), before);
    CHECK(!has_children());
}

TEST_CASE("posix runner: failure kinds, time-out kills and reaps") {
    auto os = platform::make_system_platform();
    const int before = open_descriptors();
    CHECK(kind_of(*os, {"zeq-no-such-command-xyz"}) == core::ErrorKind::command_not_found);
    CHECK(kind_of(*os, {"sh", "-c", "printf '\\377'"}) == core::ErrorKind::command_failed);  // not UTF-8
    CHECK(kind_of(*os, {"sleep", "30"}, 200ms) == core::ErrorKind::command_timeout);
    // the shell's own child is in its process group and goes with it
    CHECK(kind_of(*os, {"sh", "-c", "sleep 30; echo never"}, 200ms) == core::ErrorKind::command_timeout);
    CHECK(kind_of(*os, {"sh", "-c", "sleep 30 & echo started"}, 200ms) == core::ErrorKind::command_timeout);
    CHECK_EQ(open_descriptors(), before);
    CHECK(!has_children());
}

namespace {

// Counts the runner's checks; once `stop_after` has passed, each check throws.
struct CountingInterruption final : platform::Interruption {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::milliseconds stop_after = std::chrono::hours(1);
    int checks = 0;
    void check() override {
        ++checks;
        if (std::chrono::steady_clock::now() - start >= stop_after) throw core::Interrupted();
    }
};

}  // namespace

TEST_CASE("posix runner: the interruption is asked while it waits, and stops the wait when it throws") {
    {
        CountingInterruption interruption;  // never throws: the command runs to its end
        auto os = platform::make_system_platform(interruption);
        auto done = os->run({"sh", "-c", "sleep 0.4; echo done"}, ErrorStream::merged, 5s);
        CHECK_EQ(done.out, std::string("done\n"));
        CHECK(interruption.checks >= 4);  // at least once per slice
    }
    // waiting for output, for a background job too, and (output closed) for the exit
    for (const char* command :
         {"sleep 30", "sleep 30 & sleep 30; echo never", "echo partial; exec sleep 30", "exec >&- 2>&-; sleep 30"}) {
        CountingInterruption interruption;
        interruption.stop_after = 200ms;
        auto os = platform::make_system_platform(interruption);
        const int before = open_descriptors();
        bool stopped = false;
        try {
            os->run({"sh", "-c", command}, ErrorStream::separate, 10s);
        } catch (const core::Interrupted&) {
            stopped = true;
        }
        const auto took = std::chrono::steady_clock::now() - interruption.start;
        CHECK(stopped);
        CHECK(took < 200ms + 2 * platform::interruption_slice);
        CHECK_EQ(open_descriptors(), before);
        CHECK(!has_children());
    }
}

TEST_CASE("posix runner: the command inherits standard input, output and error only") {
    auto os = platform::make_system_platform();
    // What a host may hold open without close-on-exec: a file and both ends of a pipe.
    char path[] = "/tmp/zeq-inherit-XXXXXX";
    const int file = mkstemp(path);
    CHECK(file >= 0);
    int pipe_ends[2];
    CHECK_EQ(pipe(pipe_ends), 0);
    for (ErrorStream errors : {ErrorStream::merged, ErrorStream::separate, ErrorStream::inherited}) {
        const auto listing = os->run({"ls", "-l", "/proc/self/fd"}, errors, 5s);
        CHECK_EQ(listing.status, 0);
        std::vector<int> others;  // descriptors beyond 0, 1, 2 other than the one ls lists with
        std::string stdin_target;
        std::size_t start = 0;
        while (start < listing.out.size()) {
            const std::size_t end = listing.out.find('\n', start);
            const std::string line = listing.out.substr(start, end - start);
            start = end == std::string::npos ? listing.out.size() : end + 1;
            const std::size_t arrow = line.find(" -> ");
            if (arrow == std::string::npos) continue;
            const std::size_t number = line.rfind(' ', arrow - 1) + 1;
            const int fd = std::stoi(line.substr(number, arrow - number));
            const std::string target = line.substr(arrow + 4);
            if (fd == 0) stdin_target = target;
            if (fd > 2 && target.find("/fd") == std::string::npos) others.push_back(fd);
        }
        CHECK_EQ(stdin_target, std::string("/dev/null"));
        CHECK(others.empty());
    }
    close(file);
    unlink(path);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST_CASE("posix runner: with SIGCHLD ignored, children reaped by the kernel") {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    auto os = platform::make_system_platform();
    const int before = open_descriptors();
    CHECK_EQ(os->run({"sh", "-c", "echo out"}, ErrorStream::merged, 5s).out, std::string("out\n"));
    CHECK_EQ(os->run({"sh", "-c", "exit 3"}, ErrorStream::merged, 5s).status, 0);  // the kernel took the status
    CHECK(kind_of(*os, {"sleep", "30"}, 200ms) == core::ErrorKind::command_timeout);
    // the shell is gone at once; what it left holding the output goes with the group at the time-out
    char path[] = "/tmp/zeq-orphan-XXXXXX";
    const int file = mkstemp(path);
    CHECK(file >= 0);
    close(file);
    const std::string command = std::string("sleep 30 & echo $! > ") + path + "; exit 0";
    CHECK(kind_of(*os, {"sh", "-c", command}, 300ms) == core::ErrorKind::command_timeout);
    FILE* f = std::fopen(path, "r");
    int orphan = 0;
    CHECK(f != nullptr && std::fscanf(f, "%d", &orphan) == 1);
    std::fclose(f);
    unlink(path);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i, usleep(10000)) {
        const std::string stat_path = "/proc/" + std::to_string(orphan) + "/stat";
        FILE* stat = std::fopen(stat_path.c_str(), "r");
        char state = 'X';
        if (stat != nullptr) {
            if (std::fscanf(stat, "%*d %*s %c", &state) != 1) state = 'X';
            std::fclose(stat);
        }
        gone = state == 'X' || state == 'Z';  // a zombie is dead, its parent yet to reap it
    }
    CHECK(gone);
    CountingInterruption interruption;
    interruption.stop_after = 200ms;
    auto asked = platform::make_system_platform(interruption);
    bool stopped = false;
    try {
        asked->run({"sh", "-c", "sleep 30 & exit 0"}, ErrorStream::separate, 10s);
    } catch (const core::Interrupted&) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(open_descriptors(), before);
    CHECK(!has_children());
    sigaction(SIGCHLD, &previous, nullptr);
}

namespace {

// The environment as it was when the source was made, for every command.
struct FixedEnvironment final : platform::EnvironmentSource {
    platform::Environment taken = platform::Environment::of_this_process();
    platform::Environment copy() override { return taken; }
};

// A directory holding `name`, a shell script of `body` with the given mode.
std::string script_directory(const std::string& name, const std::string& body, mode_t mode) {
    char dir[] = "/tmp/zeq-path-XXXXXX";
    CHECK(mkdtemp(dir) != nullptr);
    const std::string path = std::string(dir) + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    CHECK(f != nullptr);
    std::fputs(("#!/bin/sh\n" + body + "\n").c_str(), f);
    std::fclose(f);
    chmod(path.c_str(), mode);
    return dir;
}

}  // namespace

TEST_CASE("posix runner: commands start with the environment copied, programs found on its PATH") {
    const std::string live_path = getenv("PATH");
    const std::string found = script_directory("zeq-env-probe", "echo \"found $ZEQ_ENV_PROBE\"", 0755);
    const std::string denied = script_directory("zeq-env-probe", "echo never", 0644);
    setenv("ZEQ_ENV_PROBE", "copied", 1);
    // a directory without the program, an empty entry (the current directory), one
    // where it cannot be executed (passed over), then the one where it can
    setenv("PATH", ("/nonexistent::" + denied + ":" + found + ":" + live_path).c_str(), 1);
    platform::NoInterruption none;
    FixedEnvironment environment;
    auto copied = platform::make_system_platform(none, environment);
    setenv("PATH", live_path.c_str(), 1);
    unsetenv("ZEQ_ENV_PROBE");

    CHECK_EQ(copied->run({"zeq-env-probe"}, ErrorStream::merged, 5s).out, std::string("found copied\n"));
    CHECK_EQ(copied->run({"sh", "-c", "echo \"[$ZEQ_ENV_PROBE]\""}, ErrorStream::merged, 5s).out,
             std::string("[copied]\n"));
    auto live = platform::make_system_platform();
    CHECK(kind_of(*live, {"zeq-env-probe"}) == core::ErrorKind::command_not_found);
    CHECK_EQ(live->run({"sh", "-c", "echo \"[$ZEQ_ENV_PROBE]\""}, ErrorStream::merged, 5s).out, std::string("[]\n"));

    // found only where it cannot be executed: the spawn's own EACCES, as execvp reports it
    setenv("PATH", denied.c_str(), 1);
    FixedEnvironment denied_environment;
    auto only_denied = platform::make_system_platform(none, denied_environment);
    setenv("PATH", live_path.c_str(), 1);
    CHECK_THROWS(only_denied->run({"zeq-env-probe"}, ErrorStream::merged, 5s), core::ErrorKind::command_failed,
                 "[Errno 13] Permission denied: 'zeq-env-probe'");
    CHECK(kind_of(*only_denied, {"zeq-no-such-command-xyz"}) == core::ErrorKind::command_not_found);
    for (const std::string& dir : {found, denied}) {
        unlink((dir + "/zeq-env-probe").c_str());
        rmdir(dir.c_str());
    }
    CHECK(!has_children());
}

TEST_CASE("posix files and names") {
    auto os = platform::make_system_platform();
    CHECK(os->file_exists("/proc/self"));
    CHECK(!os->file_exists("/no/such/file"));
    CHECK_THROWS(os->read_text_file("/no/such/file"), core::ErrorKind::system,
                 "[Errno 2] No such file or directory: '/no/such/file'");
    CHECK_THROWS(os->read_machine_registry_value("SOFTWARE", "x"), core::ErrorKind::system,
                 "no registry on this system");
    CHECK(!os->system_name().empty());
    CHECK(os->read_text_file("/proc/self/status").find("Pid:") != std::string::npos);
}
#endif
