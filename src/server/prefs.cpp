// prefs.cpp - preference rows: reading, writing, the start-up reader with its
// per-key rules, the run-time setter, and the JSON start-up file.
//
// Command-line values win over stored preferences: a stored value is applied
// at start-up only while its field still holds the default (or is unset).
// At run time a changed value is applied where its key allows it and stored;
// values outside a run bound are stored but not applied.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "core/dbhelpers.h"
#include "core/sqlite_raii.h"
#include "net/json.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

const char* const DEFAULT_PREF_SQL = "SELECT value FROM preferences WHERE key=?1;";

// First column of the first row of `sql` (?1 = key) on `db`, when not NULL.
std::optional<std::string> read_value(sqlite3* db, const char* sql, const char* key) {
    Stmt st(db, sql ? sql : DEFAULT_PREF_SQL);
    if (!st.ok()) return std::nullopt;
    if (key && sqlite3_bind_parameter_count(st.get()) >= 1) st.bind(1, key);
    if (st.step() != SQLITE_ROW || st.is_null(0)) return std::nullopt;
    return st.text_at(0);
}

// A start-up read: values of 255 bytes or more read as absent.
std::optional<std::string> start_value(const char* key) {
    auto v = read_value(settings.settings_db, nullptr, key);
    if (v && v->size() >= 255) return std::nullopt;
    return v;
}

int32_t as_int32(const std::string& text) {
    return static_cast<int32_t>(kestrix_parse_int64(text.c_str()));
}

int debug_mode_word(const char* word, int fallback) {
    if (kestrix_strcmpi(word, "NONE") == 0) return DEBUG_NONE;
    if (kestrix_strcmpi(word, "FILE") == 0) return DEBUG_FILE;
    if (kestrix_strcmpi(word, "CONSOLE") == 0) return DEBUG_CONSOLE;
    if (kestrix_strcmpi(word, "SYSTEM") == 0) return DEBUG_SYSTEM;
    return fallback;
}

// Start rules for numeric keys.
enum class Rule { NotMinusOne, Positive, Boolean };

struct NumericKey {
    const char* key;
    aint* field;
    int32_t only_while;  // applied only while the field holds this (or INT32_MIN: always)
    int32_t above;       // value must be greater (INT32_MIN: no bound)
    Rule rule;
};

void apply_numeric(const NumericKey& k) {
    auto v = start_value(k.key);
    if (!v) return;
    if (k.only_while != INT32_MIN && *k.field != k.only_while) return;
    if (k.rule == Rule::Boolean) {
        *k.field = kestrix_strbool(v->c_str()) ? 1 : 0;
        return;
    }
    int32_t n = as_int32(*v);
    if (k.rule == Rule::NotMinusOne && n == -1) return;
    if (k.above != INT32_MIN && n <= k.above) return;
    *k.field = n;
}

void apply_text(const char* key, SharedText& field, bool only_while_unset) {
    if (only_while_unset && field.is_set()) return;
    char* v = pref_read_str(nullptr, key);
    if (v) field.set(v);
    sqlite3_free(v);
}

void default_folder(SharedText& field, int kind) {
    if (field.is_set()) return;
    char path[KESTRIX_PATH_MAX];
    get_fixed_path(path, kind);
    field.set(path);
}

constexpr int32_t ALWAYS = INT32_MIN;

}  // namespace

int db_read_static(sqlite3* db, const char* sql, const char* key, char* buffer, size_t size) {
    auto v = read_value(db, sql, key);
    if (!v || v->size() >= size) return 0;
    memcpy(buffer, v->c_str(), v->size() + 1);
    return 1;
}

int pref_read_static(const char* sql, const char* key, char* buffer, size_t size) {
    return db_read_static(settings.settings_db, sql, key, buffer, size);
}

int mem_read_static(const char* sql, const char* key, char* buffer, size_t size) {
    return db_read_static(settings.inmemorydb, sql, key, buffer, size);
}

int32_t pref_read_int(const char* sql, const char* key, int32_t def) {
    return static_cast<int32_t>(pref_read_int64(sql, key, def));
}

