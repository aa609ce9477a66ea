// authorizer.h - the privilege check of SQL statements and the SQLite
// authorizer that applies it to everything a session compiles.
#pragma once

struct client;

// Authorizer answers (the values of SQLITE_OK and SQLITE_DENY).
enum { AUTH_ALLOWED = 0, AUTH_DENIED = 1 };

// Whether the session may exercise privilege `code` on `table` (NULL or
// empty: "*") of its current database ("*" when none): AUTH_ALLOWED or
// AUTH_DENIED. Answers come from a 50-entry cache when the same check ran
// since the rights were last loaded.
int check_sql_authorization(client* c, int code, const char* table);

// The callback installed with sqlite3_set_authorizer on session connections;
// `user` is the session. Never answers SQLITE_IGNORE.
int kestrix_authorizer(void* user, int action, const char* arg1, const char* arg2,
                       const char* database, const char* trigger);

// Raises the privilege generation, so every session reloads its rights at its
// next check. Called after every change of users, groups or grants.
void privileges_changed();
