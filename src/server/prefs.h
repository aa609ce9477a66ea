// prefs.h - the settings database and its preference rows.
//
// The settings database (users, groups, privileges, preferences, schedules,
// per-database settings) is one encrypted SQLite file opened at start-up by
// pref_open and shared by all threads through `settings.settings_db`.
// Preference keys are read into `settings` once at start-up (pref_init, with
// command-line values winning) and changed at run time through pref_notify.
//
// Readers answer 0, NULL or the default on any error. Keys and names always
// reach SQL as bound parameters; the optional `sql` argument of the readers
// is a statement with one parameter ?1 that receives the key.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct client;

// Settings database life cycle and schema.
void pref_open();
void pref_close();
int pref_update();
int pref_migrate(const char* path);
void copy_logins(sqlite3* from, sqlite3* to);
void inmemorydb_create();

// User and group look-ups on the settings database.
int get_userid(const char* username);
int get_groupid(const char* groupname);
char* get_groupname(int groupid);  // sqlite3_free it
int is_admin_group(int userid);

// Reading.
int db_read_static(sqlite3* db, const char* sql, const char* key, char* buffer, size_t size);
int pref_read_static(const char* sql, const char* key, char* buffer, size_t size);
int mem_read_static(const char* sql, const char* key, char* buffer, size_t size);
int32_t pref_read_int(const char* sql, const char* key, int32_t def);
int64_t pref_read_int64(const char* sql, const char* key, int64_t def);
char* pref_read_str(const char* sql, const char* key);  // sqlite3_free it
std::optional<std::string> pref_value(const char* key);
int pref_fast_read(const char* sql);

// Writing.
int pref_write(const char* key, const char* value);
int pref_write_sql(const char* sql);
int pref_delete(const char* key);
int dbpref_write(sqlite3* db, const char* databasename, const char* key, const char* value);
int pref_notify(const char* key, const char* value);
int pref_drop(const char* key);
void pref_init();
void pref_load_config();

// The fixed key of the settings database (32 characters).
extern const char* const SETTINGS_DB_KEY;
