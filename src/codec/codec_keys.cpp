// codec_keys.cpp - key derivations into 16 key bytes and the key slots.
//
// Raw keys (positive length, also the "key" and "hexkey" URI forms) repeat or
// cut to 16 bytes: byte i = key[i mod min(n, 16)]. Text keys (negative
// length, the "textkey" URI form) go through an RC4-style schedule over the
// text and its terminating NUL. A slot with key length 0 has no cipher context
// and passes pages through. Key bytes are wiped when a slot is reloaded or
// destroyed.
#include <openssl/crypto.h>

#include <cstring>
#include <string>

#include "codec/codec_internal.h"

namespace codec {

namespace {

void text_key_schedule(const char* text, unsigned char out[16]) {
    unsigned char s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    size_t len = strlen(text);
    if (len > 0) {
        // The schedule runs over the text followed by its NUL byte.
        const auto* k = reinterpret_cast<const unsigned char*>(text);
        unsigned j = 0;
        for (unsigned i = 0; i < 256; ++i) {
            j = (j + s[i] + k[i % (len + 1)]) & 0xFF;
            std::swap(s[i], s[j]);
        }
    }
    unsigned j = 0;
    for (unsigned t = 0; t < 16; ++t) {
        unsigned i = t + 1;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out[t] = static_cast<unsigned char>((s[i] + s[j]) & 0xFF);
    }
    OPENSSL_cleanse(s, sizeof(s));
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

KeySlot::~KeySlot() {
    OPENSSL_cleanse(key, sizeof(key));
}

bool CodecContext::keys_differ() const {
    return slot[0].key_len != slot[1].key_len ||
           memcmp(slot[0].key, slot[1].key, sizeof(slot[0].key)) != 0;
}

int codec_derive_key(const void* key, int n, unsigned char out[16]) {
    memset(out, 0, 16);
    if (!key || n == 0) return 0;
    if (n < 0) {
        text_key_schedule(static_cast<const char*>(key), out);
        return 16;
    }
    const auto* k = static_cast<const unsigned char*>(key);
    int len = n < 16 ? n : 16;
    for (int i = 0; i < 16; ++i) out[i] = k[i % len];
    return len;
}

int codec_load_key(KeySlot& slot, const void* key, int n) {
    slot.key_len = codec_derive_key(key, n, slot.key);
    if (slot.key_len == 0) {
        slot.evp.reset();
        return 1;
    }
    if (!slot.evp) slot.evp.reset(EVP_CIPHER_CTX_new());
    if (!slot.evp ||
        EVP_EncryptInit_ex(slot.evp.get(), EVP_aes_128_ofb(), nullptr, slot.key, nullptr) != 1) {
        slot.key_len = 0;
        OPENSSL_cleanse(slot.key, sizeof(slot.key));
        slot.evp.reset();
        return 0;
    }
    return 1;
}

int codec_copy_slot(KeySlot& to, const KeySlot& from) {
    if (&to == &from) return 1;
    if (from.key_len == 0) return codec_load_key(to, nullptr, 0);
    // The derived bytes are reloaded as a raw 16-byte key; the length stays.
    int ok = codec_load_key(to, from.key, 16);
    to.key_len = ok ? from.key_len : 0;
    return ok;
}

std::string codec_hex_decode(const char* hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1] && out.size() < 40; i += 2) {
        int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

}  // namespace codec
