// cursor.cpp - cursor records, their two areas, and compiling a query.
//
// The areas grow by at least doubling (2 x capacity + 10240 bytes), so
// packing a row is amortised constant time; an area whose growth fails is
// released and the query answered 7003. Compilation first tries the query
// with a hidden rowid column in front; a rewrite that does not compile (a
// view with GROUP BY, a join with two rowids) falls back to the text as sent.
#include <cstring>
#include <new>
#include <string>

#include "net/client.h"
#include "query/cursor.h"
#include "server/settings.h"
#include "server/stats.h"
#include "server/util.h"

namespace {

constexpr size_t AREA_SLACK = 10240;
// VM steps between two looks at the clock while a query compiles.
constexpr int PROGRESS_STEPS = 10000;

const char* const COMPILE_TIMEOUT =
    "Query timeout out during compilation. Please increase client timeout value.";

bool is_blank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

const char* skip_blanks(const char* p) {
    while (*p && is_blank(*p)) ++p;
    return p;
}

void put_be32(std::vector<unsigned char>& area, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
        static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    area.insert(area.end(), bytes, bytes + 4);
}

// Appends `len` bytes (and a NUL when `terminate`); false when memory fails.
bool append_bytes(std::vector<unsigned char>& area, const void* bytes, size_t len, bool terminate) {
    if (!buffer_realloc(area, len + (terminate ? 1 : 0))) return false;
    const auto* p = static_cast<const unsigned char*>(bytes);
    if (len > 0) area.insert(area.end(), p, p + len);
    if (terminate) area.push_back(0);
    return true;
}

bool append_text(std::vector<unsigned char>& area, const char* text) {
    if (!text) text = "";
    return append_bytes(area, text, strlen(text), true);
}

// The clock of one compilation, handed to the progress handler.
struct QueryClock {
    client* c = nullptr;
    Timer timer;
    int timed_out = 0;
};

// SQLite progress callback: 1 interrupts the statement.
int query_checktime(void* arg) {
    auto* clock = static_cast<QueryClock*>(arg);
    if (!settings.running || clock->c->is_disconnecting) return 1;
    tend(&clock->timer);
    if (tval(&clock->timer) < clock->c->timeout - 0.5) return 0;
    clock->timed_out = 1;
    return 1;
}

// Compiles `sql`; a statement only when it compiled to one.
sqlite3_stmt* compile_text(sqlite3* db, const char* sql, int* rc) {
    sqlite3_stmt* stmt = nullptr;
    *rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

bool rowid_allowed(const char* sql) {
    return settings.automatic_rowid != 0 && !kestrix_strcasestr(sql, "sqlite_master") &&
           !kestrix_strcasestr(sql, "pragma");
}

}  // namespace

cursor* cursor_new() {
    return new (std::nothrow) cursor;
}

void cursor_free(cursor* cur) {
    if (!cur) return;
    sqlite3_finalize(cur->stmt);
    delete cur;
}

void cursor_reset(cursor* cur) {
    cur->data.clear();
    cur->sizes.clear();
    cur->has_tablenames = 0;
    cur->nrows = 0;
}

bool buffer_realloc(std::vector<unsigned char>& area, size_t item_len) {
    const size_t end = area.size() + item_len;
    if (end <= area.capacity()) return true;
    size_t capacity = 2 * area.capacity() + AREA_SLACK;
    if (end > capacity) capacity = end + 2 * area.capacity() + AREA_SLACK;
    try {
        area.reserve(capacity);
    } catch (const std::exception&) {
        std::vector<unsigned char>().swap(area);
        return false;
    }
    return true;
}

int32_t query_columntype(const char* decltype_text) {
    static const struct {
        const char* name;
        int32_t code;
    } TYPES[] = {
        {"integer", COLTYPE_INTEGER},   {"smallint", COLTYPE_INTEGER},
        {"float", COLTYPE_FLOAT},       {"double", COLTYPE_FLOAT},
        {"varchar", COLTYPE_TEXT},      {"text", COLTYPE_TEXT},
        {"binary", COLTYPE_BLOB},       {"blob", COLTYPE_BLOB},
        {"boolean", COLTYPE_BOOLEAN},   {"date", COLTYPE_DATE},
        {"time", COLTYPE_TIME},         {"timestamp", COLTYPE_TIMESTAMP},
        {"currency", COLTYPE_CURRENCY},
    };
    if (!decltype_text || !*decltype_text) return COLTYPE_NONE;
    for (const auto& t : TYPES)
        if (kestrix_strcmpi(decltype_text, t.name) == 0) return t.code;
    return COLTYPE_TEXT;
}

std::string query_addrowid(const char* sql) {
    const char* p = skip_blanks(sql);
    if (kestrix_strncmpi(p, "SELECT ", 7) != 0) return std::string();
    p = skip_blanks(p + 7);
    if (kestrix_strncmpi(p, "DISTINCT ", 9) == 0) return std::string();
    if (kestrix_strncmpi(p, "ALL ", 4) == 0) p = skip_blanks(p + 4);
    const size_t at = static_cast<size_t>(p - sql);
    std::string out;
    out.reserve(strlen(sql) + 128);
    out.append(sql, at).append("rowid,").append(p);
    return out;
}

sqlite3_stmt* query_compile(client* c, sqlite3* db, const char* sql, uint32_t* has_rowid) {
    *has_rowid = 0;
    QueryClock clock;
    clock.c = c;
    tstart(&clock.timer);
    const bool watch = c->timeout != 0;
    if (watch) sqlite3_progress_handler(db, PROGRESS_STEPS, query_checktime, &clock);
    sqlite3_stmt* stmt = nullptr;
    int rc = SQLITE_OK;
    const std::string rewritten = rowid_allowed(sql) ? query_addrowid(sql) : std::string();
    if (!rewritten.empty()) {
        stmt = compile_text(db, rewritten.c_str(), &rc);
        if (stmt) *has_rowid = 1;
    }
    if (!stmt && !clock.timed_out) stmt = compile_text(db, sql, &rc);
    if (watch) sqlite3_progress_handler(db, 0, nullptr, nullptr);
    if (clock.timed_out) {
        sqlite3_finalize(stmt);
        *has_rowid = 0;
        client_seterror(c, ERR_TIMEOUT, "%s", COMPILE_TIMEOUT);
        return nullptr;
    }
    if (rc != SQLITE_OK) client_seterror(c, ERR_SQLITE, "%s", sqlite3_errmsg(db));
    return stmt;
}

bool cursor_pack_metadata(cursor* cur, bool table_names) {
    sqlite3_stmt* stmt = cur->stmt;
    if (!buffer_realloc(cur->sizes, 4 * static_cast<size_t>(cur->ncols))) return false;
    for (int i = 0; i < cur->ncols; ++i)
        put_be32(cur->sizes, query_columntype(sqlite3_column_decltype(stmt, i)));
    for (int i = 0; i < cur->ncols; ++i)
        if (!append_text(cur->data, sqlite3_column_name(stmt, i))) return false;
    if (!table_names) return true;
    for (int i = 0; i < cur->ncols; ++i)
        if (!append_text(cur->data, sqlite3_column_table_name(stmt, i))) return false;
    cur->has_tablenames = 1;
    return true;
}

bool cursor_pack_row(cursor* cur) {
    sqlite3_stmt* stmt = cur->stmt;
    if (!buffer_realloc(cur->sizes, 4 * static_cast<size_t>(cur->ncols))) return false;
    for (int i = 0; i < cur->ncols; ++i) {
        const int type = sqlite3_column_type(stmt, i);
        if (type == SQLITE_NULL) {
            put_be32(cur->sizes, -1);
            continue;
        }
        // Text first, then its length: the conversion may change the length.
        const void* bytes = type == SQLITE_BLOB
                                ? sqlite3_column_blob(stmt, i)
                                : static_cast<const void*>(sqlite3_column_text(stmt, i));
        const int len = sqlite3_column_bytes(stmt, i);
        put_be32(cur->sizes, len);
        if (!append_bytes(cur->data, bytes, static_cast<size_t>(len), false)) return false;
    }
    ++cur->nrows;
    return true;
}
