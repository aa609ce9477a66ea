// Result cursors over a socket pair: the session's end runs the cursor code
// in-process (on a thread, as a reply may exceed the socket buffer), the test
// reads the replies with the client library and, where the layout is fixed,
// byte for byte. Continuations go through real CHUNK requests read and
// dispatched by the session.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/dbhelpers.h"
#include "kestrix_client.h"
#include "net/cipher.h"
#include "net/client.h"
#include "net/wire.h"
#include "query/cursor.h"
#include "server/settings.h"

namespace {

using kestrix::Cursor;
using kestrix::Reply;

std::string bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

class CursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_verbosity_ = settings.log_verbosity;
        saved_chunk_ = settings.chunk_size;
        saved_rowid_ = settings.automatic_rowid;
        saved_max_timeout_ = settings.max_timeout;
        settings.log_verbosity = 0;
        ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
        ASSERT_EQ(kestrix_exec(db_,
                               "CREATE TABLE t (a INTEGER);"
                               "INSERT INTO t VALUES (7), (NULL);"
                               "CREATE TABLE u (x);"
                               "INSERT INTO u VALUES (1);"),
                  SQLITE_OK);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        c_ = client_init();
        ASSERT_NE(c_, nullptr);
        c_->fd = sv[0];
        c_->protocol_known = 1;
        c_->login_state = LOGIN_DONE;
        c_->db = db_;
        conn_.emplace(kestrix::Connection::adopt(kestrix::Socket(sv[1])));
    }
    void TearDown() override {
        cursor_free(c_->cursor);
        sqlite3_finalize(c_->vm);
        close(c_->fd);
        delete c_;
        sqlite3_close(db_);
        settings.log_verbosity = saved_verbosity_;
        settings.chunk_size = saved_chunk_;
        settings.automatic_rowid = saved_rowid_;
        settings.max_timeout = saved_max_timeout_;
    }

    // Runs `server` on the session's side while the test reads one reply.
    Reply serve(const std::function<void()>& server) {
        std::thread t(server);
        Reply r = conn_->receive();
        t.join();
        return r;
    }

    // A SELECT request as command_select hands it over.
    Reply select(const std::string& sql, uint8_t flags = 0, uint32_t version = 4) {
        sql_ = sql;
        c_->sql = sql_.c_str();
        c_->request_flags = flags;
        c_->server_side = (flags & REQ_FLAG_SERVER_SIDE) ? 1 : 0;
        c_->client_version = version;
        return serve([this] { kestrix_select(c_, 0); });
    }

    void send_chunk(uint8_t flags) {
        kestrix::Request r;
        r.command = kestrix::cmd::kChunk;
        r.selector = kestrix::kChunkOrdinary;
        r.flags = flags;
        conn_->send(r);
    }

    // A CHUNK request read and dispatched by the session.
    Reply chunk(uint8_t flags = 0) {
        send_chunk(flags);
        return serve([this] { socket_read(c_); });
    }

    // A CHUNK request that must stay unanswered.
    bool chunk_unanswered(uint8_t flags = 0) {
        send_chunk(flags);
        socket_read(c_);
        return !conn_->readable(0);
    }

    // Decodes a whole result: `first`, then CHUNK requests up to the 777 reply.
    Cursor read_result(Reply first, uint8_t flags, std::vector<Reply>* replies = nullptr) {
        Cursor cur;
        EXPECT_EQ(first.header.code, 0) << first.message();
        kestrix::decode_cursor_part(first.payload, first.header.rows, first.header.columns,
                                    first.header.flags, true, cur);
        if (replies) replies->push_back(first);
        Reply r = first;
        while (r.header.flags & REPLY_FLAG_PARTIAL) {
            r = chunk(flags);
            if (replies) replies->push_back(r);
            if (r.header.code == REPLY_END_CHUNK) break;
            EXPECT_EQ(r.header.code, 0) << r.message();
            kestrix::decode_cursor_part(r.payload, r.header.rows, r.header.columns, r.header.flags,
                                        false, cur);
        }
        return cur;
    }

    void fill_big_table(int rows, int width) {
        ASSERT_EQ(kestrix_exec(db_, "CREATE TABLE big (v TEXT);"), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO big VALUES (?1);", -1, &st, nullptr);
        for (int i = 0; i < rows; ++i) {
            std::string v(static_cast<size_t>(width), static_cast<char>('a' + i % 26));
            sqlite3_bind_text(st, 1, v.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
    }

    sqlite3* db_ = nullptr;
    client* c_ = nullptr;
    std::optional<kestrix::Connection> conn_;
    std::string sql_;
    int32_t saved_verbosity_ = 0, saved_chunk_ = 0, saved_rowid_ = 0, saved_max_timeout_ = 0;
};

TEST(CursorUnitTest, RowidRewrite) {
    const struct {
        const char* in;
        const char* out;  // "" when the rewrite does not apply
    } cases[] = {
        {"SELECT a,b FROM t", "SELECT rowid,a,b FROM t"},
        {"SELECT ALL a FROM t", "SELECT ALL rowid,a FROM t"},
        {"  select   a FROM t", "  select   rowid,a FROM t"},
        {"\n\tSELECT all   a FROM t", "\n\tSELECT all   rowid,a FROM t"},
        {"SELECT DISTINCT a FROM t", ""},
        {"select distinct a FROM t", ""},
        {"SELECT\ta FROM t", ""},  // SELECT must be followed by a space
        {"SELECTa FROM t", ""},
        {"WITH x AS (SELECT 1) SELECT * FROM x", ""},
        {"", ""},
    };
    for (const auto& tc : cases) EXPECT_EQ(query_addrowid(tc.in), tc.out) << tc.in;
}

TEST(CursorUnitTest, ColumnTypesCompareTheWholeDeclaredType) {
    const struct {
        const char* decl;
        int32_t code;
    } cases[] = {
        {nullptr, 0},     {"", 0},         {"INTEGER", 1},  {"smallint", 1}, {"Float", 2},
        {"DOUBLE", 2},    {"varchar", 3},  {"TEXT", 3},     {"INT", 3},      {"VARCHAR(20)", 3},
        {"binary", 4},    {"BLOB", 4},     {"boolean", 5},  {"DATE", 6},     {"time", 7},
        {"TimeStamp", 8}, {"currency", 9}, {"integers", 3},
    };
    for (const auto& tc : cases)
        EXPECT_EQ(query_columntype(tc.decl), tc.code) << (tc.decl ? tc.decl : "(null)");
}

TEST(CursorUnitTest, AreasGrowByAtLeastDoubling) {
    std::vector<unsigned char> area;
    ASSERT_TRUE(buffer_realloc(area, 10));
    EXPECT_EQ(area.capacity(), 10240u);  // 2 x 0 + 10240
    area.resize(10240);
    ASSERT_TRUE(buffer_realloc(area, 1));
    EXPECT_EQ(area.capacity(), 2 * 10240u + 10240u);
    area.resize(area.capacity());
    const size_t before = area.capacity();
    ASSERT_TRUE(buffer_realloc(area, 200000));  // the item alone exceeds doubling
    EXPECT_EQ(area.capacity(), before + 200000 + 2 * before + 10240);
}

// The 15-byte example: no rowid (DISTINCT), the value 7 and NULL.
TEST_F(CursorTest, ExampleCursorByteForByte) {
    const std::string sizes = bytes({0, 0, 0, 1, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF});
    const struct {
        uint32_t version;
        uint8_t flags;
        std::string payload;
    } cases[] = {
        {3, 0x01, sizes + bytes({'a', 0, '7'})},
        {4, 0x81, sizes + bytes({'a', 0, 't', 0, '7'})},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.version);
        sql_ = "SELECT DISTINCT a FROM t;";
        c_->sql = sql_.c_str();
        c_->client_version = tc.version;
        std::thread t([this] { kestrix_select(c_, 0); });
        std::string raw(32 + tc.payload.size(), '\0');
        conn_->socket().read_exact(raw.data(), raw.size());
        t.join();
        std::string header =
            bytes({'S', 'Q', 'L',      'S', 0, 0, 0, static_cast<unsigned char>(tc.payload.size()),
                   0,   0,   tc.flags, 0,   0, 0, 0, 0,
                   0,   0,   0,        2,   0, 0, 0, 1});
        header.resize(32, '\0');
        EXPECT_EQ(raw, header + tc.payload);
        EXPECT_FALSE(conn_->readable(0)) << "one reply only";
        EXPECT_EQ(c_->cursor, nullptr);
    }
}

TEST_F(CursorTest, HiddenRowidColumn) {
    ASSERT_EQ(kestrix_exec(db_, "CREATE VIEW w AS SELECT a FROM t;"), SQLITE_OK);
    const struct {
        const char* sql;
        bool automatic;
        bool rowid;
        std::vector<std::string> names;
    } cases[] = {
        {"select a from t;", true, true, {"rowid", "a"}},
        {"SELECT ALL a FROM t;", true, true, {"rowid", "a"}},
        {"  SELECT a FROM w;", true, true, {"rowid", "a"}},
        {"SELECT DISTINCT a FROM t;", true, false, {"a"}},
        {"SELECT 1 AS one;", true, false, {"one"}},           // the rewrite does not compile
        {"SELECT a, x FROM t, u;", true, false, {"a", "x"}},  // two rowids: ambiguous
        {"SELECT name FROM sqlite_master;", true, false, {"name"}},
        {"SELECT * FROM pragma_table_info('t');",
         true,
         false,
         {"cid", "name", "type", "notnull", "dflt_value", "pk"}},
        {"select a from t;", false, false, {"a"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.sql);
        settings.automatic_rowid = tc.automatic ? 1 : 0;
        Reply r = select(tc.sql);
        Cursor cur = read_result(r, 0);
        EXPECT_EQ((r.header.flags & REPLY_FLAG_ROWID) != 0, tc.rowid);
        std::vector<std::string> names;
        for (const auto& col : cur.columns) names.push_back(col.name);
        EXPECT_EQ(names, tc.names);
    }
}

TEST_F(CursorTest, ValuesTypesAndTableNames) {
    ASSERT_EQ(kestrix_exec(db_,
                           "CREATE TABLE v (i INTEGER, f DOUBLE, s VARCHAR, b BLOB, d DATE, "
                           "n CURRENCY);"
                           "INSERT INTO v VALUES (-12, 2.5, '', x'', '2024-01-02', NULL);"
                           "INSERT INTO v VALUES (NULL, NULL, 'h\xC3\xA9', x'00FF00', NULL, 3);"),
              SQLITE_OK);
    Reply r = select("SELECT DISTINCT i, f, s, b, d, n, i + 1 AS e FROM v;");
    Cursor cur = read_result(r, 0);
    ASSERT_EQ(cur.columns.size(), 7u);
    const int32_t types[] = {1, 2, 3, 4, 6, 9, 0};
    const char* tables[] = {"v", "v", "v", "v", "v", "v", ""};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(cur.columns[i].type, types[i]) << i;
        EXPECT_EQ(cur.columns[i].table, tables[i]) << i;
    }
    using V = kestrix::Value;
    const std::vector<kestrix::Row> expected = {
        {V("-12"), V("2.5"), V(""), V(""), V("2024-01-02"), std::nullopt, V("-11")},
        {std::nullopt, std::nullopt, V("h\xC3\xA9"), V(std::string("\0\xFF\0", 3)), std::nullopt,
         V("3"), std::nullopt},
    };
    EXPECT_EQ(cur.rows, expected);
    // The sizes of row 1 on the wire: an empty text and an empty blob are 0, NULL is -1.
    const std::string& p = r.payload;
    const size_t row1 = 4 * 7;
    const std::string expected_sizes =
        bytes({0, 0, 0, 3, 0, 0,  0,    3,    0,    0,    0, 0, 0, 0,
               0, 0, 0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 3});
    EXPECT_EQ(p.substr(row1, 28), expected_sizes);
}

TEST_F(CursorTest, NoRowsGivesTheMetadataOnly) {
    Reply r = select("SELECT a FROM t WHERE a > 100;");
    EXPECT_EQ(r.header.code, 0);
    EXPECT_EQ(r.header.rows, 0u);
    EXPECT_EQ(r.header.columns, 2u);
    EXPECT_EQ(r.header.flags, REPLY_FLAG_ALWAYS | REPLY_FLAG_ROWID | REPLY_FLAG_TABLE_NAMES);
    // Two types, then "rowid", "a", "t", "t" with their NULs.
    EXPECT_EQ(r.payload, bytes({0, 0, 0, 1, 0, 0, 0, 1}) + std::string("rowid\0a\0t\0t\0", 12));
    EXPECT_FALSE(conn_->readable(0));
    EXPECT_EQ(c_->pending_op, PENDING_NONE);
}

// About 1 MB of rows with CHUNK_SIZE 307200: four partial replies, then 777.
TEST_F(CursorTest, MegabyteResultInFourChunks) {
    settings.chunk_size = 307200;
    fill_big_table(1000, 1000);
    std::vector<Reply> replies;
    Cursor cur = read_result(select("SELECT v FROM big;"), 0, &replies);
    ASSERT_EQ(replies.size(), 5u);
    uint32_t rows = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(replies[i].header.flags & REPLY_FLAG_PARTIAL) << i;
        EXPECT_TRUE(replies[i].header.flags & REPLY_FLAG_ROWID) << i;
        EXPECT_EQ((replies[i].header.flags & REPLY_FLAG_TABLE_NAMES) != 0, i == 0) << i;
        rows += replies[i].header.rows;
    }
    EXPECT_EQ(rows, 1000u);
    EXPECT_EQ(replies[4].header.code, REPLY_END_CHUNK);
    EXPECT_EQ(replies[4].header.payload_length, 0u);
    ASSERT_EQ(cur.rows.size(), 1000u);
    for (int i : {0, 333, 999}) {
        EXPECT_EQ(cur.rows[i][0], std::to_string(i + 1));
        EXPECT_EQ(cur.rows[i][1], std::string(1000, static_cast<char>('a' + i % 26)));
    }
    EXPECT_EQ(c_->pending_op, PENDING_NONE);
    EXPECT_EQ(c_->cursor, nullptr);
    // Nothing pending any more: a further CHUNK gets no reply.
    EXPECT_TRUE(chunk_unanswered());
}

