// codec_vfs.cpp - the encrypting file layer "kestrix" over the unix VFS.
//
// Model: every file SQLite opens goes through this layer. A main database
// file owns a CodecContext (keys, page size, reserve); its WAL and rollback
// journal borrow it through sqlite3_database_file_object. Files of a context
// without keys, and every other file kind, pass through untouched.
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
// - temporary files (any connection) are enciphered with a key of their own
//   that dies with the handle (codec_temp.cpp).
// - memory-mapped I/O is refused (xFetch answers no mapping, mmap size 0).
// - the page size of a keyed file with pages cannot change.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec_internal.h"

namespace codec {

namespace {

enum Kind { kMain, kWal, kJournal, kTemp, kOther };

constexpr int kWalHeader = 32;
constexpr int kFrameHeader = 24;

struct KxFile {
    sqlite3_file base;
    sqlite3_file* real = nullptr;
    Kind kind = kOther;
    std::unique_ptr<CodecContext> own;  // main files
    std::unique_ptr<TempCipher> temp;   // temporary files
    CodecContext* ctx = nullptr;        // main: own; WAL/journal: the main file's
    int64_t hdr_off = -1;               // last record/frame header seen
    uint32_t hdr_pgno = 0;
    int wal_page_size = 0;
    std::string name;
    std::vector<unsigned char> buf;  // one page (+ frame header) of scratch
};

constexpr size_t kRealOffset = (sizeof(KxFile) + 15) & ~size_t{15};

sqlite3_vfs* g_real = nullptr;

// Open main files, so that the WAL of a database is not deleted while a
// connection whose page 1 did not decipher has it open: with a wrong key WAL
// recovery finds no valid frame, and the close that follows would drop the
// committed frames with the file.
std::mutex g_files_mutex;
std::vector<KxFile*> g_main_files;

KxFile* kx(sqlite3_file* f) {
    return reinterpret_cast<KxFile*>(f);
}
const sqlite3_io_methods* rm(KxFile* f) {
    return f->real->pMethods;
}
bool keyed(const KxFile* f) {
    return f->ctx && f->ctx->keyed();
}

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
    if (rel != kFrameHeader || amt != p) return SQLITE_IOERR_WRITE;
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

// ---- io methods ----

int x_close(sqlite3_file* file) {
    KxFile* f = kx(file);
    if (f->kind == kMain) {
        std::lock_guard<std::mutex> g(g_files_mutex);
        std::erase(g_main_files, f);
    }
    int rc = f->real->pMethods ? rm(f)->xClose(f->real) : SQLITE_OK;
    f->~KxFile();
    return rc;
}

int x_read(sqlite3_file* file, void* buf, int amt, sqlite3_int64 off) {
    KxFile* f = kx(file);
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

int x_write(sqlite3_file* file, const void* buf, int amt, sqlite3_int64 off) {
    KxFile* f = kx(file);
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

int x_truncate(sqlite3_file* f, sqlite3_int64 size) {
    return rm(kx(f))->xTruncate(kx(f)->real, size);
}
int x_sync(sqlite3_file* f, int flags) {
    return rm(kx(f))->xSync(kx(f)->real, flags);
}
int x_file_size(sqlite3_file* f, sqlite3_int64* size) {
    return rm(kx(f))->xFileSize(kx(f)->real, size);
}
int x_lock(sqlite3_file* f, int level) {
    return rm(kx(f))->xLock(kx(f)->real, level);
}
int x_unlock(sqlite3_file* f, int level) {
    return rm(kx(f))->xUnlock(kx(f)->real, level);
}
int x_check_reserved(sqlite3_file* f, int* out) {
    return rm(kx(f))->xCheckReservedLock(kx(f)->real, out);
}
int x_sector_size(sqlite3_file* f) {
    return rm(kx(f))->xSectorSize(kx(f)->real);
}
int x_device_characteristics(sqlite3_file* f) {
    return rm(kx(f))->xDeviceCharacteristics(kx(f)->real);
}

// PRAGMA page_size=N on a keyed file that already has pages is refused.
int refuse_page_size_change(KxFile* f, char** args) {
    if (!args[1] || sqlite3_stricmp(args[1], "page_size") != 0 || !args[2]) return SQLITE_NOTFOUND;
    if (f->ctx->page_size == 0 || atoi(args[2]) == f->ctx->page_size) return SQLITE_NOTFOUND;
    args[0] = sqlite3_mprintf("the page size of an encrypted database cannot change");
    return SQLITE_ERROR;
}

int x_file_control(sqlite3_file* file, int op, void* arg) {
    KxFile* f = kx(file);
    if (f->kind == kMain && keyed(f)) {
        if (op == SQLITE_FCNTL_MMAP_SIZE) *static_cast<sqlite3_int64*>(arg) = 0;
        if (op == SQLITE_FCNTL_PRAGMA) {
            int rc = refuse_page_size_change(f, static_cast<char**>(arg));
            if (rc != SQLITE_NOTFOUND) return rc;
        }
    }
    return rm(f)->xFileControl(f->real, op, arg);
}

int x_shm_map(sqlite3_file* f, int page, int size, int extend, void volatile** pp) {
    return rm(kx(f))->xShmMap(kx(f)->real, page, size, extend, pp);
}
int x_shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    return rm(kx(f))->xShmLock(kx(f)->real, offset, n, flags);
}
void x_shm_barrier(sqlite3_file* f) {
    rm(kx(f))->xShmBarrier(kx(f)->real);
}
int x_shm_unmap(sqlite3_file* f, int del) {
    return rm(kx(f))->xShmUnmap(kx(f)->real, del);
}

// Keyed files are never mapped: a mapped page would bypass the codec.
int x_fetch(sqlite3_file* file, sqlite3_int64 off, int amt, void** pp) {
    KxFile* f = kx(file);
    if (keyed(f) || f->kind != kMain) {
        *pp = nullptr;
        return SQLITE_OK;
    }
    return rm(f)->xFetch(f->real, off, amt, pp);
}
int x_unfetch(sqlite3_file* file, sqlite3_int64 off, void* p) {
    KxFile* f = kx(file);
    if (keyed(f) || f->kind != kMain) return SQLITE_OK;
    return rm(f)->xUnfetch(f->real, off, p);
}

const sqlite3_io_methods kMethods = {
    3,
    x_close,
    x_read,
    x_write,
    x_truncate,
    x_sync,
    x_file_size,
    x_lock,
    x_unlock,
    x_check_reserved,
    x_file_control,
    x_sector_size,
    x_device_characteristics,
    x_shm_map,
    x_shm_lock,
    x_shm_barrier,
    x_shm_unmap,
    x_fetch,
    x_unfetch,
};

// ---- the VFS ----

// URI key parameters of a main database file: hexkey, else key, else textkey.
void apply_uri_key(KxFile* f, const char* name) {
    if (!name) return;
    CodecContext& c = *f->ctx;
    if (const char* hex = sqlite3_uri_parameter(name, "hexkey")) {
        std::string raw = codec_hex_decode(hex);
        codec_load_key(c.slot[kWrite], raw.data(), static_cast<int>(raw.size()));
        OPENSSL_cleanse(raw.data(), raw.size());
    } else if (const char* key = sqlite3_uri_parameter(name, "key")) {
        codec_load_key(c.slot[kWrite], key, static_cast<int>(strlen(key)));
    } else if (const char* text = sqlite3_uri_parameter(name, "textkey")) {
        codec_load_key(c.slot[kWrite], text, -1);
    } else {
        return;
    }
    codec_copy_slot(c.slot[kRead], c.slot[kWrite]);
}

Kind kind_of(int flags) {
    if (flags & SQLITE_OPEN_MAIN_DB) return kMain;
    if (flags & SQLITE_OPEN_WAL) return kWal;
    if (flags & SQLITE_OPEN_MAIN_JOURNAL) return kJournal;
    if (flags & (SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_SUBJOURNAL |
                 SQLITE_OPEN_TRANSIENT_DB))
        return kTemp;
    return kOther;
}

void link_to_main(KxFile* f, const char* name) {
    if (!name) return;
    sqlite3_file* main = sqlite3_database_file_object(name);
    if (main && main->pMethods == &kMethods) f->ctx = kx(main)->ctx;
}

int x_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
    auto* f = new (file) KxFile();
    f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
    f->real->pMethods = nullptr;
    int rc = g_real->xOpen(g_real, name, f->real, flags, out_flags);
    if (rc != SQLITE_OK) {
        if (f->real->pMethods) rm(f)->xClose(f->real);
        f->~KxFile();
        file->pMethods = nullptr;
        return rc;
    }
    f->kind = kind_of(flags);
    if (f->kind == kMain) {
        f->own = std::make_unique<CodecContext>();
        f->ctx = f->own.get();
        apply_uri_key(f, name);
        if (name) {
            f->name = name;
            std::lock_guard<std::mutex> g(g_files_mutex);
            g_main_files.push_back(f);
        }
    } else if (f->kind == kWal || f->kind == kJournal) {
        link_to_main(f, name);
    } else if (f->kind == kTemp) {
        f->temp = std::make_unique<TempCipher>();
        if (!codec_temp_init(*f->temp)) {
            rm(f)->xClose(f->real);
            f->~KxFile();
            file->pMethods = nullptr;
            return SQLITE_NOMEM;
        }
    }
    file->pMethods = &kMethods;
    return SQLITE_OK;
}

// The WAL of a database open on a connection whose page 1 did not decipher
// is kept.
bool wal_delete_refused(const char* name) {
    std::string_view wal(name);
    if (!wal.ends_with("-wal")) return false;
    std::string_view base = wal.substr(0, wal.size() - 4);
    std::lock_guard<std::mutex> g(g_files_mutex);
    for (KxFile* f : g_main_files)
        if (f->ctx->page1_bad && f->name == base) return true;
    return false;
}

int x_delete(sqlite3_vfs*, const char* name, int sync_dir) {
    if (wal_delete_refused(name)) return SQLITE_OK;
    return g_real->xDelete(g_real, name, sync_dir);
}
int x_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_real->xAccess(g_real, name, flags, out);
}
int x_full_pathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_real->xFullPathname(g_real, name, n, out);
}
void* x_dl_open(sqlite3_vfs*, const char* name) {
    return g_real->xDlOpen(g_real, name);
}
void x_dl_error(sqlite3_vfs*, int n, char* msg) {
    g_real->xDlError(g_real, n, msg);
}
void (*x_dl_sym(sqlite3_vfs*, void* h, const char* sym))(void) {
    return g_real->xDlSym(g_real, h, sym);
}
void x_dl_close(sqlite3_vfs*, void* h) {
    g_real->xDlClose(g_real, h);
}
int x_randomness(sqlite3_vfs*, int n, char* out) {
    return g_real->xRandomness(g_real, n, out);
}
int x_sleep(sqlite3_vfs*, int us) {
    return g_real->xSleep(g_real, us);
}
int x_current_time(sqlite3_vfs*, double* t) {
    return g_real->xCurrentTime(g_real, t);
}
int x_last_error(sqlite3_vfs*, int n, char* msg) {
    return g_real->xGetLastError(g_real, n, msg);
}
int x_current_time64(sqlite3_vfs*, sqlite3_int64* t) {
    return g_real->xCurrentTimeInt64(g_real, t);
}
int x_set_syscall(sqlite3_vfs*, const char* name, sqlite3_syscall_ptr p) {
    return g_real->xSetSystemCall(g_real, name, p);
}
sqlite3_syscall_ptr x_get_syscall(sqlite3_vfs*, const char* name) {
    return g_real->xGetSystemCall(g_real, name);
}
const char* x_next_syscall(sqlite3_vfs*, const char* name) {
    return g_real->xNextSystemCall(g_real, name);
}

