// The Base64 codec against its byte-at-a-time reference: the vector path
// (libbase64, chosen at run time) must give the same bytes, and the same
// failure with the same message, as the reference on every text; encoding
// must give what the reference and OpenSSL's EVP_EncodeBlock give.
//
// The input is used as it stands, and also as a long and mostly valid text
// (each byte an alphabet character, a few of them padding, white space, junk
// or non-ASCII), alone and behind a long valid body, so that the vector path
// (long texts only) meets every kind of fault at every place.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/base64.hpp"
#include "core/error.hpp"
#include "require.hpp"

namespace {

using namespace zeq;
using fuzz::require;

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The outcome of a decoder: the bytes, or the failure's message.
struct Outcome {
    bool ok = false;
    std::string value;
    bool operator==(const Outcome&) const = default;
};

template <class Decode>
Outcome run(std::string_view text, Decode decode) {
    const std::size_t capacity = base64::decoded_capacity(text.size());
    std::unique_ptr<char[]> out(new char[capacity]);
    try {
        const std::size_t n = decode(text, out.get());
        require(n <= capacity, "decoded size within decoded_capacity");
        return {true, std::string(out.get(), n)};
    } catch (const core::Error& e) {
        require(e.kind() == core::ErrorKind::value, "Base64 refusal is a value error");
        return {false, e.message()};
    }
}

void same_verdicts(std::string_view text) {
    const Outcome fast = run(text, [](std::string_view t, char* o) { return base64::decode_to(t, o); });
    const Outcome reference = run(text, [](std::string_view t, char* o) { return base64::reference::decode_to(t, o); });
    require(fast == reference, "the vector decoder agrees with the reference, failures and messages included");
}

void same_encodings(std::string_view bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t size = base64::encoded_size(bytes.size());
    std::string fast(size, '\0'), reference(size, '\0'), evp(size + 1, '\0');
    base64::encode_to(data, bytes.size(), fast.data());
    base64::reference::encode_to(data, bytes.size(), reference.data());
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(evp.data()), data, static_cast<int>(bytes.size()));
    evp.resize(static_cast<std::size_t>(written));
    require(fast == reference, "the vector encoder agrees with the reference");
    require(reference == evp, "the reference encoder agrees with OpenSSL");
    require(run(fast, [](std::string_view t, char* o) { return base64::decode_to(t, o); }) ==
                Outcome{true, std::string(bytes)},
            "what is encoded decodes back");
}

// Mostly alphabet characters; the high byte values stand for the characters
// that make a text irregular.
std::string mostly_valid(std::string_view input) {
    static constexpr char irregular[] = {'=', ' ', '\n', '!', '-', '\x7f', '\0', '\xc3', '\x80', '=', '\t', '_'};
    std::string text;
    text.reserve(input.size());
    for (char c : input) {
        const auto b = static_cast<unsigned char>(c);
        text += b >= 256 - sizeof irregular ? irregular[b - (256 - sizeof irregular)] : alphabet[b % 64];
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    same_verdicts(input);
    same_encodings(input);

    const std::string text = mostly_valid(input);
    same_verdicts(text);
    std::string body;
    for (std::size_t i = 0; i < 300; ++i) body += alphabet[(i * 7 + size) % 64];
    same_verdicts(body + text);
    same_verdicts(body + std::string(input));
    same_verdicts(body.substr(0, 150) + text + body.substr(150));

    // Long byte strings for the vector encoder: the input, repeated.
    if (size != 0) {
        std::string bytes;
        while (bytes.size() < 300) bytes += input;
        same_encodings(bytes);
    }
    return 0;
}