TEST_F(CursorTest, SecondSelectDuringAChunkedResultGetsTheNextChunk) {
    settings.chunk_size = 1000;
    fill_big_table(10, 400);
    Reply first = select("SELECT v FROM big;");
    ASSERT_TRUE(first.header.flags & REPLY_FLAG_PARTIAL);
    EXPECT_EQ(c_->pending_op, PENDING_CURSOR);
    Cursor cur;
    kestrix::decode_cursor_part(first.payload, first.header.rows, first.header.columns,
                                first.header.flags, true, cur);
    Reply second = select("SELECT a FROM t;");  // continues the pending result
    EXPECT_EQ(second.header.code, 0);
    EXPECT_EQ(second.header.columns, 2u);
    EXPECT_TRUE(second.header.flags & REPLY_FLAG_PARTIAL);
    kestrix::decode_cursor_part(second.payload, second.header.rows, second.header.columns,
                                second.header.flags, false, cur);
    ASSERT_EQ(cur.rows.size(), first.header.rows + second.header.rows);
    EXPECT_EQ(cur.rows.back()[0], std::to_string(cur.rows.size()));
    // The rest through CHUNK requests up to the 777 reply.
    Reply r = second;
    while (r.header.code == 0) {
        r = chunk();
        if (r.header.code == 0)
            kestrix::decode_cursor_part(r.payload, r.header.rows, r.header.columns, r.header.flags,
                                        false, cur);
    }
    EXPECT_EQ(r.header.code, REPLY_END_CHUNK);
    EXPECT_EQ(cur.rows.size(), 10u);
}

