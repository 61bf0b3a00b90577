// The buffer for key material: it behaves as a byte string through growth, copies
// and moves (the wiping itself is checked on a live process by the Python tests).
#include <cstring>
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
