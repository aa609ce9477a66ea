// codec_internal.h - the page codec's shared state, between the key
// functions (codec.cpp), the page transform (codec_page.cpp), the key
// derivations (codec_keys.cpp), the cipher of temporary files (codec_temp.cpp)
// and the encrypting file layer (codec_vfs.cpp, codec_io.cpp).
//
// Model: every main database file opened through the "kestrix" VFS owns one
// CodecContext. The WAL and rollback journal of that database find it through
// their main file. Slot 0 is the write key, slot 1 the read key; both are
// equal except while a re-key runs. A context whose slots hold no key passes
// pages through untouched.
//
// Page layout of a keyed file (page size P, reserve R from the file header):
// bytes 0..P-R-1 are AES-128-OFB ciphertext, bytes P-R..P-1 hold the page's
// nonce in plain (the first min(R, 12) of them are used). The IV is the page
// number (32-bit little-endian), the nonce, then zeros up to 16 bytes. Bytes 16
// to 23 of page 1 stay plain so that the geometry is readable without a key.
// Deciphered pages come back with their reserved area zeroed: the engine's
// checksums (WAL frames, journal records) are computed over the page as it
// sits in memory, and the nonce is only ever on disk.
#pragma once

#include <openssl/evp.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace codec {

constexpr int kMaxNonce = 12;
constexpr int kDefaultReserve = 12;

struct EvpFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using EvpCtx = std::unique_ptr<EVP_CIPHER_CTX, EvpFree>;

// One key slot: the derived key bytes and the cipher context built from them
// (AES-128 key schedule, output-feedback mode).
struct KeySlot {
    int key_len = 0;  // 0 = no key: pages pass through
    unsigned char key[16] = {};
    EvpCtx evp;
    KeySlot() = default;
    ~KeySlot();
    KeySlot(const KeySlot&) = delete;
    KeySlot& operator=(const KeySlot&) = delete;
};

struct CodecContext {
    KeySlot slot[2];                // 0 = write key, 1 = read key
    int page_size = 0;              // 0 until learnt from a header or a page access
    int reserve = kDefaultReserve;  // R, from the file header once known
    bool reserve_known = false;
    bool page1_bad = false;  // page 1 last read showed no SQLite header
    bool keyed() const { return slot[0].key_len > 0 || slot[1].key_len > 0; }
    bool keys_differ() const;
};

enum Slot { kWrite = 0, kRead = 1 };

// Key derivations into `slot` (codec_keys.cpp). n > 0: raw bytes, repeated or
// cut to 16; n < 0: NUL-terminated text key schedule; n == 0 or key NULL: no
// key. Answers 1, or 0 when the cipher context cannot be built.
int codec_load_key(KeySlot& slot, const void* key, int n);
// Builds the 16 key bytes only (no cipher context); the derived length.
int codec_derive_key(const void* key, int n, unsigned char out[16]);
int codec_copy_slot(KeySlot& to, const KeySlot& from);
// Decodes up to 80 hex digits; the bytes (stops at the first non-hex pair).
std::string codec_hex_decode(const char* hex);

// Page transform (codec_page.cpp). `page` spans one whole page.
// Enciphers `in` into `out` (same size) with a fresh nonce; page 1 keeps bytes
// 16-23 plain. Answers 0 when the slot's cipher fails.
int codec_encipher_page(CodecContext& ctx, int slot, std::span<const unsigned char> in,
                        std::span<unsigned char> out, uint32_t pgno);
// Enciphers the bytes [from, from + in.size()) of a page written in pieces;
// every piece of one page write passes the same kMaxNonce bytes of `nonce`.
int codec_encipher_piece(CodecContext& ctx, int slot, std::span<const unsigned char> in,
                         std::span<unsigned char> out, uint32_t pgno, int page_size, int from,
                         const unsigned char* nonce);
// Deciphers in place and zeroes the reserved area.
int codec_decipher_page(CodecContext& ctx, int slot, std::span<unsigned char> page, uint32_t pgno);
// Geometry from the plain bytes 16-23 of a page-1 image; false when absent.
bool codec_learn_header(CodecContext& ctx, std::span<const unsigned char> head);

// Cipher of one temporary file (codec_temp.cpp): a random key and nonce that
// live as long as the file handle.
struct TempCipher {
    EvpCtx evp;
    unsigned char nonce[8] = {};
};
int codec_temp_init(TempCipher& t);
// XORs `n` bytes that sit at file offset `off` with the file's key stream.
int codec_temp_apply(TempCipher& t, unsigned char* data, size_t n, int64_t off);

// The file layer (codec_vfs.cpp).
int codec_vfs_register();
// The context of a main database file opened through the codec VFS, or NULL.
CodecContext* codec_file_context(sqlite3_file* file);

}  // namespace codec
