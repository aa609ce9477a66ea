// codec_file.h - the file object of the encrypting file layer, shared by its
// byte transforms (codec_io.cpp) and its VFS glue (codec_vfs.cpp).
//
// A KxFile sits in the memory SQLite allocates for a file, followed by the
// unix VFS's own file object (`real`). Main database files own their
// CodecContext; WAL and journal files point at their main file's.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/codec_internal.h"

namespace codec {

enum Kind { kMain, kWal, kJournal, kTemp, kOther };

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
    int64_t piece_frame = -1;  // WAL frame whose page is being written in pieces
    unsigned char piece_nonce[kMaxNonce] = {};
    std::string name;
    std::vector<unsigned char> buf;  // one page (+ frame header) of scratch
};

inline KxFile* kx(sqlite3_file* f) {
    return reinterpret_cast<KxFile*>(f);
}
inline const sqlite3_io_methods* rm(KxFile* f) {
    return f->real->pMethods;
}
inline bool keyed(const KxFile* f) {
    return f->ctx && f->ctx->keyed();
}

// Reads and writes through the transform of the file's kind.
int kx_read(KxFile* f, void* buf, int amt, sqlite3_int64 off);
int kx_write(KxFile* f, const void* buf, int amt, sqlite3_int64 off);

}  // namespace codec
