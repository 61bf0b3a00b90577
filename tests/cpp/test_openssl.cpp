// libcrypto's error queue after every failure of the core: empty, so that no
// stale entry reaches the next user of the same libcrypto in the process.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/cipher.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/openssl.hpp"

using namespace zeq;

TEST_CASE("openssl: a failure of libcrypto drains the queue before it is thrown") {
    ERR_raise(ERR_LIB_EVP, EVP_R_UNSUPPORTED_ALGORITHM);  // what a failed libcrypto call leaves behind
    CHECK(ERR_peek_error() != 0);
    CHECK_THROWS(openssl::fail(core::ErrorKind::value, "AES-CBC decryption failed"), core::ErrorKind::value,
                 "AES-CBC decryption failed");
    CHECK_EQ(ERR_peek_error(), 0ul);
}

TEST_CASE("openssl: an algorithm libcrypto lacks fails with its name and leaves no error queued") {
    ERR_clear_error();
    CHECK_THROWS(openssl::fetch_cipher("ZEQ-NO-SUCH-CIPHER"), core::ErrorKind::value,
                 "ZEQ-NO-SUCH-CIPHER is not available in libcrypto");
    CHECK_EQ(ERR_peek_error(), 0ul);
    CHECK(openssl::aes_cbc(32) == openssl::aes_cbc(32));  // fetched once
    CHECK(openssl::aes_cbc(32) != nullptr && openssl::aes_cbc(24) != nullptr && openssl::aes_cbc(16) != nullptr);
    CHECK(openssl::aes_cbc(20) == nullptr);
    CHECK(openssl::sha256() != nullptr);
    CHECK_EQ(ERR_peek_error(), 0ul);
}

TEST_CASE("openssl: every refused decryption leaves the error queue empty") {
    ERR_clear_error();
    cipher::Key key, other, short_key;
    cipher::Key::from_hex(std::string(64, '0'), key);
    cipher::Key::from_hex(std::string(64, '1'), other);
    cipher::Key::from_hex("00112233", short_key);
    const std::string plain = "+86 138 0000 0000";
    std::string ciphertext(cipher::encrypted_text_size(plain.size()) + 1, '\0');
    cipher::encrypt_to_base64(key, plain, ciphertext.data());
    ciphertext.resize(cipher::encrypted_text_size(plain.size()));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"abc", "Incorrect padding"},
        {"a", "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4"},
        {"AAAA", "The length of the provided data is not a multiple of the block length."},
        {"\xc3\xa9", "string argument should contain only ASCII characters"},
    };
    for (const auto& [text, message] : refused) {
        CHECK_THROWS(cipher::decrypt_from_base64(key, text), core::ErrorKind::value, message);
        CHECK_EQ(ERR_peek_error(), 0ul);
    }
    // A wrong key: a bad padding or bytes that are not text, one verdict.
    CHECK_THROWS(cipher::decrypt_from_base64(other, ciphertext), core::ErrorKind::value,
                 std::string(core::texts::cipher::wrong_key_or_damaged));
    CHECK_EQ(ERR_peek_error(), 0ul);
    // Keys libcrypto has no AES for, and texts that are no key.
    CHECK_THROWS(cipher::decrypt_from_base64(short_key, ciphertext), core::ErrorKind::value,
                 "Invalid key size (32) for AES.");
    CHECK_EQ(ERR_peek_error(), 0ul);
    cipher::Key refused_key;
    CHECK_THROWS(cipher::Key::from_hex("zz", refused_key), core::ErrorKind::value,
                 "non-hexadecimal number found in fromhex() arg at position 0");
    CHECK_EQ(ERR_peek_error(), 0ul);
    CHECK_EQ(std::string(cipher::decrypt_from_base64(key, ciphertext).view()), plain);
    CHECK_EQ(ERR_peek_error(), 0ul);
}
