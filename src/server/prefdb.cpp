// prefdb.cpp - the settings database: opening, schema, upgrade from older
// versions, import of a legacy settings file, and user/group look-ups.
//
// The file is opened through kestrix_open_key with the fixed key, so the page
// codec enciphers it. The schema statements all say IF NOT EXISTS; a file only
// moves forward in version (1 to 5), a newer version is used as it is. Every
// failure while opening is fatal.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/dbhelpers.h"
#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

const char* const SETTINGS_DB_KEY = "31640279915083746620395817403326";

namespace {

const char* const MSG_OPEN = "Unable to open/create settings database (probably wrong permission).";
const char* const MSG_WRITE =
    "Unable to write data into the settings database file (probably wrong permission).";
const char* const FIXED_ADMIN_DIGEST = "Lr4wTqn8vXb0HmDk2ZsyGf7Jc1Y=";

const char* const SCHEMA[] = {
    "CREATE TABLE IF NOT EXISTS Users (userid INTEGER PRIMARY KEY, username TEXT UNIQUE COLLATE "
    "NOCASE, password TEXT);",
    "CREATE TABLE IF NOT EXISTS Groups (groupid INTEGER PRIMARY KEY, groupname TEXT UNIQUE COLLATE "
    "NOCASE);",
    "CREATE TABLE IF NOT EXISTS UserGroup (groupid INTEGER, userid INTEGER, UNIQUE(groupid, "
    "userid));",
    "CREATE TABLE IF NOT EXISTS Privileges (groupid INTEGER, privilege INTEGER, databasename TEXT "
    "COLLATE NOCASE, tablename TEXT COLLATE NOCASE, UNIQUE(groupid, privilege, databasename, "
    "tablename));",
    "CREATE TABLE IF NOT EXISTS Preferences (key TEXT UNIQUE COLLATE NOCASE, value TEXT);",
    "CREATE TABLE IF NOT EXISTS Schedules (schedid INTEGER PRIMARY KEY, schedname TEXT UNIQUE "
    "COLLATE NOCASE, scheddays TEXT, schedhours INTEGER, schedminutes INTEGER, schedtime INTEGER, "
    "schedweeks INTEGER, schedlastweek INTEGER, schedtype TEXT, schedoptions TEXT, schedenabled "
    "INTEGER, schedlastday INTEGER DEFAULT -1, schedlasttime INTEGER DEFAULT -1);",
    "CREATE TABLE IF NOT EXISTS SchedDatabase (schedid INTEGER, databasename TEXT COLLATE NOCASE);",
    "CREATE TABLE IF NOT EXISTS DatabasePreferences (databasename TEXT UNIQUE COLLATE NOCASE, key "
    "TEXT, is_stopped INTEGER, has_restore INTEGER, is_invisible INTEGER);",
    "CREATE TABLE IF NOT EXISTS PluginPreferences (pluginname TEXT UNIQUE COLLATE NOCASE, "
    "is_disabled INTEGER);",
    "CREATE TABLE IF NOT EXISTS UsersPreferences (domain TEXT COLLATE NOCASE, key TEXT COLLATE "
    "NOCASE, value TEXT, UNIQUE(domain, key));",
    "CREATE TABLE IF NOT EXISTS Logins (username TEXT UNIQUE COLLATE NOCASE, times INTEGER, "
    "lasttime INTEGER);",
    "CREATE TABLE IF NOT EXISTS EnginePreferences (engine TEXT COLLATE NOCASE, databasename TEXT "
    "COLLATE NOCASE, key TEXT COLLATE NOCASE, value TEXT, UNIQUE(engine,databasename,key));",
    "CREATE TRIGGER IF NOT EXISTS DeleteUserTrigger After DELETE ON Users BEGIN DELETE FROM "
    "UserGroup WHERE userid = old.userid; END;",
    "CREATE TRIGGER IF NOT EXISTS DeleteGroupTrigger1 After DELETE ON Groups BEGIN DELETE FROM "
    "UserGroup WHERE groupid = old.groupid; END;",
    "CREATE TRIGGER IF NOT EXISTS DeleteGroupTrigger2 After DELETE ON Groups BEGIN DELETE FROM "
    "Privileges WHERE groupid = old.groupid; END;",
};

const char* const LATE_SCHEMA[] = {
    "CREATE TRIGGER IF NOT EXISTS UpdateTimeInSchedule AFTER UPDATE ON Schedules BEGIN UPDATE "
    "Schedules SET schedtime = new.schedminutes + (new.schedhours*60) WHERE schedid = old.schedid; "
    "END;",
    "CREATE INDEX IF NOT EXISTS GroupsIndex1 ON Groups(groupname);",
    "CREATE INDEX IF NOT EXISTS PreferencesIndex ON Preferences(key);",
    "CREATE INDEX IF NOT EXISTS DBPreferencesIndex ON DBPreferences(databasename, key);",
    "CREATE INDEX IF NOT EXISTS PrivilegesIndex ON Privileges(groupid);",
    "CREATE INDEX IF NOT EXISTS SchedulesIndex ON Schedules(schedname);",
    "CREATE INDEX IF NOT EXISTS UserIndex ON Users(username);",
};

void fatal_if(bool failed, const char* message) {
    if (failed) kestrix_fatal(message);
}

std::string default_path(int kind) {
    char p[KESTRIX_PATH_MAX];
    get_fixed_path(p, kind);
    return p;
}

bool same_text_nocase(const std::optional<std::string>& v, const char* word) {
    return v && kestrix_strcmpi(v->c_str(), word) == 0;
}

// The first rows of a new file. The administrator's password comes from
// KESTRIX_ADMIN_PASSWORD when it is set; otherwise the fixed digest stays and
// the operator is told how to set a password.
void write_new_file_rows() {
    const char* pw = getenv("KESTRIX_ADMIN_PASSWORD");
    std::string digest = pw ? hash_password(pw) : FIXED_ADMIN_DIGEST;
    Stmt user(settings.settings_db,
              "INSERT INTO Users (userid, username, password) VALUES (1, 'admin', ?1)");
    user.bind(1, digest);
    fatal_if(user.run() != SQLITE_DONE, MSG_WRITE);
    fatal_if(kestrix_exec(settings.settings_db,
                          "INSERT INTO Groups (groupid, groupname) VALUES (1, 'admin')") != 0,
             MSG_WRITE);
    fatal_if(kestrix_exec(settings.settings_db,
                          "INSERT INTO UserGroup (groupid, userid) VALUES (1, 1)") != 0,
             MSG_WRITE);
    if (!pw) {
        printf(
            "The admin user has no known password: start the server on a new settings file with "
            "KESTRIX_ADMIN_PASSWORD set to choose one.\n");
    }
    const std::pair<const char*, std::string> defaults[] = {
        {"PREF_VERS", "1"},
        {"SERVER_PORT", "4430"},
        {"HTTP_PORT", "8830"},
        {"VERBOSE_LOG", "10"},
        {"SERVER_VERSION", "0"},
        {"OS_VERSION", "?"},
        {"CHUNK_SIZE", "307200"},
        {"SERVER_NAME", "Kestrix"},
        {"LOCK_DB_TIME", "800"},
        {"DATABASES_PATH", default_path(PATH_DATABASES)},
        {"BACKUP_PATH", default_path(PATH_BACKUPS)},
        {"RESTORE_PATH", default_path(PATH_RESTORE)},
        {"HTTP_PATH", default_path(PATH_WEB)},
        {"LOG_FORMAT", "SQLITE"},
    };
    for (const auto& [key, value] : defaults) pref_write(key, value.c_str());
}

}  // namespace

