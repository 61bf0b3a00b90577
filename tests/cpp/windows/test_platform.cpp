// The real Windows platform: the runner (pipes, job object, time-outs, what
// the child inherits) against the helper programs beside this test, and the
// registry reader against values written with "reg add".
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/interrupted.hpp"
#include "core/platform/platform.hpp"

using namespace zeq;
using platform::ErrorStream;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

int running(const wchar_t* exe) {
    int n = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, exe) == 0) ++n;
    CloseHandle(snapshot);
    return n;
}

// Killed processes take a moment to leave the process list.
bool none_left(const wchar_t* exe) {
    for (int i = 0; i < 50; ++i) {
        if (running(exe) == 0) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool gone(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return true;
    const bool exited = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return exited;
}

// The system's own text for an error code, in the language of the machine, as
// Python's OSError shows it after "[WinError <code>] ".
std::string system_message(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n > 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        text.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text.data(), size, nullptr, nullptr);
    }
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return "[WinError " + std::to_string(code) + "] " + text;
}

DWORD handle_count() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

core::ErrorKind kind_of(platform::Platform& os, const std::vector<std::string>& argv,
                        std::chrono::milliseconds t = 10s) {
    try {
        os.run(argv, ErrorStream::merged, t);
    } catch (const core::Error& e) {
        return e.kind();
    }
    return static_cast<core::ErrorKind>(-1);
}

