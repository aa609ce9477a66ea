// client_login_test.cpp - the proofs and keys of the login handshakes
// against known answers computed independently.
#include <gtest/gtest.h>

#include "core/digest.h"
#include "error.h"
#include "login_proof.h"
#include "net/cipher.h"

using namespace kestrix;

namespace {

std::string hex(const Digest& d) {
    return to_hex({reinterpret_cast<const char*>(d.data()), 20});
}

Digest counting(uint8_t start) {
    Digest d;
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(start + i);
    return d;
}

std::string view(const Digest& d) {
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

}  // namespace

TEST(ClientLogin, PasswordDigestIsTheStoredForm) {
    Digest d = password_digest("secret");
    EXPECT_EQ(hex(d), "14e65567abdb5135d0cfd9a70b3032c179a49ee7");
    EXPECT_EQ(base64_decode(hash_password("secret")), view(d));
}

TEST(ClientLogin, UserProofs) {
    EXPECT_EQ(clear_user_proof(Protocol::v2011, "admin"),
              "d033e22ae348aeb5660fc2140aec35850c4da997");
    EXPECT_EQ(clear_user_proof(Protocol::v2007, "admin"), "admin");
    Iv iv;
    for (size_t i = 0; i < iv.size(); ++i) iv[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(encrypted_user_proof(Protocol::v2011, "admin", iv),
              "3f31cd8e99cd56ea10e09f197f36b5988a48242a");
    EXPECT_EQ(encrypted_user_proof(Protocol::v2007, "admin", iv), "admin");
}

TEST(ClientLogin, ClearResponse) {
    std::string challenge = view(counting(100));
    EXPECT_EQ(hex(clear_response(challenge, password_digest("secret"))),
              "e4299a21ef8cb43b214790f2dbabaa25b7e33fc6");
}

TEST(ClientLogin, SessionKeysOfEachType) {
    struct Case {
        KeyType type;
        const char* key;
    };
    const Case cases[] = {
        {KeyType::kAes128, "a88387de373c6a79db50213def78fdcd"},
        {KeyType::kAes192, "0207a2b3373c6a79db50213def78fdcd946ccf4000000000"},
        {KeyType::kAes256, "0207a2b35398c3bdb1920ef4ef78fdcd946ccf40000000000000000000000000"},
    };
    Digest d = password_digest("secret");
    for (const auto& c : cases) {
        auto k = derive_session_key(c.type, d, counting(0), counting(20));
        EXPECT_EQ(to_hex({reinterpret_cast<const char*>(k.data()), k.size()}), c.key);
    }
    EXPECT_THROW(derive_session_key(KeyType::kNone, d, counting(0), counting(20)), Error);
}

// The sealed random is IV || AES-128_{D[0..15]}(R || SHA-1(R)).
TEST(ClientLogin, SealedRandomOpensOnlyWithTheRightDigest) {
    Digest d = password_digest("secret");
    Digest r = counting(7);
    Iv iv = random_iv();
    std::string sealed = seal_random(d, r, iv);
    ASSERT_EQ(sealed.size(), 56u);
    std::string plain = sealed;
    decrypt_buffer(d.data(), 16, reinterpret_cast<unsigned char*>(plain.data()), 40);
    EXPECT_EQ(plain.substr(0, 20), view(r));
    EXPECT_EQ(plain.substr(20, 20), view(sha1(view(r))));

    EXPECT_EQ(open_random(d, sealed), r);
    EXPECT_EQ(open_random(password_digest("other"), sealed), std::nullopt);
    std::string tampered = sealed;
    tampered[30] ^= 1;
    EXPECT_EQ(open_random(d, tampered), std::nullopt);
    EXPECT_EQ(open_random(d, sealed.substr(0, 55)), std::nullopt);
}

// Packet sizes of enciphered payloads: IV plus exactly the plaintext length.
TEST(ClientLogin, SealedPayloadSizes) {
    SessionKey key{KeyType::kAes256, derive_session_key(KeyType::kAes256, password_digest("x"),
                                                        counting(0), counting(1))};
    for (size_t len : {0u, 5u, 16u, 20u, 33u}) {
        std::string plain(len, 'p');
        Iv iv = random_iv();
        std::string sealed = seal_with_key(key, plain, iv);
        EXPECT_EQ(sealed.size(), 16 + len);
        EXPECT_EQ(open_with_key(key, sealed), plain) << len;
    }
    EXPECT_THROW(open_with_key(key, "short"), Error);
}
