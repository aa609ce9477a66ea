// select.cpp - stepping a query into cursor replies and sending them.
//
// A query is stepped until its rows fill CHUNK_SIZE bytes of data, until the
// session's time-out has passed, or after every row of a server-side cursor;
// the cursor then goes out as a partial reply (flag 0x20) and stays with the
// session (pending_op 2) for the next CHUNK request or SELECT. A result that
// ends within one call goes out whole. Once a partial reply has been sent the
// result always ends with an empty 777 reply, so the client reads exactly one
// reply per request.
//
// A reply is written straight from the cursor's two areas, without a copy,
// unless it is compressed or enciphered; those need one contiguous packet.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "net/cipher.h"
#include "net/client.h"
#include "net/random.h"
#include "net/wire.h"
#include "query/cursor.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/stats.h"

namespace {

const char* const NO_MEMORY = "Unable to allocate enough memory to handle query request.";
const char* const ZERO_COLUMNS = "Query returned zero columns.";
const char* const NO_VM = "Query compiler error.";
const char* const JSON_CURSORS =
    "Query results of JSON sessions are not supported in this version.";

bool stopping(client* c) {
    return !settings.running || c->is_disconnecting;
}

// Reserves the first areas of a new cursor, each capped by MAX_MEMALLOC.
bool cursor_allocate(cursor* cur, uint64_t data_cap, uint64_t sizes_cap) {
    const auto cap = static_cast<uint64_t>(std::max(settings.max_memalloc.load(), 0));
    try {
        cur->data.reserve(static_cast<size_t>(std::min(cap, data_cap)));
        cur->sizes.reserve(static_cast<size_t>(std::min(cap, sizes_cap)));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// Areas of a query cursor: room for one row of a server-side cursor, or for
// a chunk and a fifth (at least 100 KiB) otherwise.
bool select_allocate(cursor* cur) {
    const auto n = static_cast<uint64_t>(cur->ncols);
    if (cur->server_side) return cursor_allocate(cur, 2 * 1024 * n, 8 * n);
    const auto chunk = static_cast<uint64_t>(std::max(settings.chunk_size.load(), 0));
    const uint64_t room = std::max<uint64_t>(chunk + chunk / 5, 102400);
    return cursor_allocate(cur, 1024 * n + room, 2004 * n);
}

// Areas of a server command's table of about `expected_rows` rows (-1: unknown).
bool internal_allocate(cursor* cur, int expected_rows) {
    const auto n = static_cast<uint64_t>(cur->ncols);
    const uint64_t rows = expected_rows < 0 ? 0 : static_cast<uint64_t>(expected_rows) + 1;
    const uint64_t data = 512 * n + (expected_rows < 0 ? 25600 * n : 512 * n * rows);
    const uint64_t sizes = 4 * n + (expected_rows < 0 ? 2000 * n : 4 * n * rows);
    return cursor_allocate(cur, data, sizes);
}

// Drops the cursor (the session's pending one included) and replies with the
// session error unless nobody is listening any more. Answers 1 when replied.
int select_fail(client* c, cursor* cur) {
    if (c->cursor == cur) {
        c->cursor = nullptr;
        c->pending_op = PENDING_NONE;
    }
    cursor_free(cur);
    if (stopping(c)) return 0;
    client_senderror(c);
    return 1;
}

int select_fail(client* c, cursor* cur, int code, const char* message) {
    client_seterror(c, code, "%s", message);
    return select_fail(c, cur);
}

// The empty reply that ends a chunked result; `pending` is what the session
// does next (nothing, or a finished server-side cursor).
int select_end(client* c, cursor* cur, uint32_t pending = PENDING_NONE) {
    if (c->cursor == cur) c->cursor = nullptr;
    cursor_free(cur);
    c->pending_op = pending;
    return client_senddata(c, REPLY_END_CHUNK, nullptr, 0, 0);
}

// Sends the rows packed so far as a partial reply; the session keeps the cursor.
int select_send_chunk(client* c, cursor* cur) {
    c->pending_op = PENDING_CURSOR;
    cur->is_chunk = 1;
    c->cursor = cur;
    client_sendcursor(c, cur);
    return 1;
}

// Steps the cursor's statement until a reply is due and sends it.
int select_step(client* c, cursor* cur, bool is_new) {
    const double limit = c->timeout > 0 ? c->timeout : 10.0 * settings.max_timeout;
    const auto chunk_size = static_cast<size_t>(std::max(settings.chunk_size.load(), 0));
    Timer timer;
    tstart(&timer);
    for (;;) {
        if (stopping(c)) {
            if (c->cursor == cur) {
                c->cursor = nullptr;
                c->pending_op = PENDING_NONE;
            }
            cursor_free(cur);
            return 0;
        }
        const int rc = sqlite3_step(cur->stmt);
        if (rc == SQLITE_ROW) {
            if (!cursor_pack_row(cur)) return select_fail(c, cur, ERR_MEMORY, NO_MEMORY);
            tend(&timer);
            if (cur->server_side || cur->data.size() >= chunk_size || tval(&timer) >= limit)
                return select_send_chunk(c, cur);
            continue;
        }
        if (rc != SQLITE_DONE)
            return select_fail(c, cur, ERR_SQLITE, sqlite3_errmsg(sqlite3_db_handle(cur->stmt)));
        sqlite3_finalize(cur->stmt);
        cur->stmt = nullptr;
        cur->done = 1;
        if (cur->nrows == 0 && !is_new) {
            select_end(c, cur);
            return 1;
        }
        client_sendcursor(c, cur);
        return 1;
    }
}

// Compiles the request's query (or takes the prepared VM statement) into a
// new cursor and sends its first reply.
int select_start(client* c, int use_vm) {
    cursor* cur = cursor_new();
    if (!cur) return select_fail(c, nullptr, ERR_MEMORY, NO_MEMORY);
    cur->server_side = c->server_side ? 1 : 0;
    if (use_vm) {
        cur->stmt = c->vm;
        c->vm = nullptr;
        if (!cur->stmt) return select_fail(c, cur, ERR_GENERIC, NO_VM);
    } else if (!c->db || !c->sql) {
        return select_fail(c, cur, 7030, get_error_str(7030));
    } else {
        c->error_code = 0;
        cur->stmt = query_compile(c, c->db, c->sql, &cur->has_rowid);
        if (!cur->stmt && c->error_code != 0) return select_fail(c, cur);
    }
    cur->ncols = cur->stmt ? sqlite3_column_count(cur->stmt) : 0;
    if (cur->ncols == 0) return select_fail(c, cur, ERR_GENERIC, ZERO_COLUMNS);
    if (!select_allocate(cur) || !cursor_pack_metadata(cur, c->client_version == 4))
        return select_fail(c, cur, ERR_MEMORY, NO_MEMORY);
    return select_step(c, cur, true);
}

// One zlib stream over the size area (flushed) and the data area, written
// into `out` from `offset` on.
bool compress_buffers(const cursor* cur, std::vector<unsigned char>* out, size_t offset) {
    const size_t total = cur->sizes.size() + cur->data.size();
    z_stream zs{};
    if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    // The sync flush between the areas adds a few bytes beyond compressBound.
    const uLong bound = compressBound(static_cast<uLong>(total)) + 16;
    out->resize(offset + bound);
    zs.next_out = out->data() + offset;
    zs.avail_out = static_cast<uInt>(bound);
    zs.next_in = const_cast<Bytef*>(cur->sizes.data());
    zs.avail_in = static_cast<uInt>(cur->sizes.size());
    bool ok = deflate(&zs, Z_SYNC_FLUSH) == Z_OK;
    zs.next_in = const_cast<Bytef*>(cur->data.data());
    zs.avail_in = static_cast<uInt>(cur->data.size());
    ok = ok && deflate(&zs, Z_FINISH) == Z_STREAM_END;
    const size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (!ok) {
        out->clear();
        return false;
    }
    out->resize(offset + produced);
    return true;
}

uint8_t cursor_flags(const cursor* cur) {
    uint8_t flags = REPLY_FLAG_ALWAYS;
    if (cur->has_rowid) flags |= REPLY_FLAG_ROWID;
    if (cur->is_chunk) flags |= REPLY_FLAG_PARTIAL;
    if (cur->server_side) flags |= REPLY_FLAG_SERVER_SIDE;
    if (cur->has_tablenames) flags |= REPLY_FLAG_TABLE_NAMES;
    return flags;
}

// The reply's payload when it cannot be written from the areas directly:
// compressed and/or enciphered, behind the IV when enciphered.
struct CursorPacket {
    std::vector<unsigned char> bytes;
    bool used = false;
    bool compressed = false;
    bool encrypted = false;
};

bool build_packet(client* c, const cursor* cur, CursorPacket* p) {
    const size_t total = cur->sizes.size() + cur->data.size();
    p->encrypted = c->enc_type != 0 && c->session_key_len != 0 && total > 0;
    const size_t offset = p->encrypted ? WIRE_IV_SIZE : 0;
    if (c->request_flags & REQ_FLAG_COMPRESSED)
        p->compressed = compress_buffers(cur, &p->bytes, offset);
    if (!p->encrypted) {
        p->used = p->compressed;
        return true;
    }
    if (!p->compressed) {
        p->bytes.resize(offset);
        p->bytes.insert(p->bytes.end(), cur->sizes.begin(), cur->sizes.end());
        p->bytes.insert(p->bytes.end(), cur->data.begin(), cur->data.end());
    }
    p->used = true;
    rand_fill_16(p->bytes.data());
    return encrypt_buffer(c->session_key, c->session_key_len, p->bytes.data(),
                          p->bytes.size() - WIRE_IV_SIZE) == 1;
}

void cursor_header(client* c, const cursor* cur, const CursorPacket& p, size_t payload_len) {
    unsigned char* h = c->reply_header;
    memset(h, 0, HEADER_SIZE);
    memcpy(h, "SQLS", 4);
    wire_put_be32(h + 4, static_cast<uint32_t>(payload_len));
    wire_put_be16(h + 8, static_cast<uint16_t>(c->error_code));
    h[10] =
        static_cast<unsigned char>(cursor_flags(cur) | (p.compressed ? REPLY_FLAG_COMPRESSED : 0));
    h[11] = p.encrypted ? static_cast<unsigned char>(c->enc_type) : 0;
    if (p.compressed)
        wire_put_be32(h + 12, static_cast<uint32_t>(cur->sizes.size() + cur->data.size()));
    wire_put_be32(h + 16, cur->nrows);
    wire_put_be32(h + 20, static_cast<uint32_t>(cur->ncols));
}

void add_piece(client* c, const void* bytes, size_t len) {
    if (len == 0) return;
    c->iov[c->iov_count++] = {const_cast<void*>(bytes), len};
    c->to_write += len;
}

}  // namespace

int client_sendcursor(client* c, cursor* cur) {
    if (cur->server_side && cur->sizes.empty() && cur->data.empty())
        return select_end(c, cur, PENDING_CURSOR_DONE);
    client_reset_iov(c);
    c->error_code = 0;
    CursorPacket packet;
    if (!build_packet(c, cur, &packet)) {
        client_disconnect(c);
        return 0;
    }
    const size_t payload_len =
        packet.used ? packet.bytes.size() : cur->sizes.size() + cur->data.size();
    cursor_header(c, cur, packet, payload_len);
    add_piece(c, c->reply_header, HEADER_SIZE);
    if (packet.used) {
        c->reply_packet = std::move(packet.bytes);
        add_piece(c, c->reply_packet.data(), c->reply_packet.size());
    } else {
        add_piece(c, cur->sizes.data(), cur->sizes.size());
        add_piece(c, cur->data.data(), cur->data.size());
    }
    if (settings.log_verbosity != 0 || debugging()) log_write(c);
    const int written = socket_write(c);
    if (cur->is_chunk) {
        cursor_reset(cur);
    } else {
        if (c->cursor == cur) c->cursor = nullptr;
        cursor_free(cur);
    }
    return written;
}

int kestrix_select(client* c, int use_vm) {
    if (c->is_json) {
        client_sendreply(c, ERR_GENERIC, JSON_CURSORS);
        return 1;
    }
    c->busy = 1;
    int sent = 1;
    if (!c->cursor)
        sent = select_start(c, use_vm);
    else if (c->cursor->done)
        select_end(c, c->cursor);
    else
        sent = select_step(c, c->cursor, false);
    c->busy = 0;
    return sent;
}

void command_chunk_cursor(client* c) {
    if (!c->cursor) {
        c->pending_op = PENDING_NONE;  // nothing left to continue: no reply
        return;
    }
    c->cursor->server_side = (c->request_flags & REQ_FLAG_SERVER_SIDE) ? 1 : 0;
    kestrix_select(c, 0);
    client_update_time(c);
}

int kestrix_select_internal(client* c, sqlite3* db, const char* sql) {
    return kestrix_select_internal(c, db, sql, -1);
}

namespace {

// Steps a server command's query to its end; false with the session error set.
bool internal_fill(client* c, cursor* cur) {
    for (;;) {
        if (stopping(c)) {
            client_seterror(c, ERR_GENERIC, "The server is shutting down.");
            return false;
        }
        const int rc = sqlite3_step(cur->stmt);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            client_seterror(c, ERR_SQLITE, "%s", sqlite3_errmsg(sqlite3_db_handle(cur->stmt)));
            return false;
        }
        if (!cursor_pack_row(cur)) {
            client_seterror(c, ERR_MEMORY, "%s", NO_MEMORY);
            return false;
        }
    }
}

}  // namespace

int kestrix_select_internal(client* c, sqlite3* db, const char* sql, int expected_rows) {
    if (c->is_json) {
        client_seterror(c, ERR_GENERIC, "%s", JSON_CURSORS);
        return 0;
    }
    sqlite3_stmt* stmt = nullptr;
    if (!db || !sql || sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        client_seterror(c, ERR_SQLITE, "%s", db ? sqlite3_errmsg(db) : get_error_str(ERR_SQLITE));
        sqlite3_finalize(stmt);
        return 0;
    }
    if (!stmt || sqlite3_column_count(stmt) == 0) {
        sqlite3_finalize(stmt);
        client_seterror(c, ERR_GENERIC, "%s", ZERO_COLUMNS);
        return 0;
    }
    cursor* cur = cursor_new();
    if (!cur) {
        sqlite3_finalize(stmt);
        client_seterror(c, ERR_MEMORY, "%s", NO_MEMORY);
        return 0;
    }
    cur->stmt = stmt;
    cur->ncols = sqlite3_column_count(stmt);
    bool ok = internal_allocate(cur, expected_rows) && cursor_pack_metadata(cur, false);
    if (!ok) client_seterror(c, ERR_MEMORY, "%s", NO_MEMORY);
    if (!ok || !internal_fill(c, cur)) {
        cursor_free(cur);
        return 0;
    }
    sqlite3_finalize(cur->stmt);
    cur->stmt = nullptr;
    cur->done = 1;
    client_sendcursor(c, cur);
    return 1;
}