std::string failure_text(platform::Platform& os, const std::vector<std::string>& argv, std::chrono::milliseconds t) {
    try {
        os.run(argv, ErrorStream::merged, t);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no failure";
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::wstring temp_path(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name;
}

std::string utf8_of(const std::wstring& text) {
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

TEST_CASE("windows runner: captured output, merged and separate errors, exit status") {
    auto os = platform::make_system_platform();
    const DWORD handles_before = handle_count();
    auto merged = os->run({"zeq_speaker", "--out", "out ", "--err", "err", "--exit", "3"}, ErrorStream::merged, 10s);
    CHECK_EQ(merged.status, 3);
    CHECK_EQ(merged.out, std::string("out err"));
    CHECK_EQ(merged.err, std::string());
    auto separate = os->run({"zeq_speaker", "--out", "out", "--err", "err"}, ErrorStream::separate, 10s);
    CHECK_EQ(separate.status, 0);
    CHECK_EQ(separate.out, std::string("out"));
    CHECK_EQ(separate.err, std::string("err"));
    auto newlines = os->run({"zeq_speaker", "--bytes", "610d0a620d630d0d0a"}, ErrorStream::merged, 10s);
    CHECK_EQ(newlines.out, std::string("a\nb\nc\n\n"));
    auto big_status = os->run({"zeq_speaker", "--exit", "259"}, ErrorStream::merged, 10s);
    CHECK_EQ(big_status.status, 259);
    CHECK_EQ(handle_count(), handles_before);
}

TEST_CASE("windows runner: a command starts with the environment copied, not the live one") {
    struct FixedEnvironment final : platform::EnvironmentSource {
        platform::Environment taken = platform::Environment::of_this_process();
        platform::Environment copy() override { return taken; }
    };
    SetEnvironmentVariableW(L"ZEQ_ENV_PROBE", L"copied");
    platform::NoInterruption none;
    FixedEnvironment environment;
    auto copied = platform::make_system_platform(none, environment);
    SetEnvironmentVariableW(L"ZEQ_ENV_PROBE", nullptr);
    CHECK_EQ(copied->run({"zeq_speaker", "--env", "ZEQ_ENV_PROBE"}, ErrorStream::merged, 10s).out,
             std::string("copied"));
    auto live = platform::make_system_platform();
    CHECK_EQ(live->run({"zeq_speaker", "--env", "ZEQ_ENV_PROBE"}, ErrorStream::merged, 10s).out,
             std::string("<unset>"));
}

TEST_CASE("windows runner: arguments reach the program unchanged") {
    auto os = platform::make_system_platform();
    const std::vector<std::string> args = {"a b",       "",     "x\"y",     "back\\",
                                           "two\\\\",   "\\\"", "x\\\\\"y", "sp ace\\",
                                           "tab\there", "*",    "%PATH%",   "\xE7\xA1\xAC\xE4\xBB\xB6"};
    std::vector<std::string> argv = {"zeq_speaker", "--args"};
    std::string expected;
    for (const std::string& a : args) {
        argv.push_back(a);
        expected += a + "|";
    }
    CHECK_EQ(os->run(argv, ErrorStream::merged, 10s).out, expected);

    // a program whose path holds a space
    wchar_t self[MAX_PATH];
    const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring dir = temp_path(L"zeq runner test");
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring copy = dir + L"\\zeq_speaker.exe";
    CHECK(CopyFileW((program.substr(0, program.find_last_of(L'\\') + 1) + L"zeq_speaker.exe").c_str(), copy.c_str(),
                    FALSE));
    CHECK_EQ(os->run({utf8_of(copy), "--args", "x y"}, ErrorStream::merged, 10s).out, std::string("x y|"));
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE("windows runner: output is decoded from the system's code page") {
    // The CI step runs Wine under the Chinese locale: code page 936 (GBK), a
    // multi-byte code page in which some byte sequences are not text.
    CHECK_EQ(GetACP(), 936u);
    auto os = platform::make_system_platform();
    const std::string hardware = "\xE7\xA1\xAC\xE4\xBB\xB6";  // "硬件": D3 B2 BC FE in GBK
    CHECK_EQ(os->run({"zeq_speaker", "--bytes", "d3b2bcfe"}, ErrorStream::merged, 10s).out, hardware);
    CHECK_EQ(os->run({"zeq_speaker", "--out", hardware}, ErrorStream::merged, 10s).out, hardware);
    for (const char* not_text : {"ff", "41d3"}) {
        CHECK(kind_of(*os, {"zeq_speaker", "--bytes", not_text}) == core::ErrorKind::command_failed);
    }
}

TEST_CASE("windows runner: a missing program is not_found") {
    auto os = platform::make_system_platform();
    CHECK(kind_of(*os, {"zeq-no-such-command-xyz"}) == core::ErrorKind::command_not_found);
    CHECK(kind_of(*os, {"C:\\no\\such\\dir\\zeq.exe"}) == core::ErrorKind::command_not_found);
    CHECK(kind_of(*os, {}) == core::ErrorKind::command_failed);
}

TEST_CASE("windows runner: a child that never exits is killed at its time-out, with what it started") {
    auto os = platform::make_system_platform();
    const DWORD handles_before = handle_count();
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{"zeq_sleeper", "60"}, std::vector<std::string>{"zeq_forker", "--wait"}}) {
        const auto start = Clock::now();
        CHECK_EQ(failure_text(*os, argv, 500ms),
                 std::string("Command '['" + argv[0] + "', '" + argv[1] + "']' timed out after 0.5 seconds"));
        CHECK(seconds_since(start) < 5.0);
        CHECK(none_left(L"zeq_sleeper.exe"));
        CHECK(none_left(L"zeq_forker.exe"));
    }
    CHECK_EQ(handle_count(), handles_before);
}

TEST_CASE("windows runner: a grandchild that holds the pipe neither hangs the runner nor outlives it") {
    auto os = platform::make_system_platform();
    const auto start = Clock::now();
    const platform::Completed done = os->run({"zeq_forker"}, ErrorStream::merged, 30s);
    CHECK(seconds_since(start) < 10.0);
    CHECK_EQ(done.status, 0);
    CHECK_EQ(done.out.rfind("grandchild ", 0), 0u);
    const DWORD grandchild = static_cast<DWORD>(std::stoul(done.out.substr(11)));
    CHECK(gone(grandchild));
    CHECK(none_left(L"zeq_sleeper.exe"));
}

namespace {

// What the bindings throw through the runner carries a type of its own; this one is the tests'.
struct Stop final : core::Interrupted {};

// Counts the runner's checks; from check number `throw_at` on (0: never), each throws.
struct CountingInterruption final : platform::Interruption {
    int throw_at = 0;
    int checks = 0;
    void check() override {
        ++checks;
        if (throw_at > 0 && checks >= throw_at) throw Stop();
    }
};

// True when the run let the interruption's own exception through.
bool stopped(platform::Platform& os, const std::vector<std::string>& argv) {
    try {
        os.run(argv, ErrorStream::separate, 30s);
    } catch (const Stop&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("windows runner: an interruption that throws stops the wait, and the command with it") {
    CountingInterruption interruption;
    interruption.throw_at = 4;
    auto os = platform::make_system_platform(interruption);
    const DWORD handles_before = handle_count();
    const auto start = Clock::now();
    CHECK(stopped(*os, {"zeq_sleeper", "60"}));
    CHECK(seconds_since(start) < 2.0);  // long before the time-out
    CHECK_EQ(interruption.checks, 4);
    CHECK(none_left(L"zeq_sleeper.exe"));
    CHECK_EQ(handle_count(), handles_before);
}

TEST_CASE("windows runner: an interruption that does not throw leaves the result as it is") {
    CountingInterruption interruption;
    auto asked = platform::make_system_platform(interruption);
    auto plain = platform::make_system_platform();
    const auto awake = asked->run({"zeq_sleeper", "1"}, ErrorStream::merged, 10s);
    CHECK(interruption.checks >= 5);  // asked slice after slice
    const auto unasked = plain->run({"zeq_sleeper", "1"}, ErrorStream::merged, 10s);
    CHECK_EQ(awake.status, unasked.status);
    CHECK_EQ(awake.out, unasked.out);
    CHECK_EQ(awake.out, std::string("awake\n"));
    const std::vector<std::string> speaker = {"zeq_speaker", "--out", "out", "--err", "err", "--exit", "3"};
    const auto spoken = asked->run(speaker, ErrorStream::separate, 10s);
    CHECK_EQ(spoken.status, 3);
    CHECK_EQ(spoken.out, std::string("out"));
    CHECK_EQ(spoken.err, std::string("err"));
}

TEST_CASE("windows runner: an interruption while a grandchild holds the pipe stops them all") {
    // with the forker still running, and with the forker gone and only its grandchild left on the pipe
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{"zeq_forker", "--wait"}, std::vector<std::string>{"zeq_forker"}}) {
        CountingInterruption interruption;
        interruption.throw_at = 4;
        auto os = platform::make_system_platform(interruption);
        const DWORD handles_before = handle_count();
        const auto start = Clock::now();
        CHECK(stopped(*os, argv));
        CHECK(seconds_since(start) < 2.0);
        CHECK(none_left(L"zeq_sleeper.exe"));
        CHECK(none_left(L"zeq_forker.exe"));
        CHECK_EQ(handle_count(), handles_before);
    }
}

TEST_CASE("windows runner: a flood of output is held to the cap") {
    auto os = platform::make_system_platform();
    const std::string cap = std::to_string(platform::max_output_bytes);
    const std::string over = std::to_string(platform::max_output_bytes + 1);
    CHECK_EQ(os->run({"zeq_flooder", cap}, ErrorStream::merged, 60s).out.size(), platform::max_output_bytes);
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{"zeq_flooder", over}, std::vector<std::string>{"zeq_flooder"}}) {
        const auto start = Clock::now();
        CHECK_EQ(failure_text(*os, argv, 60s), std::string("command output too large"));
        CHECK(seconds_since(start) < 30.0);  // stopped at the cap, not at the time-out
        CHECK(none_left(L"zeq_flooder.exe"));
    }
}

TEST_CASE("windows runner: the child inherits its standard handles and nothing else") {
    // Handles of this process that any child could inherit: two on a file of
    // a size that nothing else has.
    const std::wstring path = temp_path(L"zeq-inherit-probe.bin");
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    const std::string marker(4242, 'm');
    DWORD written = 0;
    WriteFile(file, marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr);
    HANDLE second = nullptr;
    DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &second, 0, TRUE, DUPLICATE_SAME_ACCESS);

    auto os = platform::make_system_platform();
    const auto merged = os->run({"zeq_handles"}, ErrorStream::merged, 10s);
    CHECK_EQ(merged.out.substr(0, merged.out.find("file")), std::string("stdin char\nstdout pipe\nstderr pipe\n"));
    CHECK(merged.out.find(" 4242\n") == std::string::npos);
    const auto separate = os->run({"zeq_handles"}, ErrorStream::separate, 10s);
    CHECK(separate.out.find("stderr pipe\n") != std::string::npos);
    CHECK(separate.out.find(" 4242\n") == std::string::npos);
    CloseHandle(second);
    CloseHandle(file);
}

