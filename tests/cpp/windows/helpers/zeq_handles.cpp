// Reports what it was given: the kind of each standard handle, and every
// handle it holds on a disk file, with that file's size:
//   stdin char
//   stdout pipe
//   stderr pipe
//   file 0x1c 4242
#include <cstdint>
#include <string>

#include "output.hpp"

using namespace zeq::helper;

namespace {

std::wstring kind(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return L"none";
    switch (GetFileType(h)) {
        case FILE_TYPE_CHAR: return L"char";
        case FILE_TYPE_PIPE: return L"pipe";
        case FILE_TYPE_DISK: return L"disk";
        default: return GetLastError() == NO_ERROR ? L"other" : L"invalid";
    }
}

std::wstring hex(std::uintptr_t v) {
    wchar_t buffer[32];
    swprintf(buffer, 32, L"0x%llx", static_cast<unsigned long long>(v));
    return buffer;
}

}  // namespace

int wmain() {
    std::wstring report = L"stdin " + kind(GetStdHandle(STD_INPUT_HANDLE)) + L"\nstdout " + kind(out()) + L"\nstderr " +
                          kind(err()) + L"\n";
    // Handle values are multiples of 4; inherited ones keep the parent's value.
    for (std::uintptr_t v = 4; v < (1u << 16); v += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(v);
        DWORD flags = 0;
        if (!GetHandleInformation(h, &flags) || GetFileType(h) != FILE_TYPE_DISK) continue;
        LARGE_INTEGER size{};
        if (GetFileSizeEx(h, &size)) report += L"file " + hex(v) + L" " + std::to_wstring(size.QuadPart) + L"\n";
    }
    write_text(out(), report);
    return 0;
}
