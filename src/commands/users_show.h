// users_show.h - sending the rows of a bound query as a cursor, through a
// scratch table of the session's private in-memory database.
#pragma once

#include <sqlite3.h>

struct client;
class Stmt;

// Creates `table` in `scratch` with the columns (names and declared types)
// of `rows`, steps `rows` to the end and copies every row. 1 on success.
int copy_rows(sqlite3* scratch, const char* table, sqlite3_stmt* rows);

// Sends the rows of `rows` as a cursor (CMD_REPLIED), or sets the session
// error (CMD_FAILED).
int send_rows(client* c, Stmt& rows);