TEST_F(CursorTest, ServerSideCursorSendsOneRowPerReply) {
    ASSERT_EQ(kestrix_exec(db_, "INSERT INTO t VALUES (8);"), SQLITE_OK);
    std::vector<Reply> replies;
    Cursor cur = read_result(select("SELECT a FROM t;", REQ_FLAG_SERVER_SIDE), REQ_FLAG_SERVER_SIDE,
                             &replies);
    ASSERT_EQ(replies.size(), 4u);
    const uint8_t side =
        REPLY_FLAG_ALWAYS | REPLY_FLAG_ROWID | REPLY_FLAG_PARTIAL | REPLY_FLAG_SERVER_SIDE;
    EXPECT_EQ(replies[0].header.flags, side | REPLY_FLAG_TABLE_NAMES);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(replies[i].header.rows, 1u) << i;
    EXPECT_EQ(replies[1].header.flags, side);
    EXPECT_EQ(replies[2].header.flags, side);
    EXPECT_EQ(replies[3].header.code, REPLY_END_CHUNK);
    ASSERT_EQ(cur.rows.size(), 3u);
    EXPECT_EQ(cur.rows[0][1], "7");
    EXPECT_FALSE(cur.rows[1][1].has_value());
    EXPECT_EQ(cur.rows[2][1], "8");
    EXPECT_TRUE(cur.server_side);
    EXPECT_EQ(c_->pending_op, PENDING_NONE);
}

