// cursor.h - query results packed as cursors and sent whole or in chunks.
//
// A cursor is two growing areas: `sizes`, big-endian 32-bit numbers (one
// column type per column in the first reply, then one value size per column
// and row, -1 for NULL), and `data` (NUL-terminated column names, for
// protocol "2011" clients also table names, then the value bytes without
// terminators). A reply carries `sizes` followed by `data`.
//
// A cursor belongs to the function that builds it until a partial reply goes
// out; from then on the session owns it (`client::cursor`, pending_op 2) and
// CHUNK requests, or a second SELECT, continue it until the 777 reply. Its
// areas are emptied after every reply, so `data` never holds much more than
// one chunk. Closing the session's database frees a pending cursor.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct client;

struct cursor {
    sqlite3_stmt* stmt = nullptr;  // NULL once finished
    int32_t done = 0;              // the statement returned its last row
    uint32_t is_chunk = 0;         // a partial reply of this cursor has gone out
    int32_t ncols = 0;
    uint32_t server_side = 0;          // one row per reply
    uint32_t has_rowid = 0;            // column 0 is the hidden rowid
    int32_t has_tablenames = 0;        // the packed metadata carries table names
    uint32_t nrows = 0;                // rows packed since the last reply
    std::vector<unsigned char> data;   // size = data_used, capacity = data_cap
    std::vector<unsigned char> sizes;  // size = sizes_used, capacity = sizes_cap
};

// Column type codes of the cursor metadata.
enum : int32_t {
    COLTYPE_NONE = 0,
    COLTYPE_INTEGER = 1,
    COLTYPE_FLOAT = 2,
    COLTYPE_TEXT = 3,
    COLTYPE_BLOB = 4,
    COLTYPE_BOOLEAN = 5,
    COLTYPE_DATE = 6,
    COLTYPE_TIME = 7,
    COLTYPE_TIMESTAMP = 8,
    COLTYPE_CURRENCY = 9,
};

// Runs `sql` (or, with use_vm 1, the session's prepared `vm`) on `db` and
// sends the first reply; while a cursor is pending it sends that cursor's next
// reply instead. Failures are replied with the session error, as the caller
// expects a reply in every case. Answers 1 when a reply went out, 0 when none
// did (server stopping, session disconnecting).
int kestrix_select(client* c, int use_vm);

// Runs `sql` unchanged on any connection and sends the whole result as one
// cursor. Answers 1 when the cursor was sent; 0 on failure with the session
// error set and nothing sent, so that the caller replies with it.
int kestrix_select_internal(client* c, sqlite3* db, const char* sql);
// The same with a size hint: the expected number of rows, -1 when unknown.
int kestrix_select_internal(client* c, sqlite3* db, const char* sql, int expected_rows);

// A CHUNK request while a cursor is pending: the request's server-side flag
// applies to the rest of the result, then the next reply goes out.
void command_chunk_cursor(client* c);

// Compilation. query_addrowid answers the text with "rowid," inserted after
// SELECT (or SELECT ALL), or an empty string when the rewrite does not apply.
std::string query_addrowid(const char* sql);
sqlite3_stmt* query_compile(client* c, sqlite3* db, const char* sql, uint32_t* has_rowid);
int32_t query_columntype(const char* decltype_text);

// Cursor records and their areas.
cursor* cursor_new();
void cursor_free(cursor* cur);
void cursor_reset(cursor* cur);
// Makes room for `item_len` more bytes; false (area released) when memory fails.
bool buffer_realloc(std::vector<unsigned char>& area, size_t item_len);
// Packing the statement's column types and names (and table names), and its
// current row; false when memory fails.
bool cursor_pack_metadata(cursor* cur, bool table_names);
bool cursor_pack_row(cursor* cur);

// Builds and sends one cursor reply; afterwards a chunk is emptied and stays
// with the session, a complete cursor is freed. Answers the write's result.
int client_sendcursor(client* c, cursor* cur);
