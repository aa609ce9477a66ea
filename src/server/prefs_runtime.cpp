// prefs_runtime.cpp - preference changes while the server runs (pref_notify,
// pref_drop) and the JSON start-up file, which writes rows once and is then
// deleted.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/json.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

struct RunBound {
    const char* key;
    aint* field;
    int32_t above;  // applied when value > above
};

// Keys applied at once when their value passes the bound.
const RunBound RUN_BOUNDS[] = {
    {"MINIMUM_BUFFER_SIZE", &settings.min_buffer_size, 2047},
    {"MAX_BACKUPS", &settings.max_backups, -1},
    {"MAX_TIMEOUT", &settings.max_timeout, -1},
    {"MAX_COMMANDLEN", &settings.max_commandlen, 99999},
    {"MAX_MEMALLOC", &settings.max_memalloc, 99999},
    {"CHUNK_SIZE", &settings.chunk_size, 49999},
    {"UPDATE_PERIOD_STATS", &settings.update_period_stats, 59},
    {"DISABLED_LOGIN_ATTEMPTS", &settings.disabled_login_attempts, -1},
    {"DISABLED_LOGIN_HOURS", &settings.disabled_login_hours, -1},
    {"DONT_CREATE_BACKUP_FOLDER", &settings.dont_check_backup_folder, -1},
    {"DONT_CHECK_BACKUP_FOLDER", &settings.dont_check_backup_folder, -1},
    {"LOCK_DB_TIME", &settings.lock_db_time, 299},
};

struct BoolKey {
    const char* key;
    aint* field;
};

const BoolKey RUN_BOOLEANS[] = {
    {"DEBUG_SCHEDULER", &settings.debug_scheduler},
    {"SSL_CONNECTIONS_ONLY", &settings.ssl_connections_only},
    {"SSL_DISABLE_RENEGOTATION", &settings.ssl_disable_renegotiation},
    {"AUTOMATIC_ROWID_ENABLED", &settings.automatic_rowid},
    {"TOKEN_CONNECTIONS_ONLY", &settings.token_connections_only},
};

bool is(const char* key, const char* name) {
    return kestrix_strcmpi(key, name) == 0;
}

// Applies the value where the key allows it; false refuses the change (it is
// then not stored).
bool apply_run_value(const char* key, const char* value) {
    if (is(key, "DEBUG_FORMAT")) {
        int mode = -1;
        if (is(value, "NONE"))
            mode = DEBUG_NONE;
        else if (is(value, "FILE"))
            mode = DEBUG_FILE;
        else if (is(value, "CONSOLE"))
            mode = DEBUG_CONSOLE;
        else if (is(value, "SYSTEM"))
            mode = DEBUG_SYSTEM;
        if (mode < 0) return false;
        if (mode != settings.debug_mode && settings.debug_mode == DEBUG_FILE) debug_close_file();
        settings.debug_mode = mode;
        return true;
    }
    for (const auto& b : RUN_BOOLEANS) {
        if (is(key, b.key)) {
            *b.field = kestrix_strbool(value) ? 1 : 0;
            return true;
        }
    }
    if (is(key, "SECRET_TOKEN")) {
        settings.secret_token.set(value);
        return true;
    }
    if (is(key, "LOG_FORMAT")) {
        if (is(value, "SQLITE"))
            log_switch(LOG_FORMAT_SQLITE);
        else if (is(value, "TEXT"))
            log_switch(LOG_FORMAT_TEXT);
        else
            return false;
        return true;
    }
    int64_t n64 = kestrix_parse_int64(value);
    if (n64 < 0) return false;
    int32_t n = static_cast<int32_t>(n64);
    if (is(key, "MAX_CONNECTIONS")) {
        if (settings.max_connections != 0 && n >= settings.max_connections) return false;
        settings.max_connections = n;
        return true;
    }
    if (is(key, "VERBOSE_LOG")) {
        if (n == 0 || n == 10 || n == 20) settings.log_verbosity = n;
        return true;
    }
    for (const auto& r : RUN_BOUNDS) {
        if (is(key, r.key)) {
            if (n > r.above) *r.field = n;
            return true;
        }
    }
    return true;  // stored only
}

SharedText* folder_field(const char* key) {
    if (is(key, "HTTP_PATH")) return &settings.http_path;
    if (is(key, "UPLOAD_PATH")) return &settings.upload_path;
    if (is(key, "BACKUP_PATH")) return &settings.backup_path;
    if (is(key, "MANUAL_BACKUP_PATH")) return &settings.manual_backup_path;
    if (is(key, "DATABASES_PATH")) return &settings.databases_path;
    return nullptr;
}

}  // namespace

int pref_notify(const char* key, const char* value) {
    if (!key || !value) return 0;
    bool is_path = kestrix_strcasestr(key, "_PATH") != nullptr;
    if (!is_path && !apply_run_value(key, value)) return 0;
    if (!pref_write(key, value)) return 0;
    if (SharedText* field = folder_field(key)) field->set(value);
    if (kestrix_strcasestr(key, "HTTP_")) web_restart();
    return 1;
}

int pref_drop(const char* key) {
    if (!key) return 0;
    if (SharedText* field = folder_field(key))
        field->clear();
    else if (is(key, "SSL_LIBPATH"))
        settings.ssl_libpath.clear();
    else if (is(key, "CRYPTO_LIBPATH"))
        settings.crypto_libpath.clear();
    return 1;
}

void pref_load_config() {
    char path[KESTRIX_PATH_MAX];
    if (auto p = settings.config_file_path.value())
        snprintf(path, sizeof(path), "%s", p->c_str());
    else
        get_fixed_path(path, PATH_CONFIG_FILE);
    size_t size = 0;
    char* text = read_file(path, &size);
    if (!text) return;

    constexpr unsigned MAX_TOKENS = 100;
    std::vector<jsmntok_t> tokens(MAX_TOKENS);
    jsmn_parser parser;
    jsmn_init_parser(&parser, tokens.data(), MAX_TOKENS);
    int rc = jsmn_parse(&parser, text, size);
    // Out of tokens still applies the pairs that were read (at most 49).
    bool usable = (rc == JSMN_SUCCESS || rc == JSMN_ERROR_NOMEM) && tokens[0].type == JSMN_OBJECT;
    for (unsigned i = 1; usable && i < MAX_TOKENS; ++i) {
        // One flat object: a nested value would shift every pair after it.
        if (tokens[i].start >= 0 && tokens[i].type != JSMN_PRIMITIVE_OR_STRING) usable = false;
    }
    if (!usable) {
        log_system("The JSON startup file is malformed and was ignored.");
        free(text);
        return;
    }
    for (unsigned i = 1; i + 1 < MAX_TOKENS; i += 2) {
        const jsmntok_t& k = tokens[i];
        const jsmntok_t& v = tokens[i + 1];
        if (k.start < 0 || k.end < 0 || v.start < 0 || v.end < 0) break;
        std::string key(text + k.start, static_cast<size_t>(k.end - k.start));
        std::string value(text + v.start, static_cast<size_t>(v.end - v.start));
        if (is(value.c_str(), "true"))
            pref_write(key.c_str(), "1");
        else if (is(value.c_str(), "false"))
            pref_write(key.c_str(), "0");
        else if (is(value.c_str(), "null"))
            pref_delete(key.c_str());
        else
            pref_write(key.c_str(), value.c_str());
    }
    free(text);
    file_delete(path);
}