// With no time-out at all (session and MAX_TIMEOUT 0) the time limit of a
// chunk has always passed: every row goes out as a partial reply.
TEST_F(CursorTest, ChunkTimeLimitSendsPartialReplies) {
    settings.max_timeout = 0;
    c_->timeout = 0;
    ASSERT_EQ(kestrix_exec(db_, "INSERT INTO t VALUES (8);"), SQLITE_OK);
    std::vector<Reply> replies;
    Cursor cur = read_result(select("SELECT a FROM t;"), 0, &replies);
    ASSERT_EQ(replies.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(replies[i].header.rows, 1u) << i;
        EXPECT_EQ(replies[i].header.flags & (REPLY_FLAG_PARTIAL | REPLY_FLAG_SERVER_SIDE),
                  REPLY_FLAG_PARTIAL)
            << i;
    }
    EXPECT_EQ(replies[3].header.code, REPLY_END_CHUNK);
    EXPECT_EQ(cur.rows.size(), 3u);
}

// CHUNK requests without the server-side flag take the rest in one reply.
TEST_F(CursorTest, ChunkRequestRefreshesTheServerSideFlag) {
    ASSERT_EQ(kestrix_exec(db_, "INSERT INTO t VALUES (8), (9);"), SQLITE_OK);
    Reply first = select("SELECT a FROM t;", REQ_FLAG_SERVER_SIDE);
    EXPECT_EQ(first.header.rows, 1u);
    Reply rest = chunk(0);
    EXPECT_EQ(rest.header.rows, 3u);
    EXPECT_EQ(rest.header.flags & REPLY_FLAG_SERVER_SIDE, 0);
    EXPECT_EQ(chunk(0).header.code, REPLY_END_CHUNK);
}

