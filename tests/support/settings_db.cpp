// settings_db.cpp - settings files for tests.
#include "support/settings_db.h"

#include "core/dbhelpers.h"
#include "core/sqlite_raii.h"
#include "server/prefs.h"

sqlite3* open_with_key(const std::string& path, const char* key) {
    sqlite3* db = nullptr;
    if (kestrix_open_key(path.c_str(), &db, key) != SQLITE_OK) {
        if (db) sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);  // the server may still be closing its own connections
    return db;
}

sqlite3* open_settings_file(const std::string& path) {
    return open_with_key(path, SETTINGS_DB_KEY);
}

std::string query_text(sqlite3* db, const std::string& sql) {
    Stmt st(db, sql.c_str());
    if (!st.ok() || st.step() != SQLITE_ROW) return "";
    return st.text_at(0);
}

int query_int(sqlite3* db, const std::string& sql, int def) {
    Stmt st(db, sql.c_str());
    if (!st.ok() || st.step() != SQLITE_ROW) return def;
    return st.int_at(0);
}

bool exec_ok(sqlite3* db, const std::string& sql) {
    return kestrix_exec(db, sql.c_str()) == 0;
}
