// dbhelpers.cpp - execution helpers, the keyed open, name and path checks.
#include "core/dbhelpers.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "codec/codec.h"
#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

int kestrix_exec(sqlite3* db, const char* sql) {
    if (!db) return -1;
    if (!sql) return 1;
    const char* p = sql;
    for (;;) {
        while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
        if (strlen(p) < 2 || *p == ';') return 0;
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(db, p, -1, &stmt, &tail);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return rc;
        }
        if (!stmt) {  // only a comment or white space was left
            return 0;
        }
        rc = sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_OK && rc != SQLITE_DONE) return rc;
        p = tail ? tail : "";
    }
}

int kestrix_start_transaction(sqlite3* db) {
    return sqlite3_get_autocommit(db) ? kestrix_exec(db, "BEGIN IMMEDIATE;") : 0;
}

int kestrix_commit(sqlite3* db) {
    return sqlite3_get_autocommit(db) ? 0 : kestrix_exec(db, "COMMIT;");
}

int kestrix_rollback(sqlite3* db) {
    return sqlite3_get_autocommit(db) ? 0 : kestrix_exec(db, "ROLLBACK;");
}

int kestrix_count_select(sqlite3* db, const char* query) {
    if (!query || !query[0]) return 0;
    Stmt st(db, query);
    if (!st.ok()) return 0;
    int n = 0;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) ++n;
    return rc == SQLITE_DONE ? n : 0;
}

char* kestrix_singlecolumn_select(sqlite3* db, const char* query, int column, char* buffer,
                                  size_t size) {
    if (!query || !query[0]) return nullptr;
    Stmt st(db, query);
    if (!st.ok() || st.step() != SQLITE_ROW || st.is_null(column)) return nullptr;
    std::string v = st.text_at(column);
    if (!buffer) {
        char* copy = static_cast<char*>(sqlite3_malloc64(v.size() + 1));
        if (copy) memcpy(copy, v.c_str(), v.size() + 1);
        return copy;
    }
    if (v.size() >= size) return nullptr;
    memcpy(buffer, v.c_str(), v.size() + 1);
    return buffer;
}

int64_t kestrix_singlecolumn_select_int64(sqlite3* db, const char* query, int column, int64_t def) {
    if (!query || !query[0]) return def;
    Stmt st(db, query);
    if (!st.ok() || st.step() != SQLITE_ROW) return def;
    return st.int64_at(column);
}

int kestrix_singlecolumn_select_int(sqlite3* db, const char* query, int column, int def) {
    return static_cast<int>(kestrix_singlecolumn_select_int64(db, query, column, def));
}

int kestrix_open_key_len(const char* path, sqlite3** db, const void* key, int keylen) {
    *db = nullptr;
    // Files opened from here go through the encrypting file layer.
    kestrix_codec_register();
    int rc = sqlite3_open_v2(path, db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                             nullptr);
    if (!*db) return rc;
    if (rc == SQLITE_OK) {
        // The key goes on before the first page is read.
        if (key && keylen > 0)
            rc = sqlite3_key_v2(*db, "main", key, keylen);
        else
            rc = sqlite3_key_v2(*db, "main", nullptr, 0);
        if (rc != SQLITE_OK) return rc;
    }
    // Reading page 1 tells a wrong key (or a file that is no database).
    int probe =
        kestrix_exec(*db, "UPDATE non_existing_table SET non_existing_column=1 WHERE rowid=-1");
    if (probe == SQLITE_NOTADB) return SQLITE_NOTADB;
    return rc;
}

int kestrix_open_key(const char* path, sqlite3** db, const char* key) {
    return kestrix_open_key_len(path, db, key, key ? static_cast<int>(strlen(key)) : 0);
}

std::string kestrix_key_uri(const char* path, const char* key) {
    std::string uri = "file:";
    for (const char* p = path; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            char esc[4];
            snprintf(esc, sizeof(esc), "%%%02X", c);
            uri += esc;
        }
    }
    if (key && key[0]) uri += "?hexkey=" + hex_lower(key, strlen(key));
    return uri;
}

namespace {

// First column of the first row as text; false when the query fails or has no row.
bool single_text(sqlite3* db, const char* sql, std::string* out) {
    Stmt st(db, sql);
    if (!st.ok()) return false;
    int rc = st.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    *out = rc == SQLITE_ROW ? st.text_at(0) : std::string();
    return true;
}

}  // namespace

