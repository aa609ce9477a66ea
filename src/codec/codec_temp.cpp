// codec_temp.cpp - the cipher of temporary files.
//
// Keyed connections keep temporary storage in memory; this is the backstop
// for what still reaches a temporary file (sorter spills, or a connection
// whose temp_store was set back to FILE). Every temporary file gets its own
// random key and nonce, drawn at open and never stored: the content is
// readable only through the handle that wrote it, and is gone with it.
// AES-128 in counter mode (counter = byte offset / 16) lets any offset and
// length be read and written independently.
#include <openssl/crypto.h>

#include <cstring>

#include "codec/codec_internal.h"

namespace codec {

int codec_temp_init(TempCipher& t) {
    unsigned char key[16];
    sqlite3_randomness(sizeof(key), key);
    sqlite3_randomness(sizeof(t.nonce), t.nonce);
    t.evp.reset(EVP_CIPHER_CTX_new());
    int ok =
        t.evp && EVP_EncryptInit_ex(t.evp.get(), EVP_aes_128_ctr(), nullptr, key, nullptr) == 1;
    OPENSSL_cleanse(key, sizeof(key));
    return ok;
}

int codec_temp_apply(TempCipher& t, unsigned char* data, size_t n, int64_t off) {
    if (n == 0) return 1;
    auto block = static_cast<uint64_t>(off) / 16;
    unsigned char iv[16];
    memcpy(iv, t.nonce, 8);
    for (int i = 0; i < 8; ++i) iv[15 - i] = static_cast<unsigned char>(block >> (8 * i));
    EVP_CIPHER_CTX* c = t.evp.get();
    if (EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, iv) != 1) return 0;
    int len = 0;
    unsigned char skip[16] = {};
    if (int lead = static_cast<int>(off % 16); lead > 0) {
        if (EVP_EncryptUpdate(c, skip, &len, skip, lead) != 1) return 0;
    }
    while (n > 0) {
        int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
        if (EVP_EncryptUpdate(c, data, &len, data, chunk) != 1) return 0;
        data += chunk;
        n -= static_cast<size_t>(chunk);
    }
    return 1;
}

}  // namespace codec
