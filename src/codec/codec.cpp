// codec.cpp - the key functions: keying a database of a connection, re-keying
// it, and registering the encrypting file layer.
//
// Keying touches only the CodecContext of the database's main file (loaded
// into both slots), asks the engine for the reserve the nonce needs (12 for a
// new file, the file's own reserve otherwise), drops cached pages and keeps
// temporary storage of the connection in memory.
//
// Re-key rewrites every page in one transaction of the rollback journal:
// journal_mode=DELETE, cache_spill=OFF, reads and journal pages under the old
// key, database writes under the new key, VACUUM. The journal deletion is the
// commit point: killed before it, the file rolls back to the old key; after
// it, the file is wholly under the new key. The journal mode is restored.
#include "codec/codec.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "codec/codec_internal.h"
#include "core/sqlite_raii.h"

using codec::CodecContext;

namespace {

std::once_flag g_once;
int g_register_rc = SQLITE_ERROR;

sqlite3_file* db_file(sqlite3* db, const char* schema) {
    sqlite3_file* fp = nullptr;
    if (sqlite3_file_control(db, schema, SQLITE_FCNTL_FILE_POINTER, &fp) != SQLITE_OK)
        return nullptr;
    return fp;
}

int exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

std::string schema_sql(const char* fmt, const char* schema) {
    char* s = sqlite3_mprintf(fmt, schema);
    std::string out = s ? s : "";
    sqlite3_free(s);
    return out;
}

// First column of the first row as text ("" when none).
std::string pragma_value(sqlite3* db, const std::string& sql) {
    Stmt st(db, sql.c_str());
    return st.ok() && st.step() == SQLITE_ROW ? st.text_at(0) : std::string();
}

void request_reserve(sqlite3* db, const char* schema, int reserve) {
    sqlite3_file_control(db, schema, SQLITE_FCNTL_RESERVE_BYTES, &reserve);
}

// What every keyed database of a connection gets.
void prepare_keyed(sqlite3* db, const char* schema, const CodecContext& c) {
    request_reserve(db, schema, c.reserve_known ? c.reserve : codec::kDefaultReserve);
    sqlite3_db_release_memory(db);
    exec(db, "PRAGMA temp_store=MEMORY;");
}

// Main databases keyed through URI parameters at open.
int keyed_open_hook(sqlite3* db, const char**, const sqlite3_api_routines*) {
    CodecContext* c = codec::codec_file_context(db_file(db, "main"));
    if (c && c->keyed()) prepare_keyed(db, "main", *c);
    return SQLITE_OK;
}

int load_both(CodecContext& c, const void* key, int n) {
    if (!codec::codec_load_key(c.slot[codec::kWrite], key, n)) return SQLITE_NOMEM;
    return codec::codec_copy_slot(c.slot[codec::kRead], c.slot[codec::kWrite]) ? SQLITE_OK
                                                                               : SQLITE_NOMEM;
}

// Saved settings of a connection that a re-key changes for its duration.
struct RekeySettings {
    std::string journal_mode;
    std::string cache_spill;
};

int rekey_begin(sqlite3* db, const char* schema, RekeySettings& saved) {
    saved.journal_mode = pragma_value(db, schema_sql("PRAGMA \"%w\".journal_mode;", schema));
    saved.cache_spill = pragma_value(db, schema_sql("PRAGMA \"%w\".cache_spill;", schema));
    std::string mode = pragma_value(db, schema_sql("PRAGMA \"%w\".journal_mode=DELETE;", schema));
    if (sqlite3_stricmp(mode.c_str(), "delete") != 0) {
        // Leaving WAL needs the only connection to the file.
        return sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errcode(db) : SQLITE_BUSY;
    }
    int rc = exec(db, schema_sql("PRAGMA \"%w\".cache_spill=OFF;", schema));
    if (rc == SQLITE_OK) rc = exec(db, "PRAGMA temp_store=MEMORY;");
    return rc;
}

void rekey_end(sqlite3* db, const char* schema, const RekeySettings& saved) {
    if (!saved.cache_spill.empty()) {
        exec(db, schema_sql("PRAGMA \"%w\".cache_spill=", schema) + saved.cache_spill + ";");
    }
    if (!saved.journal_mode.empty() && sqlite3_stricmp(saved.journal_mode.c_str(), "delete") != 0) {
        pragma_value(db, schema_sql("PRAGMA \"%w\".journal_mode=", schema) + saved.journal_mode);
    }
}

// Rewrites every page: reads and journal under the read key, the database
// under the write key. On failure both slots return to the read key.
int rekey_pages(sqlite3* db, const char* schema, CodecContext& c, const void* key, int n) {
    RekeySettings saved;
    int rc = rekey_begin(db, schema, saved);
    if (rc == SQLITE_OK) {
        // A plain file takes the nonce reserve now; a keyed one keeps its own.
        bool plain_to_keyed = c.slot[codec::kRead].key_len == 0 && key && n != 0;
        request_reserve(db, schema, plain_to_keyed ? codec::kDefaultReserve : c.reserve);
        if (!codec::codec_load_key(c.slot[codec::kWrite], key, n)) rc = SQLITE_NOMEM;
        if (rc == SQLITE_OK) rc = exec(db, schema_sql("VACUUM \"%w\";", schema));
        if (rc == SQLITE_OK)
            rc = codec::codec_copy_slot(c.slot[codec::kRead], c.slot[codec::kWrite]) ? SQLITE_OK
                                                                                     : SQLITE_NOMEM;
        else
            codec::codec_copy_slot(c.slot[codec::kWrite], c.slot[codec::kRead]);
    }
    rekey_end(db, schema, saved);
    return rc;
}

}  // namespace