TEST_F(CursorTest, CompressedRepliesWhenTheRequestAsks) {
    settings.chunk_size = 4000;
    fill_big_table(20, 500);
    for (const char* sql : {"SELECT DISTINCT a FROM t;", "SELECT v FROM big;"}) {
        SCOPED_TRACE(sql);
        std::vector<Reply> plain, packed;
        Cursor a = read_result(select(sql), 0, &plain);
        Cursor b = read_result(select(sql, REQ_FLAG_COMPRESSED), REQ_FLAG_COMPRESSED, &packed);
        EXPECT_EQ(a.rows, b.rows);
        ASSERT_EQ(plain.size(), packed.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            if (plain[i].header.code == REPLY_END_CHUNK) continue;
            EXPECT_TRUE(packed[i].header.flags & REPLY_FLAG_COMPRESSED) << i;
            EXPECT_EQ(packed[i].header.flags & ~REPLY_FLAG_COMPRESSED, plain[i].header.flags);
            EXPECT_EQ(packed[i].header.uncompressed_size, plain[i].payload.size()) << i;
            // The client inflated the payload: the same bytes as the plain reply.
            EXPECT_EQ(packed[i].payload, plain[i].payload) << i;
        }
    }
    // A compressible result travels in fewer bytes.
    Reply r = select("SELECT v FROM big LIMIT 5;", REQ_FLAG_COMPRESSED);
    EXPECT_LT(r.header.payload_length, r.header.uncompressed_size / 4);
}

TEST_F(CursorTest, EncipheredReplyCarriesTheIvAndTheCursor) {
    Reply clear = select("SELECT DISTINCT a FROM t;");
    unsigned char key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
    memcpy(c_->session_key, key, sizeof(key));
    c_->session_key_len = sizeof(key);
    c_->enc_type = 4;
    sql_ = "SELECT DISTINCT a FROM t;";
    c_->sql = sql_.c_str();
    std::thread t([this] { kestrix_select(c_, 0); });
    std::string raw(32 + 16 + clear.payload.size(), '\0');
    conn_->socket().read_exact(raw.data(), raw.size());
    t.join();
    EXPECT_EQ(wire_be32(reinterpret_cast<unsigned char*>(raw.data()) + 4),
              16 + clear.payload.size());
    EXPECT_EQ(static_cast<unsigned char>(raw[11]), 4);
    std::vector<unsigned char> packet(raw.begin() + 32, raw.end());
    ASSERT_EQ(decrypt_buffer(key, sizeof(key), packet.data(), packet.size() - 16), 1);
    EXPECT_EQ(std::string(packet.begin(), packet.begin() + clear.payload.size()), clear.payload);
}

