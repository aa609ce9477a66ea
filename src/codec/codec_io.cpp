// codec_io.cpp - what the encrypting file layer does to the bytes of each
// file kind (main database file, WAL, rollback journal, temporary files).
//
// Invariants for keyed files:
// - main file: whole pages are enciphered with the write key on write and
//   deciphered with the read key on read; smaller reads (the header reads)
//   decipher the whole page and copy the slice; other writes are refused.
// - WAL: the 32-byte header and the 24-byte frame headers stay plain; the page
//   of each frame is enciphered with the write key. Its page number comes
//   from the frame header written just before, else it is read back.
// - rollback journal: records are 4-byte page number, page, 4-byte checksum;
//   the page is enciphered with the READ key (the key the file is committed
//   under), so that a hot journal rolls back with the old key after a crash.
//   A journal under another key is refused (NOTADB), never taken for empty.
// - temporary files (any connection) are enciphered with a key of their own
//   that dies with the handle (codec_temp.cpp).
#include <algorithm>
#include <cstring>

#include "codec/codec_file.h"

namespace codec {

namespace {

constexpr int kWalHeader = 32;
constexpr int kFrameHeader = 24;

uint32_t be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int real_read(KxFile* f, void* b, int n, sqlite3_int64 off) {
    return rm(f)->xRead(f->real, b, n, off);
}
int real_write(KxFile* f, const void* b, int n, sqlite3_int64 off) {
    return rm(f)->xWrite(f->real, b, n, off);
}

std::span<unsigned char> scratch(KxFile* f, size_t n) {
    if (f->buf.size() < n) f->buf.resize(n);
    return {f->buf.data(), n};
}

void track_page1(CodecContext* ctx, const unsigned char* page, int n) {
    if (ctx && n >= 16) ctx->page1_bad = memcmp(page, "SQLite format 3", 16) != 0;
}

// A keyed page 1 keeps the reserve the file was created with; only a file
// that is plain so far (no read key: a re-key from plain) may take a new one.
bool page1_write_ok(CodecContext& c, std::span<const unsigned char> page) {
    if (page.size() < 24) return false;
    if (c.reserve_known && page[20] != c.reserve && c.slot[kRead].key_len > 0) return false;
    return codec_learn_header(c, page);
}

// Page number stored big-endian `back` bytes before `off`, read back.
uint32_t read_back_pgno(KxFile* f, sqlite3_int64 off, int back) {
    unsigned char b[4] = {};
    if (real_read(f, b, 4, off - back) != SQLITE_OK) return 0;
    return be32(b);
}

// ---- main database file ----

int ensure_geometry(KxFile* f) {
    CodecContext& c = *f->ctx;
    if (c.page_size) return c.page_size;
    unsigned char head[24];
    if (real_read(f, head, sizeof(head), 0) == SQLITE_OK) codec_learn_header(c, head);
    return c.page_size;
}

int main_read(KxFile* f, void* buf, int amt, sqlite3_int64 off) {
    auto* out = static_cast<unsigned char*>(buf);
    if (!keyed(f)) {
        int rc = real_read(f, buf, amt, off);
        if (rc == SQLITE_OK && off == 0) {
            codec_learn_header(*f->ctx, {out, static_cast<size_t>(amt)});
            track_page1(f->ctx, out, amt);
        }
        return rc;
    }
    const int p = ensure_geometry(f);
    if (p == 0) return real_read(f, buf, amt, off);
    const sqlite3_int64 start = off / p * p;
    const auto pgno = static_cast<uint32_t>(start / p + 1);
    if (amt == p && off == start) {
        int rc = real_read(f, buf, amt, off);
        if (rc != SQLITE_OK) return rc;
        if (!codec_decipher_page(*f->ctx, kRead, {out, static_cast<size_t>(p)}, pgno))
            return SQLITE_IOERR_READ;
        if (pgno == 1) track_page1(f->ctx, out, p);
        return SQLITE_OK;
    }
    if (off + amt > start + p) return SQLITE_IOERR_READ;
    auto page = scratch(f, static_cast<size_t>(p));
    int rc = real_read(f, page.data(), p, start);
    if (rc == SQLITE_IOERR_SHORT_READ) return real_read(f, buf, amt, off);
    if (rc != SQLITE_OK) return rc;
    if (!codec_decipher_page(*f->ctx, kRead, page, pgno)) return SQLITE_IOERR_READ;
    memcpy(buf, page.data() + (off - start), static_cast<size_t>(amt));
    return SQLITE_OK;
}

int main_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off) {
    const auto* in = static_cast<const unsigned char*>(buf);
    CodecContext& c = *f->ctx;
    if (!keyed(f)) {
        if (off == 0) codec_learn_header(c, {in, static_cast<size_t>(amt)});
        return real_write(f, buf, amt, off);
    }
    if (off == 0 && !page1_write_ok(c, {in, static_cast<size_t>(amt)})) return SQLITE_IOERR_WRITE;
    const int p = c.page_size;
    if (p == 0 || amt != p || off % p != 0) return SQLITE_IOERR_WRITE;
    auto out = scratch(f, static_cast<size_t>(p));
    const auto pgno = static_cast<uint32_t>(off / p + 1);
    if (!codec_encipher_page(c, kWrite, {in, static_cast<size_t>(p)}, out, pgno))
        return SQLITE_IOERR_WRITE;
    return real_write(f, out.data(), p, off);
}

// ---- WAL ----

int wal_page_size(KxFile* f) {
    return f->wal_page_size ? f->wal_page_size : f->ctx->page_size;
}

void wal_learn_header(KxFile* f, const unsigned char* b, int amt, sqlite3_int64 off) {
    if (off != 0 || amt < kWalHeader) return;
    uint32_t ps = be32(b + 8);
    if (ps >= 512 && ps <= 65536 && (ps & (ps - 1)) == 0) f->wal_page_size = static_cast<int>(ps);
}

// A page that reaches the WAL in pieces (with powersafe overwrite off, writes
// are split at the sync point): the pieces of one frame share the nonce drawn
// for the first, and the piece that ends the page retires it.
int wal_write_piece(KxFile* f, const unsigned char* in, int amt, sqlite3_int64 off,
                    sqlite3_int64 rel, int p) {
    const sqlite3_int64 frame = off - rel;
    if (rel < kFrameHeader || rel + amt > kFrameHeader + p) return SQLITE_IOERR_WRITE;
    if (f->piece_frame != frame) {
        f->piece_frame = frame;
        sqlite3_randomness(kMaxNonce, f->piece_nonce);
    }
    uint32_t pgno = f->hdr_off == frame ? f->hdr_pgno : read_back_pgno(f, frame, 0);
    auto out = scratch(f, static_cast<size_t>(amt));
    const int from = static_cast<int>(rel - kFrameHeader);
    if (!codec_encipher_piece(*f->ctx, kWrite, {in, out.size()}, out, pgno, p, from,
                              f->piece_nonce))
        return SQLITE_IOERR_WRITE;
    if (rel + amt == kFrameHeader + p) f->piece_frame = -1;
    return real_write(f, out.data(), amt, off);
}

int wal_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off) {
    const auto* in = static_cast<const unsigned char*>(buf);
    wal_learn_header(f, in, amt, off);
    const int p = keyed(f) ? wal_page_size(f) : 0;
    if (p == 0 || off < kWalHeader) return real_write(f, buf, amt, off);
    const sqlite3_int64 rel = (off - kWalHeader) % (p + kFrameHeader);
    if (rel == 0 && amt == kFrameHeader) {
        f->hdr_off = off;
        f->hdr_pgno = be32(in);
        return real_write(f, buf, amt, off);
    }
    if (rel + amt <= kFrameHeader) return real_write(f, buf, amt, off);
    if (rel != kFrameHeader || amt != p) return wal_write_piece(f, in, amt, off, rel, p);
    uint32_t pgno =
        f->hdr_off == off - kFrameHeader ? f->hdr_pgno : read_back_pgno(f, off, kFrameHeader);
    CodecContext& c = *f->ctx;
    if (pgno == 1 && !page1_write_ok(c, {in, static_cast<size_t>(p)})) return SQLITE_IOERR_WRITE;
    auto out = scratch(f, static_cast<size_t>(p));
    if (!codec_encipher_page(c, kWrite, {in, static_cast<size_t>(p)}, out, pgno))
        return SQLITE_IOERR_WRITE;
    return real_write(f, out.data(), p, off);
}

