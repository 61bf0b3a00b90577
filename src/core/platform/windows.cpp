// Windows: commands through CreateProcessW with pipes, a job object and a
// time-out; values under HKEY_LOCAL_MACHINE through RegOpenKeyExW/RegQueryValueExW.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <utility>

#include "core/host_texts.hpp"
#include "core/platform/platform.hpp"

namespace zeq::platform {
namespace {

namespace failure = core::texts::device_failure;
using core::ErrorKind;
using core::texts::joined;

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string utf8(const wchar_t* data, std::size_t size) {
    if (size == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, data, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, data, static_cast<int>(size), out.data(), n, nullptr, nullptr);
    return out;
}

std::string error_text(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message = n ? utf8(buffer, n) : std::string(failure::no_description);
    if (buffer) LocalFree(buffer);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return joined(failure::win_error_open, std::to_string(code), failure::code_close, message);
}

// The system's ANSI code page (the host's default text encoding here) to UTF-8.
std::string decode_ansi(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n == 0)
        throw core::Error(ErrorKind::command_failed, joined(failure::not_in_code_page, error_text(GetLastError())));
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
    return normalize_newlines(utf8(w.data(), w.size()));
}

// The command line the C runtime splits back into exactly these arguments.
std::wstring command_line(const std::vector<std::string>& argv) {
    std::wstring line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i) line += L' ';
        const std::wstring arg = wide(argv[i]);
        const bool quote = arg.empty() || arg.find_first_of(L" \t") != std::wstring::npos;
        if (quote) line += L'"';
        std::size_t backslashes = 0;
        for (wchar_t c : arg) {
            if (c == L'\\') {
                ++backslashes;
            } else if (c == L'"') {
                // The backslashes before a quote are doubled (they are already
                // in the line once), and one more escapes the quote itself.
                line.append(backslashes + 1, L'\\');
                line += L'"';
                backslashes = 0;
                continue;
            } else {
                backslashes = 0;
            }
            line += c;
        }
        if (quote) {
            line.append(backslashes, L'\\');
            line += L'"';
        }
    }
    return line;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = o.h_;
            o.h_ = nullptr;
        }
        return *this;
    }
    ~Handle() { reset(); }
    HANDLE get() const noexcept { return h_; }
    void reset() noexcept {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

// Stops a started command and whatever it started inside its job.
struct Stopper {
    HANDLE job = nullptr;
    HANDLE process = nullptr;
    void stop() const noexcept {
        if (job) TerminateJobObject(job, 1);
        TerminateProcess(process, 1);
    }
};

// Waits up to `ms` for `object` to be signalled (a process to exit, a thread
// to end), asking the interruption between slices of the wait; true when it was.
bool wait_interruptibly(HANDLE object, long long ms, InterruptionSchedule& interruption) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        const long long left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int wait = interruption.bounded_ms(left <= 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left));
        const DWORD waited = WaitForSingleObject(object, static_cast<DWORD>(wait));
        if (waited == WAIT_OBJECT_0) return true;
        if (waited != WAIT_TIMEOUT || left <= 0) return false;
        interruption.check_if_due();
    }
}

// Drains one pipe on a thread of its own, so that two pipes never block each other.
struct Reader {
    HANDLE pipe = nullptr;
    const Stopper* command = nullptr;
    std::string data;
    bool too_large = false;
    std::atomic<bool> abandoned{false};
    Handle thread;

    Reader(HANDLE pipe_, const Stopper& command_) : pipe(pipe_), command(&command_) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { finish(); }

    static DWORD WINAPI main(void* self) {
        auto* r = static_cast<Reader*>(self);
        char buffer[65536];
        DWORD got = 0;
        while (!r->abandoned && ReadFile(r->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            if (r->data.size() + got > max_output_bytes) {
                r->too_large = true;
                r->command->stop();  // a flood would otherwise go on until the time-out
                break;
            }
            r->data.append(buffer, got);
        }
        return 0;
    }
    void start() {
        if (!pipe) return;
        thread = Handle(CreateThread(nullptr, 0, &Reader::main, this, 0, nullptr));
        if (!thread.get()) {
            const DWORD error = GetLastError();
            command->stop();
            throw core::Error(ErrorKind::command_failed, error_text(error));
        }
    }
    // Waits for the end of the output. A grandchild that still holds the pipe
    // after a grace period is stopped with the job; one outside the job
    // (started with a way out of it) is left, and the read abandoned.
    void finish() noexcept {
        if (!thread.get()) return;
        if (WaitForSingleObject(thread.get(), grace_ms) == WAIT_TIMEOUT) stop_and_abandon();
        thread.reset();
    }
    // The same, while the caller may still stop the wait: a grandchild can
    // hold the pipe for the whole grace period after the command has exited.
    void finish(InterruptionSchedule& interruption) {
        if (!thread.get()) return;
        if (!wait_interruptibly(thread.get(), grace_ms, interruption)) stop_and_abandon();
        thread.reset();
    }

private:
    static constexpr DWORD grace_ms = 2000;
    void stop_and_abandon() noexcept {
        command->stop();
        if (WaitForSingleObject(thread.get(), 1000) == WAIT_TIMEOUT) {
            abandoned = true;
            // The cancel is lost when the thread is between two reads: repeat it.
            do CancelSynchronousIo(thread.get());
            while (WaitForSingleObject(thread.get(), 100) == WAIT_TIMEOUT);
        }
    }
};

// The null device: the child's standard input, and its standard error when
// this process has none to pass on.
Handle open_null_device() {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    Handle device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                              OPEN_EXISTING, 0, nullptr));
    if (!device.get()) throw core::Error(ErrorKind::command_failed, error_text(GetLastError()));
    return device;
}

