// Sleeps for the given number of seconds (default 60), then says "awake".
#include <cwchar>

#include "output.hpp"

int wmain(int argc, wchar_t** argv) {
    const unsigned long seconds = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60;
    Sleep(static_cast<DWORD>(seconds * 1000));
    zeq::helper::write_text(zeq::helper::out(), L"awake\n");
    return 0;
}
