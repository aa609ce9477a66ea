// database.cpp - the commands that create, open, close, stop, lock and drop
// user databases.
//
// Every command validates the name first (no quote, separator or reserved
// word can reach a path or SQL), and the commands that change a database
// exclusively reserve its name in NotAvailableDB for their duration; every
// path that reserved a name releases it before returning.
#include <cstring>
#include <string>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "core/auth.h"
#include "core/dbhelpers.h"
#include "core/dbkeys.h"
#include "core/dbref.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/execute.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

enum Availability { AVAIL_RELEASE = 2, AVAIL_TEST = 1, AVAIL_RESERVE = 3 };

std::string database_path(const char* name) {
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    return path;
}

int fail(client* c, int code, const char* format, const char* name, const char* second = nullptr) {
    client_seterror(c, code, format, name, second);
    return CMD_FAILED;
}

bool is_current(const client* c, const char* name) {
    return c->dbref >= 0 && kestrix_strcmpi(dbref_dbname(c->dbref), name) == 0;
}

// Leaves `slot` (-1: none) for this session; true when other sessions still
// have the database open.
bool open_elsewhere(client* c, int slot) {
    if (slot < 0) return false;
    if (slot == c->dbref) client_close_database(c);
    return dbref_value(slot, DBREF_NCLIENTS, DBREF_READ) > 0;
}

void set_client_database(client* c, const char* name) {
    Stmt st(settings.inmemorydb, "UPDATE Clients SET database=?1 WHERE id=?2;");
    st.bind(1, name).bind(2, static_cast<int64_t>(c->id)).run();
}

// Settings rows of a database, for drop.
void forget_database(const char* name) {
    sqlite3* s = settings.settings_db;
    Stmt(s, "DELETE FROM Privileges WHERE databasename=?1 AND privilege<>?2;")
        .bind(1, name)
        .bind(2, 20)
        .run();
    Stmt(s, "DELETE FROM DBPreferences WHERE databasename=?1;").bind(1, name).run();
    Stmt(s, "DELETE FROM SchedDatabase WHERE databasename=?1;").bind(1, name).run();
}

const char* encoding_pragma(const char* encoding) {
    if (!encoding) return nullptr;
    if (kestrix_strcasestr(encoding, "UTF-16le")) return "PRAGMA encoding = \"UTF-16le\";";
    if (kestrix_strcasestr(encoding, "UTF-16be")) return "PRAGMA encoding = \"UTF-16be\";";
    if (kestrix_strcasestr(encoding, "UTF-8")) return "PRAGMA encoding = \"UTF-8\";";
    if (kestrix_strcasestr(encoding, "UTF-16")) return "PRAGMA encoding = \"UTF-16\";";
    return nullptr;
}

// Creates the file with its header in WAL mode; false with the session error set.
bool create_database_file(client* c, const char* name, const char* key, const char* encoding) {
    std::string path = database_path(name);
    sqlite3* db = nullptr;
    if (kestrix_open_key(path.c_str(), &db, key) != SQLITE_OK) {
        client_seterror(c, 7039, "%s", db ? sqlite3_errmsg(db) : "out of memory");
        if (db) sqlite3_close_v2(db);
        return false;
    }
    if (const char* pragma = encoding_pragma(encoding)) {
        int rc = kestrix_exec(db, pragma);
        if (debugging()) debug_write("Encoding %s, error: %s", encoding, sqlite3_errstr(rc));
    }
    kestrix_exec(db, "CREATE TABLE __KESTRIQX__SERVER__TEMP__TABLE__ (a, b, c)");
    kestrix_exec(db, "DROP TABLE __KESTRIQX__SERVER__TEMP__TABLE__");
    kestrix_enable_wal(db, name, nullptr);
    sqlite3_close_v2(db);
    return true;
}

}  // namespace

