// Writes "x" to standard output: the given number of bytes, or without end
// (until the pipe breaks) when no number is given.
#include <cwchar>

#include "output.hpp"

int wmain(int argc, wchar_t** argv) {
    const bool endless = argc < 2;
    unsigned long long left = endless ? 0 : std::wcstoull(argv[1], nullptr, 10);
    const std::string block(65536, 'x');
    while (endless || left > 0) {
        const std::size_t n = endless || left >= block.size() ? block.size() : static_cast<std::size_t>(left);
        if (!zeq::helper::write_bytes(zeq::helper::out(), block.substr(0, n))) return 1;
        if (!endless) left -= n;
    }
    return 0;
}