sqlite3_vfs g_vfs;

}  // namespace

CodecContext* codec_file_context(sqlite3_file* file) {
    if (!file || file->pMethods != &kMethods || kx(file)->kind != kMain) return nullptr;
    return kx(file)->ctx;
}

int64_t codec_file_size(sqlite3_file* file) {
    sqlite3_int64 size = -1;
    if (!file || !file->pMethods || file->pMethods->xFileSize(file, &size) != SQLITE_OK) return -1;
    return size;
}

// Registers "kestrix" as the default VFS over "unix".
int codec_vfs_register() {
    g_real = sqlite3_vfs_find("unix");
    if (!g_real) return SQLITE_ERROR;
    g_vfs = sqlite3_vfs{};
    g_vfs.iVersion = 3;
    g_vfs.szOsFile = static_cast<int>(kRealOffset) + g_real->szOsFile;
    g_vfs.mxPathname = g_real->mxPathname;
    g_vfs.zName = "kestrix";
    g_vfs.xOpen = x_open;
    g_vfs.xDelete = x_delete;
    g_vfs.xAccess = x_access;
    g_vfs.xFullPathname = x_full_pathname;
    g_vfs.xDlOpen = x_dl_open;
    g_vfs.xDlError = x_dl_error;
    g_vfs.xDlSym = x_dl_sym;
    g_vfs.xDlClose = x_dl_close;
    g_vfs.xRandomness = x_randomness;
    g_vfs.xSleep = x_sleep;
    g_vfs.xCurrentTime = x_current_time;
    g_vfs.xGetLastError = x_last_error;
    g_vfs.xCurrentTimeInt64 = x_current_time64;
    g_vfs.xSetSystemCall = x_set_syscall;
    g_vfs.xGetSystemCall = x_get_syscall;
    g_vfs.xNextSystemCall = x_next_syscall;
    return sqlite3_vfs_register(&g_vfs, 1);
}

}  // namespace codec
