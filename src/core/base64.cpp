#include "core/base64.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "core/error.hpp"
#include "core/host_texts.hpp"

// libbase64 is linked in as a static object library with hidden symbols.
#define BASE64_STATIC_DEFINE
#include "libbase64.h"

namespace zeq::base64 {
namespace {

namespace texts = core::texts::cipher;

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Byte strings and texts from these sizes on go through libbase64's vector
// codecs; below them a call into the codecs costs more than the byte-wise loops.
constexpr std::size_t vector_encode_from = 32;
constexpr std::size_t vector_decode_from = 192;

// libbase64 picks its codec (reading the processor's features) at its first
// use and keeps it in a global; choosing it once here, under the guard of a
// function-local static, keeps concurrent first calls from racing on it.
void choose_vector_codec() noexcept {
    static const bool chosen = [] {
        base64_state state;
        base64_stream_decode_init(&state, 0);
        return true;
    }();
    (void)chosen;
}

// ---------------------------------------------------------------- the lenient decoder
constexpr std::uint8_t b64_pad = 64;      // "="
constexpr std::uint8_t b64_skip = 65;     // any other ASCII character
constexpr std::uint8_t b64_foreign = 66;  // a byte that is not ASCII

constexpr std::array<std::uint8_t, 256> b64_table = [] {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 128; ++i) t[i] = b64_skip;
    for (int i = 128; i < 256; ++i) t[i] = b64_foreign;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    t['='] = b64_pad;
    return t;
}();

// The same per position of a group of four, as the bits each character gives
// the group's three bytes (first byte lowest); any character outside the
// alphabet sets bit 24, so that one test of the four values' union finds it.
using GroupTable = std::array<std::uint32_t, 256>;
constexpr std::uint32_t not_in_group = 1u << 24;

constexpr GroupTable group_table(int position) {
    GroupTable t{};
    for (int c = 0; c < 256; ++c) {
        const std::uint32_t v = b64_table[c];
        if (v >= 64) {
            t[c] = not_in_group;
            continue;
        }
        switch (position) {
            case 0: t[c] = v << 2; break;
            case 1: t[c] = v >> 4 | (v & 0x0F) << 12; break;
            case 2: t[c] = (v >> 2) << 8 | (v & 0x03) << 22; break;
            default: t[c] = v << 16; break;
        }
    }
    return t;
}
constexpr GroupTable group_0 = group_table(0), group_1 = group_table(1), group_2 = group_table(2),
                     group_3 = group_table(3);

[[noreturn]] void non_ascii() { core::fail_value(std::string(texts::non_ascii)); }

// Decodes `text` into `out`; `before` bytes of the same text were already
// decoded ahead of `out` (they count in the messages, which name the whole text).
std::size_t lenient_decode(std::string_view text, char* out, std::size_t before) {
    auto* const begin = reinterpret_cast<std::uint8_t*>(out);
    std::uint8_t* o = begin;
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    int quad = 0;  // characters of the current group seen so far
    int pads = 0;  // "=" seen since the last alphabet character
    std::uint32_t left = 0;
    bool ended = false;

    while (i < n) {
        if (quad == 0) {
            // The usual case: whole groups of four alphabet characters.
            while (i + 4 <= n) {
                const std::uint32_t v = group_0[p[i]] | group_1[p[i + 1]] | group_2[p[i + 2]] | group_3[p[i + 3]];
                if (v & not_in_group) break;
                o[0] = static_cast<std::uint8_t>(v);
                o[1] = static_cast<std::uint8_t>(v >> 8);
                o[2] = static_cast<std::uint8_t>(v >> 16);
                o += 3;
                i += 4;
            }
            if (i >= n) break;
        }
        const std::uint8_t v = b64_table[p[i++]];
        if (v == b64_foreign) non_ascii();
        if (v == b64_skip) continue;
        if (v == b64_pad) {
            // Padding counts only once two characters of a group are in; it ends
            // the decoding when it completes the group.
            if (quad >= 2 && quad + ++pads >= 4) {
                ended = true;
                break;
            }
            continue;
        }
        pads = 0;
        switch (quad) {
            case 0:
                left = v;
                quad = 1;
                break;
            case 1:
                *o++ = static_cast<std::uint8_t>(left << 2 | v >> 4);
                left = v & 0x0F;
                quad = 2;
                break;
            case 2:
                *o++ = static_cast<std::uint8_t>(left << 4 | v >> 2);
                left = v & 0x03;
                quad = 3;
                break;
            default:
                *o++ = static_cast<std::uint8_t>(left << 6 | v);
                quad = 0;
                break;
        }
    }
    if (ended) {
        for (; i < n; ++i) {
            if (p[i] >= 0x80) non_ascii();
        }
    } else if (quad == 1) {
        const std::size_t characters = (before + static_cast<std::size_t>(o - begin)) / 3 * 4 + 1;
        core::fail_value(
            core::texts::joined(texts::base64_odd_length, std::to_string(characters), texts::base64_odd_length_end));
    } else if (quad != 0) {
        core::fail_value(std::string(texts::base64_padding));
    }
    return static_cast<std::size_t>(o - begin);
}

}  // namespace