int kestrix_enable_wal(sqlite3* db, const char* name, std::string* message) {
    char msg[1024];
    std::string mode;
    if (!single_text(db, "PRAGMA journal_mode;", &mode)) {
        snprintf(msg, sizeof(msg),
                 "An error occured while executing PRAGMA journal_mode on database \"%s\": %s",
                 name, sqlite3_errmsg(db));
    } else if (kestrix_strcmpi(mode.c_str(), "wal") == 0) {
        return 1;
    } else {
        if (!message && !sqlite3_get_autocommit(db)) kestrix_exec(db, "COMMIT;");
        if (!single_text(db, "PRAGMA journal_mode=WAL;", &mode)) {
            snprintf(
                msg, sizeof(msg),
                "An error occured while executing PRAGMA journal_mode=WAL on database \"%s\": %s",
                name, sqlite3_errmsg(db));
        } else if (kestrix_strcmpi(mode.c_str(), "wal") == 0) {
            return 1;
        } else {
            snprintf(msg, sizeof(msg), "Unable to set database \"%s\" in wal mode.", name);
        }
    }
    if (message) *message = msg;
    log_system(msg);
    return 0;
}

int check_db_validname(const char* name) {
    if (!name || !name[0] || name[0] == '.') return 0;
    static const char* const forbidden[] = {
        "kestrix_mvcc_", "kestrix_temp_", "kestrix_temp2_", "kestrix_plugin_",
        "-journal",      "-wal",          "-shm",           "sqlite-"};
    for (const char* f : forbidden)
        if (strstr(name, f)) return 0;
    if (strpbrk(name, "'/\\|")) return 0;
    return 1;
}

int check_db_available(const char* name, int operation) {
    if (!name) return 1;
    std::lock_guard<std::mutex> g(settings.availability_mutex);
    if (operation == 2) {
        Stmt(settings.inmemorydb, "DELETE FROM NotAvailableDB WHERE databasename=?1;")
            .bind(1, name)
            .run();
        return 1;
    }
    Stmt probe(settings.inmemorydb,
               "SELECT count(*) FROM NotAvailableDB WHERE databasename=?1 LIMIT 1;");
    probe.bind(1, name);
    if (probe.step() == SQLITE_ROW && probe.int_at(0) > 0) return 0;
    if (operation == 1) return 1;
    Stmt(settings.inmemorydb, "INSERT INTO NotAvailableDB (databasename) VALUES (?1);")
        .bind(1, name)
        .run();
    return 1;
}

namespace {

// PATH of a database from a DBPreferences table, or "".
std::string stored_db_value(sqlite3* db, const char* name, const char* key) {
    Stmt st(db, "SELECT value FROM DBPreferences WHERE databasename=?1 AND key=?2;");
    st.bind(1, name).bind(2, key);
    if (st.ok() && st.step() == SQLITE_ROW && !st.is_null(0)) return st.text_at(0);
    return {};
}

}  // namespace

void get_path_to_database(char* buffer, const char* name) {
    std::string folder;
    if (settings.custom_db_paths) folder = stored_db_value(settings.inmemorydb, name, "PATH");
    if (folder.empty()) folder = stored_db_value(settings.settings_db, name, "PATH");
    if (folder.empty()) {
        char def[KESTRIX_PATH_MAX];
        get_path_to_databases_folder(def);
        folder = def;
    }
    build_path(buffer, folder.c_str(), name);
}

int getstopped_for_database(const char* name) {
    return kestrix_parse_int64(stored_db_value(settings.settings_db, name, "STOPPED").c_str()) != 0;
}

int getrestore_for_database(const char* name) {
    return kestrix_parse_int64(stored_db_value(settings.settings_db, name, "RESTORE").c_str()) != 0;
}

int is_valid_sqlite3_database_using_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    char head[15];
    size_t n = fread(head, 1, sizeof(head), f);
    fclose(f);
    return n == sizeof(head) && memcmp(head, "SQLite format 3", 15) == 0;
}

void cleanup_databases() {
    char folder[KESTRIX_PATH_MAX];
    get_path_to_databases_folder(folder);
    DIR* dir = dir_init(folder);
    while (const char* name = dir_read(dir)) {
        if (strstr(name, "_temp_") || strstr(name, "brnx_mvcc_")) {
            char path[KESTRIX_PATH_MAX];
            build_path(path, folder, name);
            file_delete(path);
        }
    }
}
