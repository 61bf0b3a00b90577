// Expat, linked statically into the binary wheels, draws its hash salt from
// arc4random_buf, which glibc offers only from 2.36 on. This definition, hidden
// inside each module, takes its place with getrandom (glibc 2.25), so that the
// wheels need no newer glibc than their libcrypto does.
#include <sys/random.h>

#include <cerrno>
#include <cstddef>

extern "C" __attribute__((visibility("hidden"))) void arc4random_buf(void* buffer, std::size_t size) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;  // only a salt against hash flooding: Expat still parses correctly
        out += got;
        size -= static_cast<std::size_t>(got);
    }
}