TEST_F(CursorTest, FailuresAreRepliedWithTheSessionError) {
    const struct {
        const char* sql;
        int code;
        const char* message;
    } cases[] = {
        {"SELECT a FROM nope;", 7009, "no such table: nope"},
        {"SELEC a FROM t;", 7009, "near \"SELEC\": syntax error"},
        {"CREATE TABLE z (a);", 7015, "Query returned zero columns."},
        {"-- nothing\n;", 7015, "Query returned zero columns."},
        {"SELECT 1 UNION ALL SELECT json('x');", 7009, "malformed JSON"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.sql);
        Reply r = select(tc.sql);
        EXPECT_EQ(r.header.code, tc.code);
        EXPECT_EQ(r.message(), tc.message);
        EXPECT_EQ(c_->cursor, nullptr);
    }
    EXPECT_EQ(kestrix_exec(db_, "SELECT count(*) FROM z;"), SQLITE_ERROR) << "not executed";
    Reply vm = serve([this] { kestrix_select(c_, 1); });
    EXPECT_EQ(vm.header.code, 7015);
    EXPECT_EQ(vm.message(), "Query compiler error.");
    c_->is_json = 1;
    EXPECT_EQ(select("SELECT a FROM t;").header.code, 7015);
}

// A stopping server or a session being disconnected gets no reply; a pending
// cursor is dropped.
TEST_F(CursorTest, NoReplyWhenNobodyListens) {
    settings.chunk_size = 1;
    const struct {
        const char* name;
        bool pending;
        bool stop_server;
    } cases[] = {
        {"new query, server stopping", false, true},
        {"new query, session disconnecting", false, false},
        {"pending cursor, server stopping", true, true},
        {"pending cursor, session disconnecting", true, false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        if (tc.pending) {
            EXPECT_TRUE(select("SELECT a FROM t;").header.flags & REPLY_FLAG_PARTIAL);
            ASSERT_NE(c_->cursor, nullptr);
        }
        if (tc.stop_server)
            settings.running = 0;
        else
            c_->is_disconnecting = 1;
        sql_ = "SELECT a FROM t;";
        c_->sql = sql_.c_str();
        EXPECT_EQ(kestrix_select(c_, 0), 0);
        settings.running = 1;
        c_->is_disconnecting = 0;
        EXPECT_FALSE(conn_->readable(0));
        EXPECT_EQ(c_->cursor, nullptr);
        EXPECT_EQ(c_->pending_op, PENDING_NONE);
        EXPECT_EQ(c_->busy, 0);
    }
}

TEST_F(CursorTest, PreparedStatementBecomesTheCursor) {
    ASSERT_EQ(sqlite3_prepare_v2(db_, "SELECT a FROM t;", -1, &c_->vm, nullptr), SQLITE_OK);
    Reply r = serve([this] { kestrix_select(c_, 1); });
    EXPECT_EQ(c_->vm, nullptr);
    Cursor cur = read_result(r, 0);
    EXPECT_FALSE(cur.has_rowid);
    EXPECT_EQ(cur.rows.size(), 2u);
}

TEST_F(CursorTest, ChunkWithNothingPendingIsNotAnswered) {
    for (uint32_t pending : {PENDING_NONE, PENDING_CURSOR_DONE}) {
        c_->pending_op = pending;
        EXPECT_TRUE(chunk_unanswered());
        EXPECT_EQ(c_->pending_op, PENDING_NONE);
    }
}

TEST_F(CursorTest, ServerCommandTablesAreOneCursor) {
    settings.chunk_size = 100;
    fill_big_table(50, 100);
    for (int expected : {-1, 0, 49, 1000}) {
        SCOPED_TRACE(expected);
        sqlite3* db = db_;
        int sent = 0;
        Reply r =
            serve([&] { sent = kestrix_select_internal(c_, db, "SELECT v FROM big;", expected); });
        EXPECT_EQ(sent, 1);
        EXPECT_EQ(r.header.flags, REPLY_FLAG_ALWAYS);  // no rowid, no table names, no chunks
        Cursor cur = read_result(r, 0);
        EXPECT_EQ(cur.rows.size(), 50u);
        EXPECT_EQ(cur.columns[0].name, "v");
    }
    // Failures leave the reply to the caller.
    for (const char* sql : {"SELECT * FROM nope;", "CREATE TABLE y (a);"}) {
        c_->error_code = 0;
        EXPECT_EQ(kestrix_select_internal(c_, db_, sql), 0) << sql;
        EXPECT_NE(c_->error_code, 0u);
        EXPECT_FALSE(conn_->readable(0));
    }
}

}  // namespace
