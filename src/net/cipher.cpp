// cipher.cpp - AES-CBC with ciphertext stealing over libcrypto's block cipher.
//
// L >= 16: plain CBC over the whole blocks; a partial last block of n bytes
// is XORed with the head of the last whole ciphertext block C, the stolen
// tail of C completes it, its encryption takes C's place and the head of C
// becomes the final n bytes. L < 16: the IV and the payload form one buffer
// W = IV || P; P is XORed with the IV's head and the 16 bytes W[L..L+15] are
// enciphered in place, so the tail of the IV is sent enciphered.
#include "net/cipher.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

const EVP_CIPHER* ecb_for(size_t keylen) {
    switch (keylen) {
        case 16:
            return EVP_aes_128_ecb();
        case 24:
            return EVP_aes_192_ecb();
        case 32:
            return EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

// One AES block cipher (encrypting or decrypting) for a key.
class Block {
public:
    Block(const unsigned char* key, size_t keylen, bool encrypt) : ctx_(EVP_CIPHER_CTX_new()) {
        const EVP_CIPHER* c = ecb_for(keylen);
        ok_ = c && ctx_ &&
              EVP_CipherInit_ex(ctx_.get(), c, nullptr, key, nullptr, encrypt ? 1 : 0) == 1;
        if (ok_) EVP_CIPHER_CTX_set_padding(ctx_.get(), 0);
    }
    bool ok() const { return ok_; }
    void apply(unsigned char* block) {  // 16 bytes in place
        unsigned char out[16];
        int n = 0;
        EVP_CipherUpdate(ctx_.get(), out, &n, block, 16);
        memcpy(block, out, 16);
    }

private:
    Ctx ctx_;
    bool ok_ = false;
};

void xor_into(unsigned char* dst, const unsigned char* src, size_t n) {
    for (size_t i = 0; i < n; ++i) dst[i] ^= src[i];
}

}  // namespace

int encrypt_buffer(const unsigned char* key, size_t keylen, unsigned char* packet, size_t len) {
    Block enc(key, keylen, true);
    if (!enc.ok()) return 0;
    unsigned char* iv = packet;
    unsigned char* p = packet + 16;
    if (len < 16) {
        xor_into(p, iv, len);
        enc.apply(packet + len);
        return 1;
    }
    size_t whole = len / 16;
    size_t n = len % 16;
    const unsigned char* prev = iv;
    for (size_t i = 0; i < whole; ++i) {
        unsigned char* b = p + 16 * i;
        xor_into(b, prev, 16);
        enc.apply(b);
        prev = b;
    }
    if (n) {
        unsigned char* last = p + 16 * (whole - 1);  // C
        unsigned char* tail = p + 16 * whole;        // partial plaintext
        unsigned char x[16];
        for (size_t i = 0; i < n; ++i) x[i] = tail[i] ^ last[i];
        memcpy(x + n, last + n, 16 - n);
        memcpy(tail, last, n);
        enc.apply(x);
        memcpy(last, x, 16);
    }
    return 1;
}

int decrypt_buffer(const unsigned char* key, size_t keylen, unsigned char* packet, size_t len) {
    Block dec(key, keylen, false);
    if (!dec.ok()) return 0;
    unsigned char* p = packet + 16;
    if (len < 16) {
        dec.apply(packet + len);
        for (size_t i = 0; i < len; ++i) packet[i] = p[i] ^ packet[i];
        return 1;
    }
    size_t whole = len / 16;
    size_t n = len % 16;
    if (n) {
        unsigned char* last = p + 16 * (whole - 1);
        unsigned char* tail = p + 16 * whole;
        unsigned char x[16];
        memcpy(x, last, 16);
        dec.apply(x);
        unsigned char c[16];  // the last whole ciphertext block, restored
        memcpy(c, tail, n);
        memcpy(c + n, x + n, 16 - n);
        for (size_t i = 0; i < n; ++i) tail[i] = x[i] ^ c[i];
        memcpy(last, c, 16);
    }
    // CBC backwards so that each block still sees its predecessor's ciphertext.
    for (size_t i = whole; i-- > 0;) {
        unsigned char* b = p + 16 * i;
        const unsigned char* prev = i == 0 ? packet : b - 16;
        dec.apply(b);
        xor_into(b, prev, 16);
    }
    memmove(packet, p, len);
    return 1;
}