// This process's standard error as an inheritable handle of its own (the
// original need not be inheritable); empty when there is none.
Handle inheritable_standard_error() {
    HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return {};
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return {};
    return Handle(copy);
}

void make_pipe(Handle& read, Handle& write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) throw core::Error(ErrorKind::command_failed, error_text(GetLastError()));
    read = Handle(r);
    write = Handle(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);  // only the child's end is inherited
}

class WindowsPlatform final : public Platform {
public:
    WindowsPlatform(Interruption& interruption, EnvironmentSource* environment)
        : interruption_(interruption), environment_(environment) {}

    std::string system_name() override { return "Windows"; }

    std::string host_name() override {
        wchar_t buffer[256];
        DWORD size = 256;
        if (!GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) return {};
        return utf8(buffer, size);
    }

    Completed run(const std::vector<std::string>& argv, ErrorStream errors,
                  std::chrono::milliseconds timeout) override {
        if (argv.empty()) throw core::Error(ErrorKind::command_failed, std::string(failure::empty_command));
        Handle out_read, out_write, err_read, err_write;
        make_pipe(out_read, out_write);
        if (errors == ErrorStream::separate) make_pipe(err_read, err_write);
        Handle null_device = open_null_device();
        Handle own_error;
        if (errors == ErrorStream::inherited) own_error = inheritable_standard_error();
        HANDLE err_target = errors == ErrorStream::merged     ? out_write.get()
                            : errors == ErrorStream::separate ? err_write.get()
                            : own_error.get()                 ? own_error.get()
                                                              : null_device.get();

        // Only these handles reach the child, whatever else is inheritable
        // in this process at the moment (each once: the list takes no repeats).
        HANDLE inherit[3];
        DWORD count = 0;
        inherit[count++] = null_device.get();
        inherit[count++] = out_write.get();
        if (err_target != out_write.get() && err_target != null_device.get()) inherit[count++] = err_target;
        SIZE_T attr_size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
        std::string attr_storage(attr_size, '\0');
        auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage.data());
        if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size) ||
            !UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, count * sizeof(HANDLE),
                                       nullptr, nullptr))
            throw core::Error(ErrorKind::command_failed, error_text(GetLastError()));

        STARTUPINFOEXW si{};
        si.StartupInfo.cb = sizeof si;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = null_device.get();
        si.StartupInfo.hStdOutput = out_write.get();
        si.StartupInfo.hStdError = err_target;
        si.lpAttributeList = attrs;

        // The job takes the command and whatever it starts, so a time-out stops them all.
        Handle job(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job.get()) SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

        std::wstring line = command_line(argv);
        // The system copies the block into the child; without one it copies this process's.
        std::wstring block = environment_ != nullptr ? environment_->copy().block() : std::wstring();
        PROCESS_INFORMATION pi{};
        const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                            (environment_ != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0);
        const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                            environment_ != nullptr ? block.data() : nullptr, nullptr, &si.StartupInfo,
                                            &pi);
        const DWORD start_error = GetLastError();
        DeleteProcThreadAttributeList(attrs);
        if (!started) {
            const ErrorKind kind = (start_error == ERROR_FILE_NOT_FOUND || start_error == ERROR_PATH_NOT_FOUND)
                                       ? ErrorKind::command_not_found
                                       : ErrorKind::command_failed;
            throw core::Error(kind, error_text(start_error));
        }
        Handle process(pi.hProcess), thread(pi.hThread);
        if (job.get()) AssignProcessToJobObject(job.get(), process.get());
        ResumeThread(thread.get());
        thread.reset();
        out_write.reset();
        err_write.reset();
        null_device.reset();
        own_error.reset();

        const Stopper command{job.get(), process.get()};
        Reader out_reader(out_read.get(), command), err_reader(err_read.get(), command);
        out_reader.start();
        err_reader.start();

        const long long ms = timeout.count();
        auto stop = [&] {
            command.stop();
            WaitForSingleObject(process.get(), INFINITE);
        };
        InterruptionSchedule interruption(interruption_);
        bool exited = false;
        try {
            exited = wait_interruptibly(process.get(), ms, interruption);
            if (!exited) stop();
            out_reader.finish(interruption);
            err_reader.finish(interruption);
        } catch (...) {
            // Interrupted: the command goes, and the readers finish before their buffers do.
            stop();
            out_reader.finish();
            err_reader.finish();
            throw;
        }
        if (!exited) throw core::Error(ErrorKind::command_timeout, timed_out_text(argv, timeout));
        if (out_reader.too_large || err_reader.too_large)
            throw core::Error(ErrorKind::command_failed, std::string(failure::output_too_large));
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        Completed result;
        result.status = static_cast<int>(code);
        result.out = decode_ansi(out_reader.data);
        result.err = decode_ansi(err_reader.data);
        return result;
    }

    bool file_exists(const std::string& path) override {
        return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::string read_text_file(const std::string& path) override {
        Handle file(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.get())
            throw core::Error(ErrorKind::system,
                              joined(error_text(GetLastError()), failure::path_open, path, failure::quote_end));
        std::string data;
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            data.append(buffer, got);
            if (data.size() > max_output_bytes)
                throw core::Error(ErrorKind::system, joined(failure::file_too_large, path, failure::quote_end));
        }
        try {
            return decode_ansi(data);
        } catch (const core::Error& e) {
            throw core::Error(ErrorKind::system, e.message());  // a file that is not text: the file's failure
        }
    }

    std::string read_machine_registry_value(const std::string& subkey, const std::string& name) override {
        HKEY key = nullptr;
        LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(subkey).c_str(), 0, KEY_READ, &key);
        if (rc != ERROR_SUCCESS) throw core::Error(ErrorKind::system, error_text(static_cast<DWORD>(rc)));
        struct Closer {
            HKEY k;
            ~Closer() { RegCloseKey(k); }
        } closer{key};
        const std::wstring value_name = wide(name);
        DWORD type = 0, size = 0;
        rc = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) throw core::Error(ErrorKind::system, error_text(static_cast<DWORD>(rc)));
        std::string data(size + sizeof(wchar_t), '\0');
        rc = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc != ERROR_SUCCESS) throw core::Error(ErrorKind::system, error_text(static_cast<DWORD>(rc)));
        data.resize(size);
        switch (type) {
            case REG_SZ:
            case REG_EXPAND_SZ: {
                std::size_t chars = data.size() / sizeof(wchar_t);
                const auto* w = reinterpret_cast<const wchar_t*>(data.data());
                while (chars > 0 && w[chars - 1] == L'\0') --chars;  // the stored terminator(s)
                return utf8(w, chars);
            }
            case REG_DWORD: {
                DWORD v = 0;
                std::memcpy(&v, data.data(), data.size() < sizeof v ? data.size() : sizeof v);
                return std::to_string(v);
            }
            case REG_QWORD: {
                unsigned long long v = 0;
                std::memcpy(&v, data.data(), data.size() < sizeof v ? data.size() : sizeof v);
                return std::to_string(v);
            }
            default:
                throw core::Error(ErrorKind::system,
                                  joined(failure::registry_value, name, failure::registry_value_kind));
        }
    }

private:
    Interruption& interruption_;
    EnvironmentSource* environment_;  // none: the live environment
};

}  // namespace

Environment Environment::of_this_process() {
    Environment copy;
    // The system hands out a copy of its own, taken under the process's lock.
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        const wchar_t* end = strings;
        while (*end != L'\0') end += std::wcslen(end) + 1;
        copy.block_.assign(strings, static_cast<std::size_t>(end - strings));
        FreeEnvironmentStringsW(strings);
    }
    copy.block_.push_back(L'\0');
    if (copy.block_.size() < 2) copy.block_.push_back(L'\0');  // an empty block is two NULs
    return copy;
}

std::unique_ptr<Platform> make_system_platform(Interruption& interruption) {
    return std::make_unique<WindowsPlatform>(interruption, nullptr);
}

std::unique_ptr<Platform> make_system_platform(Interruption& interruption, EnvironmentSource& source) {
    return std::make_unique<WindowsPlatform>(interruption, &source);
}

}  // namespace zeq::platform