TEST_CASE("windows runner: an inherited standard error is this process's own") {
    const std::wstring path = temp_path(L"zeq-stderr-probe.txt");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);  // not inheritable itself
    CHECK(file != INVALID_HANDLE_VALUE);
    HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, file);
    auto os = platform::make_system_platform();
    const auto done = os->run({"zeq_speaker", "--out", "captured", "--err", "passed on"}, ErrorStream::inherited, 10s);
    // no standard error at all (a windowed host): the child's goes nowhere
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    const auto without = os->run({"zeq_speaker", "--out", "still", "--err", "lost"}, ErrorStream::inherited, 10s);
    SetStdHandle(STD_ERROR_HANDLE, own);
    CHECK_EQ(done.out, std::string("captured"));
    CHECK_EQ(done.err, std::string());
    CHECK_EQ(without.out, std::string("still"));
    char buffer[64] = {};
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
    CHECK_EQ(std::string(buffer, got), std::string("passed on"));
    CloseHandle(file);
}

TEST_CASE("windows files and names") {
    auto os = platform::make_system_platform();
    CHECK_EQ(os->system_name(), std::string("Windows"));
    CHECK(!os->host_name().empty());
    CHECK(os->file_exists("C:\\windows"));
    CHECK(!os->file_exists("C:\\no\\such\\file"));
    CHECK_THROWS(os->read_text_file("C:\\no\\such\\file"), core::ErrorKind::system,
                 system_message(ERROR_PATH_NOT_FOUND) + ": 'C:\\no\\such\\file'");
}

