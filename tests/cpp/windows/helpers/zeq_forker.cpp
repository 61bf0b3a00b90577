// Starts a grandchild (zeq_sleeper, from this program's own directory) that
// inherits this program's standard handles, prints "grandchild PID", and
// exits at once; with --wait it sleeps for a minute first.
#include <string>

#include "output.hpp"

using namespace zeq::helper;

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, n);
    dir.resize(dir.find_last_of(L'\\') + 1);
    std::wstring line = L"\"" + dir + L"zeq_sleeper.exe\" 60";

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out();
    si.hStdError = err();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        write_text(err(), L"zeq_forker: cannot start " + line + L"\n");
        return 100;
    }
    write_text(out(), L"grandchild " + std::to_wstring(pi.dwProcessId) + L"\n");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (argc > 1 && std::wstring(argv[1]) == L"--wait") Sleep(60000);
    return 0;
}
