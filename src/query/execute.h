// execute.h - running request texts: server command or SQL, implicit
// transactions under the database's write ticket, and the session's
// database connection.
#pragma once

#include <sqlite3.h>

struct client;

// Statement kinds, by the first word of the text.
enum StatementKind {
    STMT_OTHER = 0,
    STMT_INSERT = 1,
    STMT_SELECT = 2,
    STMT_PRAGMA = 3,
    STMT_EXPLAIN = 8,
    STMT_ALTER = 9,
    STMT_ANALYZE = 10,
    STMT_DELETE = 11,
    STMT_REPLACE = 13,
    STMT_REINDEX = 14,
    STMT_UPDATE = 15,
    STMT_WITH = 16,
};
int statement_kind(const char* text);

// Entry of SELECT (is_select 1), EXECUTE and VM-prepare (prepare_only 1) requests.
void command_select_execute(client* c, int is_select, int after_chunks, int prepare_only);
// Runs a writing statement and replies.
void command_execute(client* c, const char* text, int check_triggers, int step_vm,
                     int no_transaction);
// Runs a query and replies with a cursor.
void command_select(client* c, int use_vm);

void command_begintransaction(client* c);
void command_commit(client* c);
void command_rollback(client* c);

// Opens `path` as the session's database `name`: key, WAL mode, functions.
int client_open_database(client* c, const char* name, const char* path);
// Prepares a fresh session connection: busy time-out and SQL functions.
void kestrix_register_functions(sqlite3* db, client* c);
// The session's private in-memory database for command results, opened on first use.
sqlite3* client_scratch_db(client* c);