void pref_open() {
    char path[KESTRIX_PATH_MAX];
    get_fixed_path(path, PATH_SETTINGS);
    bool custom_path = settings.settings_file_path.is_set();
    if (!file_exists(path) && !custom_path) {
        char legacy[KESTRIX_PATH_MAX];
        get_fixed_path(legacy, PATH_LEGACY_SETTINGS);
        if (file_exists(legacy)) file_rename(legacy, path);
    }
    bool existed = file_exists(path);
    if (debugging()) debug_write("pref_open settings file is: %s", path);

    sqlite3* db = nullptr;
    if (kestrix_open_key(path, &db, SETTINGS_DB_KEY) != SQLITE_OK) {
        if (db) sqlite3_close_v2(db);
        kestrix_fatal(MSG_OPEN);
    }
    settings.settings_db = db;
    for (const char* sql : SCHEMA) fatal_if(kestrix_exec(db, sql) != 0, MSG_WRITE);

    char oldest[KESTRIX_PATH_MAX];
    get_fixed_path(oldest, PATH_OLDEST_SETTINGS);
    if (!custom_path && file_exists(oldest) && pref_read_int(nullptr, "PREF_MIGRATED", 0) == 0) {
        // A failed import leaves an existing file as it was; only a new file
        // then gets the defaults of a new file.
        existed = pref_migrate(oldest) || existed;
        pref_write("PREF_MIGRATED", "1");
    }
    if (existed) {
        auto name = pref_value("SERVER_NAME");
        if (same_text_nocase(name, "thaldor") || same_text_nocase(name, "brannox"))
            pref_write("SERVER_NAME", "Kestrix");
    } else {
        write_new_file_rows();
    }
    pref_write("EXECUTABLE_PATH", settings.server_path);
    pref_write("EXECUTABLE_NAME", settings.exe_name);

    pref_init();
    for (const char* sql : LATE_SCHEMA) fatal_if(kestrix_exec(db, sql) != 0, MSG_WRITE);
    kestrix_register_settings_functions(db);
    inmemorydb_create();
    if (settings.load_disabled_logins == 1) copy_logins(settings.settings_db, settings.inmemorydb);
}