int DoCreateDatabase(client* c, char** args, int code) {
    const char* name = args[0];
    const char* key =
        (code == 128 || code == 129 || code == 132 || code == 133) ? args[1] : nullptr;
    const char* encoding = (code == 130 || code == 131)   ? args[1]
                           : (code == 132 || code == 133) ? args[2]
                                                          : nullptr;
    const bool if_not_exists = code % 2 == 1;
    size_t len = name ? strlen(name) : 0;
    if (len == 0 || len > 250) {
        client_seterror(c, 7016, "Wrong filename length.");
        return CMD_FAILED;
    }
    if (!check_db_validname(name))
        return fail(
            c, 7015,
            "Database name \"%s\" is not valid, it contains some reserved words or characters.",
            name);
    if (file_exists(database_path(name).c_str())) {
        if (if_not_exists) return CMD_DONE;
        return fail(c, 7028, "A database named \"%s\" already exists.", name);
    }
    if (key && strlen(key) > MAX_DATABASE_KEY) {
        client_seterror(c, 7015, "Key too long (maximum size is 512 bytes).");
        return CMD_FAILED;
    }
    if (!check_db_available(name, AVAIL_RESERVE))
        return fail(c, 7015, "Database \"%s\" is temporary unavailable (DoCreateDatabase).", name);
    bool ok = create_database_file(c, name, key, encoding);
    if (ok && key && !store_database_key(name, key)) {
        client_seterror(c, 7015, "Key can't be set.");
        ok = false;
    }
    check_db_available(name, AVAIL_RELEASE);
    return ok ? CMD_DONE : CMD_FAILED;
}

int DoDropDatabase(client* c, char** args, int code) {
    const char* name = args[0];
    if (!check_db_validname(name))
        return fail(c, 7015, "Database \"%s\" has not a valid name.", name);
    std::string path = database_path(name);
    if (!file_exists(path.c_str())) {
        if (code == 136) return CMD_DONE;
        return fail(c, 7007, "A database named \"%s\" cannot be found.", name);
    }
    if (!check_db_available(name, AVAIL_RESERVE))
        return fail(c, 7015, "Database \"%s\" is temporary unavailable (DoDropDatabase).", name);
    int slot = dbref_get(name, 0);
    if (open_elsewhere(c, slot)) {
        check_db_available(name, AVAIL_RELEASE);
        return fail(c, 7029, "The database named \"%s\" is in use and cannot be deleted.", name);
    }
    file_delete(path.c_str());
    file_delete((path + "-wal").c_str());  // the database is gone: so is its log
    file_delete((path + "-shm").c_str());
    if (slot >= 0) dbref_free_entry(slot);
    forget_database(name);
    check_db_available(name, AVAIL_RELEASE);
    return CMD_DONE;
}

int DoUseDatabase(client* c, char** args, int code) {
    if (code == 112) {  // CLEAR / UNSET CURRENT DATABASE
        int slot = c->dbref;
        client_close_database(c);
        if (slot >= 0 && dbref_value(slot, DBREF_NCLIENTS, DBREF_READ) == 0)
            dbref_reset_entry(slot);
        return CMD_DONE;
    }
    const char* name = args[0];
    if (c->db && is_current(c, name)) return CMD_DONE;
    client_close_database(c);
    if (kestrix_strengine(name))
        return fail(c, 7015,
                    "External engine databases (\"%s\") are not available in this version.", name);
    if (!check_db_validname(name)) return fail(c, 7015, "Database \"%s\" is not accessible.", name);
    std::string path = database_path(name);
    if (!file_exists(path.c_str())) return fail(c, 7007, "No database named \"%s\" exists.", name);
    if (!check_db_available(name, AVAIL_TEST))
        return fail(c, 7015, "Database \"%s\" is temporary unavailable (DoUseDatabase).", name);
    if (getstopped_for_database(name))
        return fail(c, 7027, "Operations on the database \"%s\" are currently suspended.", name);
    if (!check_user_has_dbaccess(c, name))
        return fail(c, 7022, "Insufficient privileges to access database \"%s\".", name);
    int slot = dbref_get(name, 1);
    if (slot < 0)
        return fail(c, 7015,
                    "Unable to obtain database reference for \"%s\" from shared database queue "
                    "(use database "
                    "command).",
                    name);
    c->dbref = slot;
    if (!client_open_database(c, name, path.c_str())) {
        c->dbref = -1;
        return CMD_FAILED;
    }
    dbref_value(slot, DBREF_NCLIENTS, DBREF_INC);
    set_client_database(c, name);
    if (kestrix_strcmpi(c->db_admin_databases.c_str(), name) == 0) c->is_db_admin = 1;
    return CMD_DONE;
}

