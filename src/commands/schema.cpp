// schema.cpp - listing tables and indexes and describing table columns.
//
// SHOW TABLES/INDEXES FOR DATABASE name opens the named file on a separate
// connection with its stored key; the name is validated and the user's access
// checked as USE DATABASE does, and a name without a file is refused before
// any open, so no file is ever created. Table names reach the engine's
// pragmas quoted by its own formatter.
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
#include "query/cursor.h"
#include "query/execute.h"
#include "server/paths.h"
#include "server/util.h"

namespace {

const char* const TABLES_SQL =
    "SELECT name as tablename FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
    "AND name NOT "
    "LIKE 'kestrix_temp_%';";
const char* const INDEXES_SQL = "SELECT name as indexname FROM sqlite_master WHERE type='index';";

struct FieldTypeName {
    const char* declared;
    int type;
};
const FieldTypeName FIELD_TYPES[] = {
    {"integer", 3},         {"smallint", 2},   {"byte", 1},      {"Int64", 19},   {"float", 6},
    {"double", 7},          {"real", 7},       {"blob", 14},     {"binary", 14},  {"long text", 15},
    {"long varbinary", 16}, {"varbinary", 14}, {"MacPICT", 17},  {"boolean", 12}, {"date", 8},
    {"timestamp", 10},      {"time", 9},       {"currency", 11}, {"decimal", 13},
};

int field_type(const char* declared) {
    for (const FieldTypeName& f : FIELD_TYPES)
        if (declared && kestrix_strcmpi(declared, f.declared) == 0) return f.type;
    return 5;
}

int send(client* c, sqlite3* db, const char* sql) {
    return kestrix_select_internal(c, db, sql) ? CMD_REPLIED : CMD_FAILED;
}

// Runs `sql` on the named database (its own connection) and sends the result.
int show_for_database(client* c, const char* name, const char* sql) {
    if (!check_db_validname(name)) {
        client_seterror(c, 7015, "Database \"%s\" is not accessible.", name);
        return CMD_FAILED;
    }
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    if (!file_exists(path)) {
        client_seterror(c, 7007, "No database named \"%s\" exists.", name);
        return CMD_FAILED;
    }
    if (!check_user_has_dbaccess(c, name)) {
        client_seterror(c, 7022, "Insufficient privileges to access database \"%s\".", name);
        return CMD_FAILED;
    }
    if (!check_db_available(name, 1)) {
        client_seterror(c, 7015, "Database \"%s\" is temporary unavailable.", name);
        return CMD_FAILED;
    }
    std::string key = getkey_for_database_text(name);
    sqlite3* db = nullptr;
    if (kestrix_open_key(path, &db, key.empty() ? nullptr : key.c_str()) != SQLITE_OK) {
        client_seterror(c, 7015, "An error occured while trying to open \"%s\".", name);
        if (db) sqlite3_close_v2(db);
        return CMD_FAILED;
    }
    int result = send(c, db, sql);
    sqlite3_close_v2(db);
    return result;
}

}  // namespace

int DoShowSQLiteMaster(client* c, char** args, int code) {
    const char* sql = code == 45 ? INDEXES_SQL : TABLES_SQL;
    if (code == 44 || code == 45) {
        if (args[0][0] != '*') return show_for_database(c, args[0], sql);
        if (!c->db) {
            client_seterror(c, 7015,
                            "In order to be able to use the special * character as database name "
                            "you must set a "
                            "valid database with the USE DATABASE command first.");
            return CMD_FAILED;
        }
    }
    if (!check_db_available(dbref_dbname(c->dbref), 1)) {
        client_seterror(c, 7015, "Database \"%s\" is temporary unavailable.",
                        dbref_dbname(c->dbref));
        return CMD_FAILED;
    }
    if (code != 46) return send(c, c->db, sql);
    char* pragma = sqlite3_mprintf("PRAGMA index_list(%Q);", args[0]);
    int result = send(c, c->db, pragma);
    sqlite3_free(pragma);
    return result;
}

int DoShowTableInfo(client* c, char** args, int code) {
    char* pragma = sqlite3_mprintf("PRAGMA table_info(%Q);", args[0]);
    if (code == 48) {
        int result = send(c, c->db, pragma);
        sqlite3_free(pragma);
        return result;
    }
    sqlite3* scratch = client_scratch_db(c);
    if (!scratch) {
        sqlite3_free(pragma);
        client_seterror(c, 7003,
                        "An error occured while trying to obtain in-memory database reference.");
        return CMD_FAILED;
    }
    kestrix_exec(scratch, "DROP TABLE IF EXISTS FieldSchema;");
    int rc = kestrix_exec(
        scratch,
        "CREATE TABLE FieldSchema (ColumnName TEXT, FieldType INTEGER, IsPrimary BOOLEAN, "
        "'NotNULL' BOOLEAN, Length INTEGER DEFAULT 0);");
    Stmt info(c->db, pragma);
    sqlite3_free(pragma);
    if (rc != 0 || !info.ok()) {
        client_seterror(c, 7009, "%s", sqlite3_errmsg(rc != 0 ? scratch : c->db));
        return CMD_FAILED;
    }
    Stmt ins(scratch,
             "INSERT INTO FieldSchema (ColumnName, FieldType, IsPrimary, 'NotNULL') VALUES (?1, "
             "?2, ?3, ?4);");
    while ((rc = info.step()) == SQLITE_ROW) {
        std::string type = info.text_at(2);
        ins.bind(1, info.text_at(1))
            .bind(2, field_type(type.c_str()))
            .bind(3, info.int_at(5))
            .bind(4, info.int_at(3));
        ins.run();
        ins.reset();
    }
    if (rc != SQLITE_DONE) {
        client_seterror(c, 7009, "%s", sqlite3_errmsg(c->db));
        return CMD_FAILED;
    }
    int result = send(c, scratch, "SELECT * FROM FieldSchema;");
    kestrix_exec(scratch, "DROP TABLE FieldSchema;");
    return result;
}