int64_t pref_read_int64(const char* sql, const char* key, int64_t def) {
    char buf[256];
    if (!pref_read_static(sql, key, buf, sizeof(buf))) return def;
    return kestrix_parse_int64(buf);
}

char* pref_read_str(const char* sql, const char* key) {
    auto v = read_value(settings.settings_db, sql, key);
    return v ? kestrix_strdup(v->c_str()) : nullptr;
}

std::optional<std::string> pref_value(const char* key) {
    return read_value(settings.settings_db, nullptr, key);
}

int pref_fast_read(const char* sql) {
    Stmt st(settings.settings_db, sql);
    return st.ok() && st.step() == SQLITE_ROW;
}

int pref_write(const char* key, const char* value) {
    if (!key || !value) return 0;
    Stmt st(settings.settings_db, "REPLACE INTO Preferences (key, value) VALUES (?1, ?2)");
    st.bind(1, key).bind(2, value);
    if (st.run() == SQLITE_DONE) return 1;
    if (debugging()) debug_write("pref_write: %s", sqlite3_errmsg(settings.settings_db));
    return 0;
}

int pref_write_sql(const char* sql) {
    if (!sql) return 1;
    Stmt st(settings.settings_db, sql);
    if (st.step() == SQLITE_DONE) return 1;
    if (debugging()) debug_write("pref_write_sql: %s", sqlite3_errmsg(settings.settings_db));
    return 0;
}

int pref_delete(const char* key) {
    if (!key) return 0;
    Stmt st(settings.settings_db, "DELETE FROM Preferences WHERE key=?1;");
    st.bind(1, key);
    return st.run() == SQLITE_DONE;
}

int dbpref_write(sqlite3* db, const char* databasename, const char* key, const char* value) {
    if (!databasename || !key || !value) return 0;
    if (!db) db = settings.settings_db;
    Stmt st(db, "REPLACE INTO DBPreferences (databasename, key, value) VALUES (?1, ?2, ?3)");
    st.bind(1, databasename).bind(2, key).bind(3, value);
    if (st.run() == SQLITE_DONE) return 1;
    if (debugging()) debug_write("dbpref_write: %s", sqlite3_errmsg(db));
    return 0;
}