int DoCloseDatabase(client* c, char** args, int) {
    const char* name = args[0];
    if (!check_db_validname(name))
        return fail(c, 7015, "Database \"%s\" has not a valid name.", name);
    if (!file_exists(database_path(name).c_str())) return CMD_DONE;
    if (!check_db_available(name, AVAIL_RESERVE))
        return fail(c, 7015, "Database \"%s\" is temporary unavailable (DoCloseDatabase).", name);
    int slot = dbref_get(name, 0);
    if (open_elsewhere(c, slot)) {
        check_db_available(name, AVAIL_RELEASE);
        return fail(c, 7029, "The database named \"%s\" is in use and cannot be closed.", name);
    }
    if (slot >= 0) dbref_free_entry(slot);
    check_db_available(name, AVAIL_RELEASE);
    return CMD_DONE;
}

int DoStartStopDatabase(client* c, char** args, int code) {
    const char* name = args[0];
    if (!check_db_validname(name) || !file_exists(database_path(name).c_str()))
        return fail(c, 7007, "No database named \"%s\" exists.", name);
    if (code == 59) {
        Stmt(settings.settings_db,
             "DELETE FROM DBPreferences WHERE databasename=?1 AND key='STOPPED';")
            .bind(1, name)
            .run();
        return CMD_DONE;
    }
    int slot = dbref_get(name, 0);
    if (slot >= 0) {
        if (!check_db_available(name, AVAIL_TEST))
            return fail(c, 7015, "Database \"%s\" is temporary unavailable.", name);
        if (dbref_value(slot, DBREF_NCLIENTS, DBREF_READ) > 0)
            return fail(
                c, 7015,
                "The database named \"%s\" is in use by another clients and cannot be stopped.",
                name);
    }
    dbpref_write(nullptr, name, "STOPPED", "1");
    return CMD_DONE;
}

// LOCK and UNLOCK check the named database and take or give back the write
// lock of the session's current database, which is the one the write lock
// belongs to; without a current database there is nothing to lock.
int DoLockUnlockDatabase(client* c, char** args, int code) {
    const char* name = args[0];
    if (!check_db_validname(name))
        return fail(c, 7015, "Database \"%s\" has not a valid name.", name);
    int slot = dbref_get(name, 1);
    if (slot < 0)
        return fail(c, 7015,
                    "Unable to obtain database reference for \"%s\" from shared database queue "
                    "(lock/unlock "
                    "command).",
                    name);
    if (!check_db_available(name, AVAIL_TEST))
        return fail(c, 7015, "Database \"%s\" is temporary unavailable.", name);
    if (code == 63) {
        dbref_forceunlock(slot);
        return CMD_DONE;
    }
    if (c->dbref != slot) return fail(c, 7015, "Unable to lock database \"%s\".", name);
    if (code == 61 && dbref_startwrite(c) != 1)
        return fail(c, 7015, "Unable to lock database \"%s\".", name);
    if (code == 62) dbref_endwrite(c);
    return CMD_DONE;
}

int DoSetDatabasePath(client* c, char** args, int code) {
    const char* path = args[0];
    const char* name = args[1];
    if (!check_db_validname(name))
        return fail(c, 7015, "Database \"%s\" has not a valid name.", name);
    if (code == 151) {
        dbpref_write(settings.inmemorydb, name, "PATH", path);
        settings.custom_db_paths = 1;
    } else {
        dbpref_write(nullptr, name, "PATH", path);
    }
    return CMD_DONE;
}