// Deciphers the page of a whole frame image (header + page) in place.
int wal_decipher_frame(KxFile* f, unsigned char* frame, int p) {
    uint32_t pgno = be32(frame);
    auto page = std::span<unsigned char>(frame + kFrameHeader, static_cast<size_t>(p));
    if (!codec_decipher_page(*f->ctx, kRead, page, pgno)) return SQLITE_IOERR_READ;
    if (pgno == 1) track_page1(f->ctx, page.data(), p);
    return SQLITE_OK;
}

int wal_read(KxFile* f, void* buf, int amt, sqlite3_int64 off) {
    auto* out = static_cast<unsigned char*>(buf);
    const int p = keyed(f) ? wal_page_size(f) : 0;
    if (p == 0 || off < kWalHeader) {
        int rc = real_read(f, buf, amt, off);
        if (rc == SQLITE_OK) wal_learn_header(f, out, amt, off);
        return rc;
    }
    const sqlite3_int64 rel = (off - kWalHeader) % (p + kFrameHeader);
    if (rel == 0 && amt == p + kFrameHeader) {
        int rc = real_read(f, buf, amt, off);
        return rc == SQLITE_OK ? wal_decipher_frame(f, out, p) : rc;
    }
    if (rel == kFrameHeader && amt == p) {
        auto frame = scratch(f, static_cast<size_t>(p + kFrameHeader));
        int rc = real_read(f, frame.data(), p + kFrameHeader, off - kFrameHeader);
        if (rc == SQLITE_OK) rc = wal_decipher_frame(f, frame.data(), p);
        if (rc == SQLITE_OK) memcpy(buf, frame.data() + kFrameHeader, static_cast<size_t>(p));
        return rc;
    }
    if (rel + amt <= kFrameHeader) return real_read(f, buf, amt, off);
    return SQLITE_IOERR_READ;
}