namespace {

const char* const test_key = "SOFTWARE\\ZeqPlatformTest";

void reg_add(platform::Platform& os, const char* name, const char* type, const std::string& data) {
    const auto done = os.run({"reg", "add", std::string("HKLM\\") + test_key, "/v", name, "/t", type, "/d", data, "/f"},
                             ErrorStream::merged, 30s);
    CHECK_EQ(done.status, 0);
}

std::string read_or_error(platform::Platform& os, const std::string& subkey, const std::string& name) {
    try {
        return os.read_machine_registry_value(subkey, name);
    } catch (const core::Error& e) {
        return std::string("error: ") + e.what();
    }
}

}  // namespace

TEST_CASE("windows registry reader: values written with reg add; missing key, missing value, wrong type") {
    auto os = platform::make_system_platform();
    struct Row {
        const char* name;
        const char* type;
        std::string data;
        std::string expected;  // "error: ..." prefix for a refused value
    } rows[] = {
        {"Text", "REG_SZ", "6f1c2d3e-aaaa bbbb", "6f1c2d3e-aaaa bbbb"},
        {"Chinese", "REG_SZ", "\xE6\x9C\xBA\xE5\x99\xA8", "\xE6\x9C\xBA\xE5\x99\xA8"},
        {"Empty", "REG_SZ", "", ""},
        {"Expandable", "REG_EXPAND_SZ", "%SystemRoot%\\x", "%SystemRoot%\\x"},
        {"Number", "REG_DWORD", "4294967295", "4294967295"},
        {"Wide", "REG_QWORD", "18446744073709551615", "18446744073709551615"},
        {"Bytes", "REG_BINARY", "0102ff", "error: registry value 'Bytes' is not text or a number"},
        {"Lines", "REG_MULTI_SZ", "a\\0b", "error: registry value 'Lines' is not text or a number"},
    };
    for (const Row& r : rows) reg_add(*os, r.name, r.type, r.data);
    for (const Row& r : rows) CHECK_EQ(read_or_error(*os, test_key, r.name), r.expected);
    CHECK_EQ(read_or_error(*os, test_key, "Absent").rfind("error: [WinError 2] ", 0), 0u);
    CHECK_EQ(read_or_error(*os, std::string(test_key) + "\\Absent", "Text").rfind("error: [WinError 2] ", 0), 0u);
    // what the restricted-rights fallbacks read
    CHECK(!read_or_error(*os, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid").empty());
    os->run({"reg", "delete", std::string("HKLM\\") + test_key, "/f"}, ErrorStream::merged, 30s);
    CHECK_EQ(read_or_error(*os, test_key, "Text").rfind("error: [WinError 2] ", 0), 0u);
}