int DoUnlockDBRef(client*, char** args, int) {
    int slot = static_cast<int>(strtol(args[0], nullptr, 10));
    int64_t ticket = strtoll(args[1], nullptr, 10);
    dbref_forceunlock_ticket(slot, ticket);
    return CMD_DONE;
}

namespace {

// Renames every backup "old_<stamp>" of the backups folder to "new_<stamp>".
void rename_backups(const char* old_name, const char* new_name) {
    char folder[KESTRIX_PATH_MAX];
    get_path_to_backup_folder(folder);
    size_t n = strlen(old_name);
    DIR* dir = dir_init(folder);
    while (const char* entry = dir_read(dir)) {
        if (strlen(entry) <= n || kestrix_strncmpi(entry, old_name, n) != 0) continue;
        std::string renamed = std::string(new_name) + "_" + (entry + n + 1);
        char from[KESTRIX_PATH_MAX], to[KESTRIX_PATH_MAX];
        build_path(from, folder, entry);
        build_path(to, folder, renamed.c_str());
        file_rename(from, to);
    }
}

// The restore journal of a database follows it to its new name.
void rename_restore_files(const char* old_name, const char* new_name) {
    for (const char* prefix : {"kestrix_restore_", ""}) {
        char from[KESTRIX_PATH_MAX], to[KESTRIX_PATH_MAX];
        get_path_to_restore(from, (std::string(prefix) + old_name).c_str());
        get_path_to_restore(to, (std::string(prefix) + new_name).c_str());
        if (file_exists(from)) file_rename(from, to);
    }
}

void rename_rows(sqlite3* db, const char* table, const char* old_name, const char* new_name) {
    std::string sql =
        std::string("UPDATE ") + table + " SET databasename=?1 WHERE databasename=?2;";
    Stmt(db, sql.c_str()).bind(1, new_name).bind(2, old_name).run();
}

}  // namespace

int DoRenameDatabase(client* c, char** args, int) {
    const char* old_name = args[0];
    const char* new_name = args[1];
    if (!check_db_validname(new_name))
        return fail(c, 7015, "Database \"%s\" has not a valid name.", new_name);
    // The old name reaches a path too: it must be a plain file name as well.
    if (!check_db_validname(old_name))
        return fail(c, 7007, "A database named \"%s\" cannot be found.", old_name);
    std::string to = database_path(new_name), from = database_path(old_name);
    if (file_exists(to.c_str()))
        return fail(c, 7015, "Another database named \"%s\" exists on the server.", new_name);
    if (!file_exists(from.c_str()))
        return fail(c, 7007, "A database named \"%s\" cannot be found.", old_name);
    int slot = dbref_get(old_name, 0);
    if (slot >= 0 && dbref_value(slot, DBREF_NCLIENTS, DBREF_READ) > 0)
        return fail(c, 7029, "The database named \"%s\" is in use and cannot be deleted.",
                    old_name);
    if (slot >= 0) dbref_free_entry(slot);
    if (!file_rename(from.c_str(), to.c_str()))
        return fail(c, 7015, "Unable to rename database \"%s\" to new name \"%s\".", old_name,
                    new_name);
    // A write-ahead log left over holds committed pages: it moves with the file.
    if (file_exists((from + "-wal").c_str()))
        file_rename((from + "-wal").c_str(), (to + "-wal").c_str());
    file_delete((from + "-shm").c_str());
    for (const char* table : {"Privileges", "DBPreferences", "SchedDatabase"})
        rename_rows(settings.settings_db, table, old_name, new_name);
    for (const char* table : {"NotAvailableDB", "Locks", "DBPreferences"})
        rename_rows(settings.inmemorydb, table, old_name, new_name);
    rename_restore_files(old_name, new_name);
    rename_backups(old_name, new_name);
    return CMD_DONE;
}
