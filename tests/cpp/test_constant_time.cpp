// Secret comparisons: the answers of plain equality, whatever the bytes.
#include <string>

#include "check.hpp"
#include "core/constant_time.hpp"

using namespace zeq;

TEST_CASE("constant-time equality answers as plain equality") {
    const std::string digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    CHECK(constant_time::equal(digest, digest));
    CHECK(constant_time::equal(std::string(digest), digest));
    CHECK(constant_time::equal("", ""));
    std::string first = digest, last = digest;
    first[0] = 'a';
    last[63] = '9';
    CHECK(!constant_time::equal(first, digest));
    CHECK(!constant_time::equal(last, digest));
    CHECK(!constant_time::equal(digest.substr(0, 63), digest));  // a prefix is not equal
    CHECK(!constant_time::equal(digest, digest + "0"));
    CHECK(!constant_time::equal("", "a"));
    const std::string non_ascii = "\xE4\xB8\xAD\xE6\x96\x87";  // "中文"
    CHECK(constant_time::equal(non_ascii, std::string(non_ascii)));
    CHECK(!constant_time::equal(non_ascii, "\xE4\xB8\xAD\xE6\x96\x88"));
    // Every byte counts, a NUL inside included.
    CHECK(!constant_time::equal(std::string("a\0b", 3), std::string("a\0c", 3)));
    CHECK(constant_time::equal(std::string("a\0b", 3), std::string("a\0b", 3)));
}
