// memdb.cpp - the in-memory bookkeeping database: who is connected, locks,
// commands, plug-ins, databases reserved by running operations, failed-login
// counters and temporary per-database paths. Nothing in it outlives the
// process except the disabled logins copied in from the settings database.
#include "core/dbhelpers.h"
#include "server/log.h"
#include "server/prefs.h"
#include "server/settings.h"

void inmemorydb_create() {
    static const char* const TABLES[] = {
        "CREATE TABLE Plugins (id INTEGER, name TEXT, version TEXT, copyright TEXT, description "
        "TEXT, "
        "path TEXT, exename TEXT);",
        "CREATE TABLE Commands (command TEXT UNIQUE, context TEXT, privilege TEXT);",
        "CREATE TABLE Clients (id INTEGER UNIQUE, address TEXT, username TEXT, connection_date "
        "TEXT "
        "DEFAULT CURRENT_TIMESTAMP, connection_type TEXT DEFAULT '', last_activity TEXT DEFAULT "
        "CURRENT_TIMESTAMP, database TEXT DEFAULT 'N/A', client_version TEXT DEFAULT 'N/A', "
        "client_type TEXT DEFAULT 'N/A', language TEXT DEFAULT 'N/A', connfd INTEGER, ptr TEXT, "
        "ping_timeout INTEGER);",
        "CREATE TABLE NotAvailableDB (databasename TEXT UNIQUE COLLATE NOCASE);",
        "CREATE TABLE Logins (username TEXT UNIQUE COLLATE NOCASE, times INTEGER, lasttime "
        "INTEGER);",
        "CREATE TABLE Locks (id INTEGER PRIMARY KEY AUTOINCREMENT, databasename TEXT COLLATE "
        "NOCASE, "
        "tablename TEXT COLLATE NOCASE, recordid INTEGER, clientid INTEGER, mvcc INTEGER DEFAULT "
        "0, "
        "UNIQUE(databasename, tablename, recordid, clientid));",
        "CREATE INDEX LocksIndex ON Locks(databasename,tablename,recordid,clientid);",
        "CREATE TABLE DBPreferences (databasename TEXT COLLATE NOCASE, key TEXT COLLATE NOCASE, "
        "value "
        "TEXT, UNIQUE (databasename, key));",
    };
    if (debugging()) debug_write("inmemorydb_create");
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
        sqlite3_close(db);
        kestrix_fatal("Unable to create in memory database.");
    }
    settings.inmemorydb = db;
    for (const char* sql : TABLES) {
        if (kestrix_exec(db, sql) != 0) kestrix_fatal("Unable to create in memory database.");
    }
}
