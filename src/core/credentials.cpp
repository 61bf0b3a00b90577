#include "core/credentials.hpp"

#include <limits>
#include <optional>
#include <string>

#include "core/decimal.hpp"
#include "core/derivation.hpp"
#include "core/error.hpp"
#include "core/hex.hpp"
#include "core/host_texts.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace zeq::credentials {
namespace {

namespace texts = core::texts::access_derivation;

// A weight digit as a repeat count: a digit 0 (and no other count) drops the part.
std::size_t repeats(std::int64_t digit) noexcept { return digit > 0 ? static_cast<std::size_t>(digit) : 0; }

std::int64_t used(Salt salt) {
    if (!salt) core::fail(core::ErrorKind::type, std::string(core::texts::host_words::none_not_integer));
    return *salt;
}

// The digest of the hash input: the information type, the third field and the
// agent name, each repeated (counts are weight digits, 0 to 9), then the type
// once more; none for an empty input, whose hash text is empty. The usual input
// is put together on the stack, a longer one in a string.
std::optional<sha256::Digest> combined_digest(const Identity& id, std::int64_t first, std::int64_t second,
                                              std::int64_t third) {
    const std::string_view parts[4] = {id.info_type, id.third, id.agent_name, id.info_type};
    const std::size_t times[4] = {repeats(first), repeats(second), repeats(third), 1};
    std::size_t total = 0;
    for (int i = 0; i < 4; ++i) total += parts[i].size() * times[i];
    if (total == 0) return std::nullopt;
    char on_stack[1024];
    std::string on_heap;
    char* start = on_stack;
    if (total > sizeof on_stack) {
        on_heap.resize(total);
        start = on_heap.data();
    }
    char* out = start;
    for (int i = 0; i < 4; ++i) out = text::repeat_into(out, parts[i], times[i]);
    return sha256::digest(std::string_view(start, total));
}

// Both variants leave the information type out when its weight digit is 0.
std::int64_t type_repeats(std::string_view weight) {
    return derivation::type_repeats(weight, derivation::ZeroRepeat::drops_part);
}

// sha256::hash_text kept on the stack: the empty text for empty input, else the
// 64 hexadecimal characters. The credentials are cut from it, so it is wiped.
struct HexDigest {
    explicit HexDigest(std::string_view bytes) : size(bytes.empty() ? 0 : sizeof chars) {
        if (size == 0) return;
        sha256::Digest d = sha256::digest(bytes);
        encode(d);
    }
    // Of a digest already made, which is wiped; none stands for the empty input.
    explicit HexDigest(std::optional<sha256::Digest>&& d) : size(d ? sizeof chars : 0) {
        if (d) encode(*d);
    }
    void encode(sha256::Digest& d) noexcept {
        hex::encode_to(d.data(), d.size(), chars);
        wipe_bytes(d.data(), d.size());
    }
    ~HexDigest() { wipe_bytes(chars, size); }
    HexDigest(const HexDigest&) = delete;
    HexDigest& operator=(const HexDigest&) = delete;
    std::string_view view() const noexcept { return {chars, size}; }
    std::size_t size;
    char chars[64];
};

}  // namespace

std::int64_t minus_one(std::int64_t v) noexcept { return v == std::numeric_limits<std::int64_t>::min() ? v : v - 1; }

Pair derived(const Identity& id, std::int64_t salt1, std::int64_t salt2, std::int64_t salt4, std::int64_t salt5) {
    return core::wrap_failures(texts::derived_failed, [&] {
        const HexDigest hash(combined_digest(id, type_repeats(id.weight), decimal::digit_at_position(id.weight, salt2),
                                             decimal::digit_at_position(id.weight, salt1)));
        if (hash.view().size() < 64) core::fail_module(std::string(texts::hash_failed));
        const std::int64_t account_start = derivation::window_start(id.weight, salt4);
        const std::int64_t password_start = derivation::window_start(id.weight, salt5);
        return cut(hash.view(), account_start, salt1, password_start, salt2);
    });
}

Pair query(const Identity& id, Salt salt1, Salt salt2, Salt salt4, Salt salt5) {
    return core::wrap_failures(texts::query_failed, [&] {
        const std::int64_t repeat7 = decimal::digit_at_position(id.weight, 7);
        const HexDigest hash(combined_digest(id, type_repeats(id.weight), repeat7, repeat7));
        const std::int64_t account_start = derivation::window_start(id.weight, used(salt4));
        const std::int64_t password_start = derivation::window_start(id.weight, used(salt5));
        const std::int64_t tail1 = used(salt1);
        return cut(hash.view(), account_start, tail1, password_start, used(salt2));
    });
}

Pair migration(std::string_view migrate_key, std::int64_t salt4, std::int64_t salt1, std::int64_t salt5,
               std::int64_t salt2) {
    const HexDigest hash(migrate_key);
    return cut(hash.view(), minus_one(salt4), salt1, minus_one(salt5), salt2);
}

}  // namespace zeq::credentials
