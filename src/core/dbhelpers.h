// dbhelpers.h - the helpers between the server and the SQLite engine:
// running scripts and single-value queries, opening a database with its key
// (the one place where a key is applied to a connection), database-name,
// availability and path checks, and the clean-up of temporary databases.
//
// Execution helpers answer SQLite result codes (0 = success). Checks answer
// 1/0. Names are bound as parameters wherever they reach SQL.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

int kestrix_exec(sqlite3* db, const char* sql);
int kestrix_start_transaction(sqlite3* db);
int kestrix_commit(sqlite3* db);
int kestrix_rollback(sqlite3* db);
int kestrix_count_select(sqlite3* db, const char* query);
char* kestrix_singlecolumn_select(sqlite3* db, const char* query, int column, char* buffer,
                                  size_t size);
int64_t kestrix_singlecolumn_select_int64(sqlite3* db, const char* query, int column, int64_t def);
int kestrix_singlecolumn_select_int(sqlite3* db, const char* query, int column, int def);

// Opens (read-write, create) `path`, applies `key` (NULL: none) and reads the
// first page: 26 (SQLITE_NOTADB) for a wrong key or a file that is not a
// database, else the open's code. The caller closes *db on failure.
int kestrix_open_key(const char* path, sqlite3** db, const char* key);
// The same with a key of explicit length (keys may hold any byte).
int kestrix_open_key_len(const char* path, sqlite3** db, const void* key, int keylen);

// A URI that opens `path` with `key` (as "hexkey"), for ATTACH of keyed files.
// It holds the key: never log it.
std::string kestrix_key_uri(const char* path, const char* key);

// Makes sure the database runs in WAL mode; 1 when it does. On failure the
// message is logged and, when `message` is given, stored there for the
// caller's session error (7015).
int kestrix_enable_wal(sqlite3* db, const char* name, std::string* message);

// The key stored for a database ("" when none).
std::string getkey_for_database_text(const char* name);

int check_db_validname(const char* name);
int check_db_available(const char* name, int operation);
void get_path_to_database(char* buffer, const char* name);
int getstopped_for_database(const char* name);
int getrestore_for_database(const char* name);
int is_valid_sqlite3_database_using_file(const char* path);
void cleanup_databases();

// SQL functions of client connections and of the settings database.
void kestrix_register_sql_functions(sqlite3* db);       // md5, base64, sha1
void kestrix_register_settings_functions(sqlite3* db);  // JSON_AUTH, SHA1