void pref_close() {
    if (settings.settings_db) sqlite3_close_v2(settings.settings_db);
    settings.settings_db = nullptr;
    if (settings.inmemorydb) sqlite3_close_v2(settings.inmemorydb);
    settings.inmemorydb = nullptr;
}

namespace {

void upgrade_web_preferences() {
    const std::pair<const char*, std::string> rows[] = {
        {"HTTP_PATH", default_path(PATH_WEB)},
        {"HTTP_PORT", "8830"},
        {"HTTP_ENABLED", "0"},
        {"HTTP_PROTECTED_FOLDERS", "admin"},
        {"HTTP_AUTH_DOMAIN", "kestrix.local"},
        {"HTTP_ENABLE_DIR_LISTING", "1"},
        {"HTTP_INDEX_FILES", "index.html,index.htm"},
        {"HTTP_SSL_CERT_PATH", ""},
        {"HTTP_NUM_THREADS", "10"},
        {"HTTP_EXTRA_MIME_TYPES", ""},
        {"PREF_VERS", "2"},
    };
    for (const auto& [key, value] : rows) pref_write(key, value.c_str());
}

// Moves pre-version-3 per-database rows into DBPreferences. False when the
// old table cannot be read (the file then stays at version 2).
bool upgrade_database_preferences() {
    sqlite3* db = settings.settings_db;
    kestrix_exec(db,
                 "CREATE TABLE IF NOT EXISTS DBPreferences (databasename TEXT COLLATE NOCASE, key "
                 "TEXT COLLATE NOCASE, value TEXT, UNIQUE (databasename, key));");
    Stmt rows(db,
              "SELECT databasename, key, is_stopped, has_restore FROM DatabasePreferences ORDER BY "
              "databasename;");
    if (!rows.ok()) return false;
    while (rows.step() == SQLITE_ROW) {
        if (rows.is_null(0)) continue;
        std::string name = rows.text_at(0);
        std::string key = rows.text_at(1);
        if (!key.empty()) dbpref_write(nullptr, name.c_str(), "KEY", key.c_str());
        if (rows.int_at(2) != 0) dbpref_write(nullptr, name.c_str(), "STOPPED", "1");
        if (rows.int_at(3) != 0) dbpref_write(nullptr, name.c_str(), "RESTORE", "1");
    }
    kestrix_exec(db, "DROP INDEX DatabasePreferencesIndex;");
    pref_write("PREF_VERS", "3");
    return true;
}

void upgrade_engine_preferences() {
    sqlite3* db = settings.settings_db;
    kestrix_exec(db, "ALTER TABLE EnginePreferences RENAME TO engine_temp;");
    kestrix_exec(db,
                 "CREATE TABLE IF NOT EXISTS EnginePreferences (engine TEXT COLLATE NOCASE, "
                 "databasename TEXT COLLATE NOCASE, key TEXT COLLATE NOCASE, value TEXT, groupid "
                 "INTEGER DEFAULT 0);");
    kestrix_exec(db,
                 "INSERT INTO EnginePreferences(engine,databasename,key,value) SELECT "
                 "engine,databasename,key,value FROM engine_temp;");
    kestrix_exec(db, "DROP TABLE engine_temp;");
    pref_write("PREF_VERS", "5");
}

}  // namespace

int pref_update() {
    int version = pref_read_int(nullptr, "PREF_VERS", -1);
    if (version == -1) {
        kestrix_fatal(
            "Unable to read version number from settings database (probably wrong permission "
            "or corrupted file).");
    }
    if (version < 1 || version > 4) return version;
    if (version <= 1) upgrade_web_preferences();
    if (version <= 2 && !upgrade_database_preferences()) return -1;
    if (version <= 3) {
        pref_write("UPLOAD_PATH", default_path(PATH_UPLOAD).c_str());
        pref_write("PREF_VERS", "4");
    }
    upgrade_engine_preferences();
    return 5;
}

