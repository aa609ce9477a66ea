// codec_page.cpp - the page transform: AES-128 in output feedback over the
// usable area of one page.
//
// Invariants: the reserved area of an enciphered page carries the nonce that
// produced it (fresh from SQLite's randomness source on every write); a
// deciphered page has a zeroed reserved area; page 1 bytes 16-23 are plain in
// both forms. The transform never allocates: callers own the buffers.
#include <cstring>
#include <vector>

#include "codec/codec_internal.h"

namespace codec {

namespace {

constexpr int kPlainFrom = 16;  // page 1 bytes 16..23 stay plain
constexpr int kPlainTo = 24;

int nonce_length(const CodecContext& ctx) {
    return ctx.reserve < kMaxNonce ? ctx.reserve : kMaxNonce;
}

void make_iv(uint32_t pgno, const unsigned char* nonce, int nlen, unsigned char iv[16]) {
    memset(iv, 0, 16);
    iv[0] = static_cast<unsigned char>(pgno);
    iv[1] = static_cast<unsigned char>(pgno >> 8);
    iv[2] = static_cast<unsigned char>(pgno >> 16);
    iv[3] = static_cast<unsigned char>(pgno >> 24);
    if (nlen > 0) memcpy(iv + 4, nonce, static_cast<size_t>(nlen));
}

// out = in XOR key stream(iv) over `n` bytes (in == out allowed).
int ofb_apply(KeySlot& slot, const unsigned char iv[16], const unsigned char* in,
              unsigned char* out, int n) {
    EVP_CIPHER_CTX* c = slot.evp.get();
    int len = 0;
    if (EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, iv) != 1) return 0;
    return EVP_EncryptUpdate(c, out, &len, in, n) == 1 && len == n;
}

}  // namespace

bool codec_learn_header(CodecContext& ctx, std::span<const unsigned char> head) {
    if (head.size() < kPlainTo) return false;
    int ps = (head[16] << 8) | head[17];
    if (ps == 1) ps = 65536;
    if (ps < 512 || ps > 65536 || (ps & (ps - 1)) != 0) return false;
    ctx.page_size = ps;
    ctx.reserve = head[20];
    ctx.reserve_known = true;
    return true;
}

int codec_encipher_page(CodecContext& ctx, int slot, std::span<const unsigned char> in,
                        std::span<unsigned char> out, uint32_t pgno) {
    KeySlot& ks = ctx.slot[slot];
    const int size = static_cast<int>(in.size());
    const int usable = size - ctx.reserve;
    if (ks.key_len == 0 || usable <= 0) {
        memcpy(out.data(), in.data(), in.size());
        return 1;
    }
    const int nlen = nonce_length(ctx);
    unsigned char* reserved = out.data() + usable;
    memcpy(reserved, in.data() + usable, static_cast<size_t>(ctx.reserve));
    if (nlen > 0) sqlite3_randomness(nlen, reserved);
    unsigned char iv[16];
    make_iv(pgno, reserved, nlen, iv);
    if (!ofb_apply(ks, iv, in.data(), out.data(), usable)) return 0;
    if (pgno == 1) memcpy(out.data() + kPlainFrom, in.data() + kPlainFrom, kPlainTo - kPlainFrom);
    return 1;
}

int codec_encipher_piece(CodecContext& ctx, int slot, std::span<const unsigned char> in,
                         std::span<unsigned char> out, uint32_t pgno, int page_size, int from,
                         const unsigned char* nonce) {
    KeySlot& ks = ctx.slot[slot];
    const int usable = page_size - ctx.reserve;
    memcpy(out.data(), in.data(), in.size());
    if (ks.key_len == 0 || usable <= 0) return 1;
    const int nlen = nonce_length(ctx);
    std::vector<unsigned char> stream(static_cast<size_t>(usable), 0);
    unsigned char iv[16];
    make_iv(pgno, nonce, nlen, iv);
    if (!ofb_apply(ks, iv, stream.data(), stream.data(), usable)) return 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const int pos = from + static_cast<int>(i);
        const bool plain = pgno == 1 && pos >= kPlainFrom && pos < kPlainTo;
        if (pos < usable && !plain) out[i] ^= stream[static_cast<size_t>(pos)];
        if (pos >= usable && pos - usable < nlen) out[i] = nonce[pos - usable];
    }
    return 1;
}

int codec_decipher_page(CodecContext& ctx, int slot, std::span<unsigned char> page, uint32_t pgno) {
    KeySlot& ks = ctx.slot[slot];
    if (pgno == 1) codec_learn_header(ctx, page);
    const int size = static_cast<int>(page.size());
    const int usable = size - ctx.reserve;
    if (ks.key_len == 0 || usable <= 0) return 1;
    unsigned char plain[kPlainTo - kPlainFrom];
    if (pgno == 1) memcpy(plain, page.data() + kPlainFrom, sizeof(plain));
    unsigned char iv[16];
    make_iv(pgno, page.data() + usable, nonce_length(ctx), iv);
    if (!ofb_apply(ks, iv, page.data(), page.data(), usable)) return 0;
    memset(page.data() + usable, 0, static_cast<size_t>(ctx.reserve));
    if (pgno == 1) memcpy(page.data() + kPlainFrom, plain, sizeof(plain));
    return 1;
}

}  // namespace codec
