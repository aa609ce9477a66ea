// authorizer.cpp - privilege checks of SQL statements.
//
// A check asks whether one of the session's groups holds a Privileges row
// with an accepted code on (database or "*", table or "*"). Accepted codes:
// SELECT also through 101 and 102; INSERT, UPDATE and DELETE also through the
// combined code 100 and 102; every code through ADMIN (3). Administrators and
// the administrator of the current database pass without a query.
//
// Answers are cached per session: the key is the SHA-1 of the check's group
// list, code list, database and table, so the same key always means the same
// query; the cache is emptied whenever the rights are reloaded (the privilege
// generation moved) and otherwise overwritten round robin. Every value reaches
// SQL bound.
#include "core/authorizer.h"

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/auth.h"
#include "core/dbref.h"
#include "core/digest.h"
#include "core/privileges.h"
#include "net/client.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

std::vector<int> accepted_codes(int code) {
    if (code == PRIV_SELECT) return {code, PRIV_ADMIN, 101, 102};
    if (code == PRIV_INSERT || code == PRIV_UPDATE || code == PRIV_DELETE)
        return {code, PRIV_ADMIN, PRIV_INSERT_UPDATE_DELETE, 102};
    return {code, PRIV_ADMIN};
}

// The cache key: the four parts joined by NUL bytes, which no part contains.
Sha1Digest check_key(const client* c, const std::vector<int>& codes, const char* database,
                     const char* table) {
    std::string text = c->group_ids;
    text += '\0';
    for (int code : codes) text += std::to_string(code) + ",";
    text += '\0';
    text += database;
    text += '\0';
    text += table;
    return sha1_bytes(text.data(), text.size());
}

int cached_answer(const client* c, const Sha1Digest& key) {
    for (int i = 0; i < c->auth_cache_used; ++i)
        if (memcmp(c->auth_cache_keys[i], key.data(), key.size()) == 0)
            return c->auth_cache_results[i];
    return -1;
}

void cache_answer(client* c, const Sha1Digest& key, int answer) {
    int slot = c->auth_cache_next;
    memcpy(c->auth_cache_keys[slot], key.data(), key.size());
    c->auth_cache_results[slot] = answer;
    c->auth_cache_next = (slot + 1) % AUTH_CACHE_SIZE;
    if (c->auth_cache_used < AUTH_CACHE_SIZE) ++c->auth_cache_used;
}

bool is_internal(const char* name) {
    return name && kestrix_strncmpi(name, "sqlite_", 7) == 0;
}

const char* const PRAGMA_ALLOWED[] = {
    "read_uncommitted", "encoding",         "full_column_names", "short_column_names",
    "database_list",    "foreign_key_list", "freelist_count",    "index_info",
    "index_list",       "page_count",       "table_info",        "schema_version",
    "user_version",     "integrity_check",
};

bool pragma_allowed(const char* pragma) {
    if (!pragma) return false;
    for (const char* name : PRAGMA_ALLOWED)
        if (kestrix_strcmpi(name, pragma) == 0) return true;
    return false;
}

// The privilege an action needs (0: none) and whether its names are internal.
struct ActionRule {
    int privilege;
    bool check_both;  // the second argument is an object name too (table, index, trigger)
};

ActionRule action_rule(int action) {
    switch (action) {
        case SQLITE_CREATE_INDEX:
        case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_CREATE_TEMP_TRIGGER:
        case SQLITE_CREATE_TRIGGER:
        case SQLITE_ALTER_TABLE:
            return {PRIV_CREATE, true};
        case SQLITE_CREATE_TABLE:
        case SQLITE_CREATE_TEMP_TABLE:
        case SQLITE_CREATE_TEMP_VIEW:
        case SQLITE_CREATE_VIEW:
        case SQLITE_REINDEX:
        case SQLITE_CREATE_VTABLE:
            return {PRIV_CREATE, false};
        case SQLITE_DROP_INDEX:
        case SQLITE_DROP_TEMP_INDEX:
        case SQLITE_DROP_TEMP_TRIGGER:
        case SQLITE_DROP_TRIGGER:
            return {PRIV_DROP, true};
        case SQLITE_DROP_TABLE:
        case SQLITE_DROP_TEMP_TABLE:
        case SQLITE_DROP_TEMP_VIEW:
        case SQLITE_DROP_VIEW:
        case SQLITE_DROP_VTABLE:
            return {PRIV_DROP, false};
        case SQLITE_DELETE:
            return {PRIV_DELETE, false};
        case SQLITE_INSERT:
            return {PRIV_INSERT, false};
        case SQLITE_UPDATE:
            return {PRIV_UPDATE, false};
        case SQLITE_READ:
            return {PRIV_SELECT, false};
        case SQLITE_PRAGMA:
            return {PRIV_PRAGMA, false};
        default:
            return {0, false};
    }
}

