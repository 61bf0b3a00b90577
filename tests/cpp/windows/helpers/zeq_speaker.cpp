// Says what it is told, then exits with the status it is told:
//   --out TEXT    TEXT on standard output (in the ANSI code page)
//   --err TEXT    TEXT on standard error
//   --bytes HEX   these bytes on standard output, unconverted
//   --exit N      exit status N (default 0)
//   --env NAME    the value of the environment variable NAME on standard output, or <unset>
//   --args ...    every following argument on standard output, each followed by "|"
#include <cwchar>

#include "output.hpp"

using namespace zeq::helper;

namespace {

std::string from_hex(const wchar_t* hex) {
    std::string bytes;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
        bytes += static_cast<char>(std::wcstoul(pair, nullptr, 16));
    }
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--args") {
            for (++i; i < argc; ++i) write_text(out(), std::wstring(argv[i]) + L"|");
        } else if (i + 1 >= argc) {
            write_text(err(), L"zeq_speaker: " + option + L" needs a value\n");
            return 100;
        } else if (option == L"--out") {
            write_text(out(), argv[++i]);
        } else if (option == L"--err") {
            write_text(err(), argv[++i]);
        } else if (option == L"--bytes") {
            write_bytes(out(), from_hex(argv[++i]));
        } else if (option == L"--env") {
            const wchar_t* value = _wgetenv(argv[++i]);
            write_text(out(), value != nullptr ? std::wstring(value) : std::wstring(L"<unset>"));
        } else if (option == L"--exit") {
            status = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
        } else {
            write_text(err(), L"zeq_speaker: unknown option " + option + L"\n");
            return 100;
        }
    }
    return status;
}