// ---- rollback journal ----

bool journal_page_access(KxFile* f, int amt, sqlite3_int64 off) {
    return keyed(f) && f->ctx->page_size && amt == f->ctx->page_size && off % 8 == 4;
}

int journal_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off) {
    if (amt == 4) {
        f->hdr_off = off;
        f->hdr_pgno = be32(static_cast<const unsigned char*>(buf));
    }
    if (!journal_page_access(f, amt, off)) return real_write(f, buf, amt, off);
    uint32_t pgno = f->hdr_off == off - 4 ? f->hdr_pgno : read_back_pgno(f, off, 4);
    auto out = scratch(f, static_cast<size_t>(amt));
    // Journal pages keep the key the file is committed under: the read key.
    if (!codec_encipher_page(*f->ctx, kRead, {static_cast<const unsigned char*>(buf), out.size()},
                             out, pgno))
        return SQLITE_IOERR_WRITE;
    return real_write(f, out.data(), amt, off);
}

// The first record of a journal that is played back is complete: the header's
// record count is written only after the records are synced. Its checksum
// (the pager's: the header's initial value plus every 200th byte from the
// end) failing on the deciphered page means the journal is under another key.
bool journal_first_record_ok(KxFile* f, const unsigned char* page, int p, sqlite3_int64 off) {
    static const unsigned char kMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
    unsigned char hdr[28];
    if (real_read(f, hdr, sizeof(hdr), 0) != SQLITE_OK || memcmp(hdr, kMagic, 8) != 0) return true;
    // A record count of -1 (synchronous=OFF) promises no synced record.
    if (be32(hdr + 8) == 0xffffffffu || off != sqlite3_int64{be32(hdr + 20)} + 4) return true;
    unsigned char stored[4];
    if (real_read(f, stored, 4, off + p) != SQLITE_OK) return true;
    uint32_t sum = be32(hdr + 12);
    for (int i = p - 200; i > 0; i -= 200) sum += page[i];
    return sum == be32(stored);
}

