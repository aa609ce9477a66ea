// settings_db.h - opening a settings file the way the server does, for tests
// that inspect or prepare one.
#pragma once

#include <sqlite3.h>

#include <string>

// Opens `path` with the settings key (creating it when missing); nullptr on failure.
sqlite3* open_settings_file(const std::string& path);
// Opens `path` with another key (nullptr: none); nullptr on failure.
sqlite3* open_with_key(const std::string& path, const char* key);
// First column of the first row as text ("" when none).
std::string query_text(sqlite3* db, const std::string& sql);
int query_int(sqlite3* db, const std::string& sql, int def = -999);
bool exec_ok(sqlite3* db, const std::string& sql);