int kestrix_codec_register() {
    std::call_once(g_once, [] {
        g_register_rc = codec::codec_vfs_register();
        if (g_register_rc == SQLITE_OK)
            g_register_rc =
                sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(keyed_open_hook));
    });
    return g_register_rc;
}

extern "C" {

int sqlite3_key(sqlite3* db, const void* key, int nkey) {
    return sqlite3_key_v2(db, nullptr, key, nkey);
}

int sqlite3_key_v2(sqlite3* db, const char* dbname, const void* key, int nkey) {
    if (kestrix_codec_register() != SQLITE_OK || !db) return SQLITE_MISUSE;
    const char* schema = dbname ? dbname : "main";
    sqlite3_file* fp = db_file(db, schema);
    if (!fp) return SQLITE_ERROR;
    CodecContext* c = codec::codec_file_context(fp);
    const bool has_key = key && nkey != 0;
    if (!c) return has_key ? SQLITE_ERROR : SQLITE_OK;
    int rc = load_both(*c, key, nkey);
    if (rc == SQLITE_OK && has_key) prepare_keyed(db, schema, *c);
    return rc;
}

int sqlite3_rekey(sqlite3* db, const void* key, int nkey) {
    return sqlite3_rekey_v2(db, nullptr, key, nkey);
}

int sqlite3_rekey_v2(sqlite3* db, const char* dbname, const void* key, int nkey) {
    if (kestrix_codec_register() != SQLITE_OK || !db) return SQLITE_MISUSE;
    const char* schema = dbname ? dbname : "main";
    sqlite3_file* fp = db_file(db, schema);
    CodecContext* c = codec::codec_file_context(fp);
    if (!c) return SQLITE_ERROR;
    std::string count = pragma_value(db, schema_sql("PRAGMA \"%w\".page_count;", schema));
    if (count.empty()) return sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errcode(db) : SQLITE_ERROR;
    if (sqlite3_db_readonly(db, schema) == 1) return SQLITE_READONLY;
    if (atoll(count.c_str()) == 0) {
        // No pages yet: the new key applies at once.
        int rc = load_both(*c, key, nkey);
        if (rc == SQLITE_OK && c->keyed()) prepare_keyed(db, schema, *c);
        return rc;
    }
    return rekey_pages(db, schema, *c, key, nkey);
}

}  // extern "C"

const char* kestrix_codec_style() {
    return "kestrix-aes128-ofb";
}
