#include "core/entry_digest.hpp"

namespace zeq::entry_digest {

credentials::Pair account_password(std::string_view digest, std::int64_t salt4, std::int64_t salt5, std::int64_t salt1,
                                   std::int64_t salt2) {
    return credentials::cut(digest, salt4, salt1, salt5, salt2);
}

}  // namespace zeq::entry_digest
