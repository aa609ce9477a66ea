// Packet cipher: round trips for every key size and length class, and whole
// blocks agree with plain AES-CBC from libcrypto.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <vector>

#include "net/cipher.h"

namespace {

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed) & 0xFF);
    return v;
}

TEST(PacketCipher, RoundTripsEveryKeySizeAndLength) {
    for (size_t keylen : {16u, 24u, 32u}) {
        auto key = pattern(keylen, 7);
        for (size_t len : {0u, 1u, 5u, 15u, 16u, 17u, 31u, 32u, 33u, 100u, 4096u}) {
            auto plain = pattern(len, 3);
            std::vector<unsigned char> packet(16 + len);
            auto iv = pattern(16, 99);
            std::copy(iv.begin(), iv.end(), packet.begin());
            std::copy(plain.begin(), plain.end(), packet.begin() + 16);
            ASSERT_EQ(encrypt_buffer(key.data(), keylen, packet.data(), len), 1);
            if (len >= 16) {
                EXPECT_NE(std::vector<unsigned char>(packet.begin() + 16, packet.end()), plain);
            }
            ASSERT_EQ(decrypt_buffer(key.data(), keylen, packet.data(), len), 1);
            EXPECT_EQ(std::vector<unsigned char>(packet.begin(), packet.begin() + len), plain)
                << "key " << keylen << " len " << len;
        }
    }
}

TEST(PacketCipher, WholeBlocksAreStandardCbc) {
    auto key = pattern(16, 1);
    auto iv = pattern(16, 2);
    auto plain = pattern(48, 3);
    std::vector<unsigned char> packet(iv);
    packet.insert(packet.end(), plain.begin(), plain.end());
    encrypt_buffer(key.data(), 16, packet.data(), plain.size());

    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<unsigned char> expect(48);
    int n = 0;
    EVP_EncryptUpdate(ctx, expect.data(), &n, plain.data(), 48);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(std::vector<unsigned char>(packet.begin() + 16, packet.end()), expect);
}

TEST(PacketCipher, RefusesBadKeyLength) {
    unsigned char key[20] = {0};
    unsigned char packet[32] = {0};
    EXPECT_EQ(encrypt_buffer(key, 20, packet, 16), 0);
    EXPECT_EQ(decrypt_buffer(key, 20, packet, 16), 0);
}

}  // namespace
