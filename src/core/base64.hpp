// Standard Base64 (RFC 4648 alphabet, "=" padding) as the layer's ciphertexts
// travel: one encoder, and the lenient decoder whose verdicts hosts see.
//
// Long texts go through the vendored libbase64, whose vector codecs (AVX2,
// AVX-512, NEON, ...) are chosen at run time for the processor at hand; short
// ones, and anything libbase64's strict decoder refuses, through the
// byte-at-a-time code of `reference`, which alone decides every verdict. Both
// paths give the same bytes and the same failures on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zeq::base64 {

// Characters of standard Base64 (with padding) for n bytes.
constexpr std::size_t encoded_size(std::size_t n) noexcept { return 4 * ((n + 2) / 3); }

// Room that decoding `text_size` characters may need.
constexpr std::size_t decoded_capacity(std::size_t text_size) noexcept { return text_size / 4 * 3 + 3; }

// Writes the Base64 of `size` bytes to `out` (encoded_size(size) characters, no NUL).
void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept;

// Lenient standard Base64 into `out` (decoded_capacity(text.size()) bytes):
// characters outside the alphabet and "=" are skipped; decoding stops at the
// first group completed by padding and ignores the rest; a leftover of one
// character, or of two or three without padding, fails; any non-ASCII byte
// anywhere fails. Returns the number of bytes written; failures are value
// errors with the host's own messages.
std::size_t decode_to(std::string_view text, char* out);

// Receives the bytes of a long text while decode_to writes them: pieces of
// whole groups, in order and contiguous, each while it is still in the cache.
// restart() voids every piece handed over: the text is then decoded again from
// its start, and what follows comes from the final result only.
class PieceSink {
public:
    virtual void piece(char* data, std::size_t size) = 0;
    virtual void restart() = 0;

protected:
    ~PieceSink() = default;
};

// decode_to, with the pieces of the vector path handed to `sink` as they are
// made (bytes of a multiple of 48 each, the last one aside).
std::size_t decode_to(std::string_view text, char* out, PieceSink& sink);

// The byte-at-a-time codec behind the above: what short texts use, and the
// reference the vector path is checked against.
namespace reference {
void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept;
std::size_t decode_to(std::string_view text, char* out);
}  // namespace reference

}  // namespace zeq::base64
