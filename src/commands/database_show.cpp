// database_show.cpp - listing databases and their shared state.
//
// Results are built as a table in the session's scratch database, sent as a
// cursor and dropped. A name that is not a valid database name (quotes,
// separators, reserved words) is never listed.
#include <string>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "core/auth.h"
#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/cursor.h"
#include "query/execute.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

const char* const NO_SCRATCH =
    "An error occured while trying to obtain in-memory database reference.";

sqlite3* scratch_or_fail(client* c) {
    sqlite3* db = client_scratch_db(c);
    if (!db) client_seterror(c, 7003, "%s", NO_SCRATCH);
    return db;
}

std::string db_value(const char* name, const char* key) {
    Stmt st(settings.settings_db,
            "SELECT value FROM DBPreferences WHERE databasename=?1 AND key=?2;");
    st.bind(1, name).bind(2, key);
    return st.step() == SQLITE_ROW ? st.text_at(0) : std::string();
}

// One row of SHOW DATABASES WITH DETAILS.
void insert_details(sqlite3* scratch, const char* name) {
    int slot = dbref_get(name, 0);
    int owner = slot >= 0 ? dbref_value(slot, DBREF_LOCKOWNER, DBREF_READ) : 0;
    char owner_name[256] = "N/A";
    if (owner) dbref_lockowner(slot, owner_name, sizeof(owner_name));
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    bool encrypted = !db_value(name, "KEY").empty();
    Stmt st(scratch,
            "INSERT INTO Databases (databasename, stopped, locked, lockowner, encrypted, "
            "available, restore_status, "
            "lockownerid) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    st.bind(1, name)
        .bind(2, getstopped_for_database(name))
        .bind(3, owner != 0 ? 1 : 0)
        .bind(4, owner_name);
    st.bind(5, encrypted ? 1 : 0)
        .bind(6, encrypted || is_valid_sqlite3_database_using_file(path) ? 1 : 0);
    st.bind(7, static_cast<int>(kestrix_parse_int64(db_value(name, "RESTORE").c_str())))
        .bind(8, owner);
    st.run();
}

void consider(client* c, sqlite3* scratch, const char* name, bool details) {
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    if (is_directory(path) || !check_db_validname(name) || !check_db_available(name, 1)) return;
    if (!details && getstopped_for_database(name)) return;
    if (!check_user_has_dbaccess(c, name)) return;
    if (details)
        insert_details(scratch, name);
    else
        Stmt(scratch, "INSERT INTO Databases (databasename) VALUES (?1)").bind(1, name).run();
}

}  // namespace

int DoShowDatabases(client* c, char**, int code) {
    const bool details = code == 110;
    sqlite3* scratch = scratch_or_fail(c);
    if (!scratch) return CMD_FAILED;
    kestrix_exec(scratch, "DROP TABLE IF EXISTS Databases;");
    const char* create =
        details
            ? "CREATE TABLE Databases (databasename TEXT UNIQUE, stopped BOOLEAN, locked INTEGER, "
              "lockowner TEXT, encrypted BOOLEAN, available BOOLEAN, restore_status BOOLEAN, "
              "lockownerid INTEGER);"
            : "CREATE TABLE Databases (databasename TEXT UNIQUE);";
    if (kestrix_exec(scratch, create) != 0) {
        client_seterror(c, 7009, "%s", sqlite3_errmsg(scratch));
        return CMD_FAILED;
    }
    char folder[KESTRIX_PATH_MAX];
    get_path_to_databases_folder(folder);
    DIR* dir = dir_init(folder);
    if (!dir) {
        client_seterror(c, 7015, "Unable to open database directory %s", folder);
        return CMD_FAILED;
    }
    while (const char* name = dir_read(dir)) consider(c, scratch, name, details);
    Stmt pathed(settings.settings_db,
                "SELECT databasename FROM DBPreferences WHERE key='PATH' AND value IS NOT NULL;");
    while (pathed.step() == SQLITE_ROW) consider(c, scratch, pathed.text_at(0).c_str(), details);
    int sent = kestrix_select_internal(
        c, scratch,
        details ? "SELECT databasename,stopped,locked,lockowner,encrypted,available,restore_status,"
                  "lockownerid FROM Databases ORDER BY databasename;"
                : "SELECT databasename FROM Databases ORDER BY databasename;");
    kestrix_exec(scratch, "DROP TABLE Databases;");
    return sent ? CMD_REPLIED : CMD_FAILED;
}

int DoShowDatabaseInfo(client* c, char** args, int) {
    const char* name = args[0];
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    if (!check_db_validname(name) || !file_exists(path)) {
        client_seterror(c, 7007, "No database named \"%s\" exists.", name);
        return CMD_FAILED;
    }
    int slot = dbref_get(name, 1);
    if (slot >= 0 && !check_db_available(name, 1)) {
        client_seterror(c, 7015, "Database \"%s\" is temporary unavailable.", name);
        return CMD_FAILED;
    }
    sqlite3* scratch = scratch_or_fail(c);
    if (!scratch) return CMD_FAILED;
    kestrix_exec(scratch, "DROP TABLE IF EXISTS database_info;");
    if (kestrix_exec(scratch, "CREATE TABLE database_info (key TEXT, value TEXT);") != 0) {
        client_seterror(c, 7009, "%s", sqlite3_errmsg(scratch));
        return CMD_FAILED;
    }
    Stmt ins(scratch, "INSERT INTO database_info (key, value) VALUES (?1, ?2);");
    const std::pair<const char*, int64_t> rows[] = {
        {"nconnections", dbref_value(slot, DBREF_NCLIENTS, DBREF_READ)},
        {"nwrite", dbref_value(slot, DBREF_NWRITE, DBREF_READ)},
        {"nread", dbref_value(slot, DBREF_NREAD, DBREF_READ)},
        {"dbsize", file_size(path)},
    };
    ins.bind(1, "databasename").bind(2, name).run();
    for (const auto& [key, value] : rows) {
        ins.reset();
        ins.bind(1, key).bind(2, value).run();
    }
    int sent = kestrix_select_internal(c, scratch, "SELECT * FROM database_info;");
    kestrix_exec(scratch, "DROP TABLE database_info;");
    return sent ? CMD_REPLIED : CMD_FAILED;
}

int DoShowDatabaseDBRef(client* c, char** args, int) {
    const char* name = args[0];
    int slot = check_db_validname(name) ? dbref_get(name, 1) : -1;
    if (slot < 0) {
        client_seterror(c, 7015,
                        "Unable to obtain database reference for \"%s\" from shared database queue "
                        "(lock/unlock "
                        "command).",
                        name);
        return CMD_FAILED;
    }
    sqlite3* scratch = scratch_or_fail(c);
    if (!scratch) return CMD_FAILED;
    std::string sql = "SELECT " + std::to_string(slot) + " AS dbref;";
    return kestrix_select_internal(c, scratch, sql.c_str()) ? CMD_REPLIED : CMD_FAILED;
}
