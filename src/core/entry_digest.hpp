// The entry digest: one SHA-256 over every identifying field of an item, each
// repeated by a weight digit or a salt, and the virtual account and password cut
// from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/credentials.hpp"

namespace zeq::entry_digest {

using Salt = credentials::Salt;

// The virtual account and password: windows starting at index salt4 and salt5
// (0-based), salts already read with 0 meaning 1.
credentials::Pair account_password(std::string_view digest, std::int64_t salt4, std::int64_t salt5, std::int64_t salt1,
                                   std::int64_t salt2);

}  // namespace zeq::entry_digest