void pref_init() {
    pref_update();
    pref_load_config();

    const NumericKey keys[] = {
        {"NUM_THREADS", &settings.num_threads, DEFAULT_NUM_THREADS, 0, Rule::Positive},
        {"BACKLOG", &settings.backlog, DEFAULT_BACKLOG, 99, Rule::Positive},
        {"SERVER_PORT", &settings.port, DEFAULT_PORT, ALWAYS, Rule::NotMinusOne},
        {"MINIMUM_BUFFER_SIZE", &settings.min_buffer_size, ALWAYS, ALWAYS, Rule::NotMinusOne},
        {"MAX_BACKUPS", &settings.max_backups, ALWAYS, ALWAYS, Rule::NotMinusOne},
        {"MAX_TIMEOUT", &settings.max_timeout, ALWAYS, ALWAYS, Rule::NotMinusOne},
        {"DISABLED_LOGIN_ATTEMPTS", &settings.disabled_login_attempts, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"DISABLED_LOGIN_HOURS", &settings.disabled_login_hours, ALWAYS, ALWAYS, Rule::NotMinusOne},
        {"DONT_CREATE_BACKUP_FOLDER", &settings.dont_check_backup_folder, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"DONT_CHECK_BACKUP_FOLDER", &settings.dont_check_backup_folder, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"SSL_DISABLE_RENEGOTATION", &settings.ssl_disable_renegotiation, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"SHARED_CACHE", &settings.shared_cache, ALWAYS, ALWAYS, Rule::NotMinusOne},
    };
    for (const auto& k : keys) apply_numeric(k);

    if (settings.log_verbosity == LOG_VERBOSITY_SQL_ERRORS) {
        if (auto v = start_value("VERBOSE_LOG")) {
            int32_t n = as_int32(*v);
            if (n == 0 || n == 10 || n == 20) settings.log_verbosity = n;
        }
    }
    if (settings.debug_mode == DEBUG_NONE) {
        if (auto v = start_value("DEBUG_FORMAT"))
            settings.debug_mode = debug_mode_word(v->c_str(), DEBUG_NONE);
    }
    const NumericKey flags[] = {
        {"AUTOMATIC_ROWID_ENABLED", &settings.automatic_rowid, ALWAYS, ALWAYS, Rule::Boolean},
        {"DEBUG_SCHEDULER", &settings.debug_scheduler, ALWAYS, ALWAYS, Rule::Boolean},
        {"SSL_CONNECTIONS_ONLY", &settings.ssl_connections_only, ALWAYS, ALWAYS, Rule::Boolean},
        {"TOKEN_CONNECTIONS_ONLY", &settings.token_connections_only, ALWAYS, ALWAYS, Rule::Boolean},
    };
    for (const auto& k : flags) apply_numeric(k);
    if (settings.log_format == LOG_FORMAT_SQLITE) {
        if (auto v = start_value("LOG_FORMAT"))
            settings.log_format =
                kestrix_strcmpi(v->c_str(), "TEXT") == 0 ? LOG_FORMAT_TEXT : LOG_FORMAT_SQLITE;
    }
    const NumericKey sizes[] = {
        {"MAX_COMMANDLEN", &settings.max_commandlen, ALWAYS, 99999, Rule::Positive},
        {"CHUNK_SIZE", &settings.chunk_size, ALWAYS, 49999, Rule::Positive},
        {"MAX_MEMALLOC", &settings.max_memalloc, ALWAYS, 99999, Rule::Positive},
    };
    for (const auto& k : sizes) apply_numeric(k);
    apply_text("LISTENING_ADDRESS", settings.listen_address, true);
    const NumericKey late[] = {
        {"LOCK_DB_TIME", &settings.lock_db_time, ALWAYS, 299, Rule::Positive},
        {"UPDATE_PERIOD_STATS", &settings.update_period_stats, ALWAYS, 59, Rule::Positive},
        {"JSON_CONNECT_ENABLED", &settings.json_connect_enabled, ALWAYS, ALWAYS, Rule::NotMinusOne},
        {"CLEAR_CONNECT_ENABLED", &settings.clear_connect_enabled, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"ENCRYPT_CONNECT_ENABLED", &settings.encrypt_connect_enabled, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
        {"TOKEN_CONNECT_ENABLED", &settings.token_connect_enabled, ALWAYS, ALWAYS,
         Rule::NotMinusOne},
    };
    for (const auto& k : late) apply_numeric(k);

    apply_text("SECRET_TOKEN", settings.secret_token, false);
    apply_text("DATABASES_PATH", settings.databases_path, true);
    apply_text("BACKUP_PATH", settings.backup_path, true);
    apply_text("MANUAL_BACKUP_PATH", settings.manual_backup_path, true);
    apply_text("RESTORE_PATH", settings.restore_path, true);
    apply_text("HTTP_PATH", settings.http_path, false);
    apply_text("UPLOAD_PATH", settings.upload_path, true);
    apply_text("SSL_LIBPATH", settings.ssl_libpath, false);
    apply_text("CRYPTO_LIBPATH", settings.crypto_libpath, false);
    default_folder(settings.databases_path, PATH_DATABASES);
    default_folder(settings.backup_path, PATH_BACKUPS);
    default_folder(settings.restore_path, PATH_RESTORE);
    default_folder(settings.http_path, PATH_WEB);
    default_folder(settings.upload_path, PATH_UPLOAD);

    char os[512];
    pref_write("OS_VERSION", getos_version_string(os, sizeof(os)));
    pref_write("SERVER_PATH", settings.server_path);
    pref_write("SERVER_VERSION", KESTRIX_VERSION);
    pref_write("SERVER_RELEASE", KESTRIX_VERSION);

    if (auto v = start_value("MAX_CONNECTIONS")) {
        int32_t n = as_int32(*v);
        if (n != -1 && n >= 0 && (settings.max_connections == 0 || n < settings.max_connections))
            settings.max_connections = n;
    }
}