// The table a check names: views and REINDEX name none, index and trigger
// actions name their table in the second argument.
const char* checked_table(int action, const char* arg1, const char* arg2) {
    switch (action) {
        case SQLITE_CREATE_TEMP_VIEW:
        case SQLITE_CREATE_VIEW:
        case SQLITE_DROP_TEMP_VIEW:
        case SQLITE_DROP_VIEW:
        case SQLITE_REINDEX:
            return nullptr;
        case SQLITE_CREATE_INDEX:
        case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_CREATE_TEMP_TRIGGER:
        case SQLITE_CREATE_TRIGGER:
        case SQLITE_DROP_INDEX:
        case SQLITE_DROP_TEMP_INDEX:
        case SQLITE_DROP_TEMP_TRIGGER:
        case SQLITE_DROP_TRIGGER:
        case SQLITE_PRAGMA:
        case SQLITE_ALTER_TABLE:
            return arg2;
        default:
            return arg1;
    }
}

bool known_action(int action) {
    return action >= SQLITE_CREATE_INDEX && action <= SQLITE_FUNCTION;
}

}  // namespace

int check_sql_authorization(client* c, int code, const char* table) {
    get_user_group_id(c);
    if (c->is_admin || c->is_db_admin) return AUTH_ALLOWED;
    if (!table || !table[0]) table = "*";
    const char* database = c->dbref >= 0 ? dbref_dbname(c->dbref) : "*";
    if (!database) database = "*";
    std::vector<int> codes = accepted_codes(code);
    Sha1Digest key = check_key(c, codes, database, table);
    int answer = cached_answer(c, key);
    if (answer >= 0) return answer;
    answer = privilege_row_exists(c, codes, database, table) ? AUTH_ALLOWED : AUTH_DENIED;
    cache_answer(c, key, answer);
    return answer;
}

int kestrix_authorizer(void* user, int action, const char* arg1, const char* arg2, const char*,
                       const char*) {
    auto* c = static_cast<client*>(user);
    if (!c) return SQLITE_OK;
    get_user_group_id(c);  // an administrator removed from the Admin group stops passing
    if (c->is_admin) return SQLITE_OK;
    if (!known_action(action)) {
        log_system("Unknown code received inside kestrix_authorizer");
        return SQLITE_OK;
    }
    ActionRule rule = action_rule(action);
    if (rule.privilege == 0) return SQLITE_OK;
    const char* table = checked_table(action, arg1, arg2);
    if (action == SQLITE_PRAGMA) {
        if (pragma_allowed(arg1) || is_internal(arg2)) return SQLITE_OK;
    } else if (action == SQLITE_READ) {
        if (is_internal(arg1)) return SQLITE_OK;
        // The WHERE clause of an allowed DELETE reads its own table unchecked.
        if (c->delete_authorized && arg1 && kestrix_strcmpi(arg1, c->delete_table.c_str()) == 0)
            return SQLITE_OK;
    } else if (action == SQLITE_REINDEX) {
        if (is_internal(arg1)) return SQLITE_OK;
    } else if (is_internal(arg1) || (rule.check_both && is_internal(arg2))) {
        return SQLITE_OK;
    }
    int answer = check_sql_authorization(c, rule.privilege, table);
    if (action == SQLITE_DELETE && answer == AUTH_ALLOWED) {
        c->delete_authorized = 1;
        c->delete_table = arg1 ? arg1 : "";
    }
    return answer == AUTH_ALLOWED ? SQLITE_OK : SQLITE_DENY;
}

void privileges_changed() {
    ++settings.privilege_generation;
}
