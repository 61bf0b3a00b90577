// The real POSIX runner: output capture, failure kinds, time-out, and nothing
// left behind (no child, no descriptor).
#ifndef _WIN32
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