int pref_migrate(const char* path) {
    if (debugging()) debug_write("pref_migrate");
    sqlite3* db = settings.settings_db;
    std::string uri = kestrix_key_uri(path, SETTINGS_DB_KEY);
    Stmt attach(db, "ATTACH ?1 AS old;");
    attach.bind(1, uri);
    int rc = attach.run();
    static const char* const STEPS[] = {
        "INSERT INTO main.Users SELECT * FROM old.Users;",
        "INSERT INTO main.Groups SELECT * FROM old.Groups;",
        "INSERT INTO main.UserGroup SELECT * FROM old.UserGroup;",
        "INSERT INTO main.Privileges SELECT * FROM old.Privileges;",
        "INSERT INTO main.Schedules SELECT * FROM old.Schedules;",
        "INSERT INTO main.SchedDatabase (schedid, databasename) SELECT schedid, dbName FROM "
        "old.SchedDatabase;",
        "INSERT INTO main.Preferences SELECT * FROM old.Preferences WHERE key NOT IN "
        "('MAX_LOCKTIME', 'USE_AUTOTRANSACTIONS');",
        "INSERT INTO main.DatabasePreferences (databasename, key) SELECT databasename, key FROM "
        "old.Keys;",
    };
    // All or nothing: a half-imported file would clash with the rows of a new file.
    if (rc == SQLITE_DONE) rc = kestrix_exec(db, "BEGIN;");
    if (rc == SQLITE_OK || rc == SQLITE_DONE) {
        rc = SQLITE_OK;
        for (const char* sql : STEPS) {
            if ((rc = kestrix_exec(db, sql)) != SQLITE_OK) break;
        }
    }
    if (rc != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        kestrix_exec(db, "ROLLBACK;");
        log_printf("Unable to migrate old settings file: %s\n", message.c_str());
        if (debugging()) debug_write("Unable to migrate old settings file: %s", message.c_str());
        kestrix_exec(db, "DETACH old;");
        return 0;
    }
    kestrix_exec(db, "COMMIT;");
    kestrix_exec(db, "DETACH old;");
    pref_write("PREF_VERS", "1");
    pref_write("CHUNK_SIZE", "307200");
    pref_write("HTTP_PORT", "8830");
    pref_write("LOCK_DB_TIME", "800");
    pref_write("RESTORE_PATH", default_path(PATH_RESTORE).c_str());
    pref_write("HTTP_PATH", default_path(PATH_WEB).c_str());
    if (same_text_nocase(pref_value("SERVER_NAME"), "brannox"))
        pref_write("SERVER_NAME", "Kestrix");
    return 1;
}

void copy_logins(sqlite3* from, sqlite3* to) {
    kestrix_exec(to, "DELETE FROM Logins;");
    Stmt rows(from, "SELECT username, times, lasttime FROM Logins;");
    Stmt ins(to, "INSERT INTO Logins (username, times, lasttime) VALUES (?1, ?2, ?3);");
    while (rows.step() == SQLITE_ROW) {
        ins.bind(1, rows.text_at(0)).bind(2, rows.int_at(1)).bind(3, rows.int_at(2));
        ins.run();
        ins.reset();
    }
}

int get_userid(const char* username) {
    Stmt st(settings.settings_db, "SELECT userid FROM Users WHERE username=?1;");
    st.bind(1, username);
    return st.step() == SQLITE_ROW ? st.int_at(0) : 0;
}

int get_groupid(const char* groupname) {
    Stmt st(settings.settings_db, "SELECT groupid FROM Groups WHERE groupname=?1;");
    st.bind(1, groupname);
    return st.step() == SQLITE_ROW ? st.int_at(0) : 0;
}

char* get_groupname(int groupid) {
    Stmt st(settings.settings_db, "SELECT groupname FROM Groups WHERE groupid=?1;");
    st.bind(1, groupid);
    if (st.step() != SQLITE_ROW || st.is_null(0)) return nullptr;
    return kestrix_strdup(st.text_at(0).c_str());
}

int is_admin_group(int userid) {
    if (userid == 1) return 1;
    Stmt st(settings.settings_db, "SELECT 1 FROM UserGroup WHERE userid=?1 AND groupid=1;");
    st.bind(1, userid);
    return st.step() == SQLITE_ROW ? st.int_at(0) : 0;
}