// ---------------------------------------------------------------- reference codec
void reference::encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 0x3F];
        out[2] = alphabet[(v >> 6) & 0x3F];
        out[3] = alphabet[v & 0x3F];
        out += 4;
    }
    if (const std::size_t rest = size - i; rest != 0) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16 | (rest == 2 ? std::uint32_t{data[i + 1]} << 8 : 0);
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 0x3F];
        out[2] = rest == 2 ? alphabet[(v >> 6) & 0x3F] : '=';
        out[3] = '=';
    }
}

std::size_t reference::decode_to(std::string_view text, char* out) { return lenient_decode(text, out, 0); }

// ---------------------------------------------------------------- dispatching codec
void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    if (size < vector_encode_from) return reference::encode_to(data, size, out);
    choose_vector_codec();
    std::size_t written = 0;
    base64_encode(reinterpret_cast<const char*>(data), size, out, &written, 0);
}

namespace {

// Characters libbase64 decodes at a time when a sink is waiting for the bytes:
// 48 KiB of output, whole AES blocks, well inside the cache.
constexpr std::size_t piece_characters = 64 * 1024;

std::size_t dispatching_decode(std::string_view text, char* out, PieceSink* sink) {
    if (text.size() >= vector_decode_from) {
        // libbase64 decodes the body, every group but the last, when it holds
        // alphabet characters only: there both decoders agree byte for byte.
        // The last group (where padding and leftovers sit) is the lenient
        // decoder's. Anything else in the body (white space, junk, padding,
        // non-ASCII) makes libbase64 stop, and the lenient decoder then reads
        // the whole text, so that its verdicts and messages are the only ones.
        choose_vector_codec();
        const std::size_t body = (text.size() - 1) / 4 * 4;
        const std::size_t step = sink != nullptr ? piece_characters : body;
        base64_state state;
        base64_stream_decode_init(&state, 0);
        std::size_t read = 0, written = 0;
        while (read < body) {
            const std::size_t characters = std::min(step, body - read);
            std::size_t made = 0;
            if (base64_stream_decode(&state, text.data() + read, characters, out + written, &made) != 1 ||
                state.eof != 0 || state.bytes != 0 || made != characters / 4 * 3) {
                break;
            }
            if (sink != nullptr) sink->piece(out + written, made);
            read += characters;
            written += made;
        }
        if (read == body) return written + lenient_decode(text.substr(body), out + written, written);
        if (sink != nullptr && written != 0) sink->restart();
    }
    return lenient_decode(text, out, 0);
}

}  // namespace

std::size_t decode_to(std::string_view text, char* out) { return dispatching_decode(text, out, nullptr); }

std::size_t decode_to(std::string_view text, char* out, PieceSink& sink) {
    return dispatching_decode(text, out, &sink);
}

}  // namespace zeq::base64
