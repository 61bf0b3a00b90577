// The buffer for key material: it behaves as a byte string through growth, copies
// and moves (the wiping itself is checked on a live process by the Python tests).
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "check.hpp"
#include "core/secret_buffer.hpp"

using namespace zeq;

TEST_CASE("secret buffer: appends across the inline and the allocated storage") {
    SecretBuffer b;
    CHECK(b.empty());
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string piece(static_cast<std::size_t>(i % 7 + 1), static_cast<char>('a' + i % 26));
        b.append(piece);
        expected += piece;
        CHECK_EQ(b.view(), std::string_view(expected));
    }
    b.push_back('!');
    expected += '!';
    CHECK_EQ(b.view(), std::string_view(expected));
    CHECK_EQ(SecretBuffer(std::size_t{5}).view(), std::string_view("\0\0\0\0\0", 5));
    SecretBuffer digits(std::size_t{20});
    std::memcpy(digits.data(), "1733", 4);
    digits.shrink(4);
    CHECK_EQ(digits.view(), std::string_view("1733"));
    digits.append("8176");
    CHECK_EQ(digits.view(), std::string_view("17338176"));
}

TEST_CASE("secret buffer: copies and moves, short and long") {
    for (const std::string& text : {std::string("1733817600123456"), std::string(200, 'k')}) {
        SecretBuffer original(text);
        SecretBuffer copy(original);
        CHECK_EQ(copy.view(), std::string_view(text));
        SecretBuffer moved(std::move(original));
        CHECK_EQ(moved.view(), std::string_view(text));
        CHECK(original.empty());
        SecretBuffer assigned("x");
        assigned = std::move(moved);
        CHECK_EQ(assigned.view(), std::string_view(text));
        CHECK(moved.empty());
        SecretBuffer longer(std::string(100, 'z'));
        longer = copy;
        CHECK_EQ(longer.view(), std::string_view(text));
        longer = longer;
        CHECK_EQ(longer.view(), std::string_view(text));
    }
}

namespace {

// Where leave_on_stack left its marker: in its own frame, given up when it returned.
const volatile unsigned char* left_at = nullptr;
constexpr std::size_t marker_size = 64;

ZEQ_NOINLINE int leave_on_stack(unsigned char seed) {
    volatile unsigned char local[marker_size];
    for (std::size_t i = 0; i < marker_size; ++i) local[i] = static_cast<unsigned char>(seed + i);
    left_at = local;
    return seed;
}

// Read in the caller's own frame (no call that could reuse the stack below it).
#define ZEQ_MARKER_LEFT(seed, result)                                                   \
    do {                                                                                \
        result = true;                                                                  \
        for (std::size_t i_ = 0; i_ < marker_size; ++i_)                                \
            if (left_at[i_] != static_cast<unsigned char>((seed) + i_)) result = false; \
    } while (0)

}  // namespace

TEST_CASE("scrubbing stack: the work's result, its exceptions, and the stack it left wiped") {
    CHECK_EQ(scrubbing_stack([] { return std::string("result"); }), std::string("result"));
    bool thrown = false;
    try {
        scrubbing_stack([]() -> int { throw std::runtime_error("work failed"); });
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    CHECK(thrown);

    bool left = false;
    leave_on_stack(7);
    ZEQ_MARKER_LEFT(7, left);
    CHECK(left);  // the test sees what is left when nothing scrubs
    scrubbing_stack([] { return leave_on_stack(9); });
    ZEQ_MARKER_LEFT(9, left);
    CHECK(!left);
}