int journal_read(KxFile* f, void* buf, int amt, sqlite3_int64 off) {
    int rc = real_read(f, buf, amt, off);
    if (rc != SQLITE_OK) return rc;
    auto* data = static_cast<unsigned char*>(buf);
    if (amt == 4) {
        f->hdr_off = off;
        f->hdr_pgno = be32(data);
    }
    // Journal pages of a connection without a key are checked too: a keyed
    // journal must not be taken for empty by an opener without the key.
    if (!f->ctx || !f->ctx->page_size || amt != f->ctx->page_size || off % 8 != 4) return rc;
    uint32_t pgno = f->hdr_off == off - 4 ? f->hdr_pgno : read_back_pgno(f, off, 4);
    CodecContext& c = *f->ctx;
    if (keyed(f)) {
        if (!codec_decipher_page(c, kRead, {data, static_cast<size_t>(amt)}, pgno))
            return SQLITE_IOERR_READ;
        // A page played back from the journal is under the read key: while a
        // re-key runs, writes that follow must use that key too.
        if (c.keys_differ() && !codec_copy_slot(c.slot[kWrite], c.slot[kRead])) return SQLITE_NOMEM;
    }
    // Under another key, refuse to play the journal back rather than let the
    // pager take it for empty and delete it.
    if (pgno == 1 && memcmp(data, "SQLite format 3", 16) != 0) return SQLITE_NOTADB;
    if (!journal_first_record_ok(f, data, amt, off)) return SQLITE_NOTADB;
    return SQLITE_OK;
}

// ---- temporary files ----

int temp_read(KxFile* f, void* buf, int amt, sqlite3_int64 off) {
    int rc = real_read(f, buf, amt, off);
    size_t n = static_cast<size_t>(amt);
    if (rc == SQLITE_IOERR_SHORT_READ) {
        // Only the bytes that were there are enciphered; the rest stays zero.
        sqlite3_int64 size = 0;
        if (rm(f)->xFileSize(f->real, &size) != SQLITE_OK) return SQLITE_IOERR_READ;
        n = size > off ? static_cast<size_t>(std::min<sqlite3_int64>(size - off, amt)) : 0;
    } else if (rc != SQLITE_OK) {
        return rc;
    }
    if (!codec_temp_apply(*f->temp, static_cast<unsigned char*>(buf), n, off))
        return SQLITE_IOERR_READ;
    return rc;
}

int temp_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off) {
    auto out = scratch(f, static_cast<size_t>(amt));
    memcpy(out.data(), buf, out.size());
    if (!codec_temp_apply(*f->temp, out.data(), out.size(), off)) return SQLITE_IOERR_WRITE;
    return real_write(f, out.data(), amt, off);
}

}  // namespace

int kx_read(KxFile* f, void* buf, int amt, sqlite3_int64 off) {
    switch (f->kind) {
        case kMain:
            return main_read(f, buf, amt, off);
        case kWal:
            return wal_read(f, buf, amt, off);
        case kJournal:
            return journal_read(f, buf, amt, off);
        case kTemp:
            return temp_read(f, buf, amt, off);
        default:
            return real_read(f, buf, amt, off);
    }
}

int kx_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off) {
    switch (f->kind) {
        case kMain:
            return main_write(f, buf, amt, off);
        case kWal:
            return wal_write(f, buf, amt, off);
        case kJournal:
            return journal_write(f, buf, amt, off);
        case kTemp:
            return temp_write(f, buf, amt, off);
        default:
            return real_write(f, buf, amt, off);
    }
}

}  // namespace codec
