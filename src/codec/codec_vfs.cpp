// codec_vfs.cpp - the encrypting file layer "kestrix" over the unix VFS.
//
// Model: every file SQLite opens goes through this layer. A main database
// file owns a CodecContext (keys, page size, reserve); its WAL and rollback
// journal borrow it through sqlite3_database_file_object; temporary files get
// a cipher of their own. Files of a context without keys, and every other
// file kind, pass through untouched. The byte transforms are in codec_io.cpp.
//
// Invariants: memory-mapped I/O of keyed files is refused (xFetch answers no
// mapping, mmap size 0); the page size of a keyed file with pages cannot
// change; the WAL of a database is kept while a connection whose page 1 did
// not decipher has it open.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec_file.h"

namespace codec {

namespace {

constexpr size_t kRealOffset = (sizeof(KxFile) + 15) & ~size_t{15};

sqlite3_vfs* g_real = nullptr;

// Open main files, so that the WAL of a database is not deleted while a
// connection whose page 1 did not decipher has it open: with a wrong key WAL
// recovery finds no valid frame, and the close that follows would drop the
// committed frames with the file.
std::mutex g_files_mutex;
std::vector<KxFile*> g_main_files;

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
    return kx_read(kx(file), buf, amt, off);
}

int x_write(sqlite3_file* file, const void* buf, int amt, sqlite3_int64 off) {
    return kx_write(kx(file), buf, amt, off);
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
