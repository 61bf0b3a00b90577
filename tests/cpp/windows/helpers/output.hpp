// What the helper programs share: writing text the way a Windows console
// program does when its output is a pipe (in the system's ANSI code page).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace zeq::helper {

inline bool write_bytes(HANDLE to, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(to, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
}

inline std::string in_ansi_code_page(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline bool write_text(HANDLE to, const std::wstring& text) { return write_bytes(to, in_ansi_code_page(text)); }

inline HANDLE out() { return GetStdHandle(STD_OUTPUT_HANDLE); }
inline HANDLE err() { return GetStdHandle(STD_ERROR_HANDLE); }

}  // namespace zeq::helper
