// Result cursors through the client library against the real server: the
// 15-byte example byte for byte in both protocols, the hidden rowid column,
// a 1 MB result in CHUNK_SIZE pieces, a second SELECT during a chunked
// result, server-side cursors, compressed replies and a server command's
// table.
#include <gtest/gtest.h>

#include <string>

#include "support/net_server.h"

namespace {

using kestrix::Connection;
using kestrix::Reply;
using kestrix::Request;

std::string bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

Request select_request(const std::string& sql, uint8_t flags = 0) {
    Request r;
    r.command = kestrix::cmd::kSelect;
    r.flags = flags;
    r.fields = {kestrix::text_field(sql)};
    return r;
}

Request chunk_request(uint8_t flags = 0) {
    Request r;
    r.command = kestrix::cmd::kChunk;
    r.selector = kestrix::kChunkOrdinary;
    r.flags = flags;
    return r;
}

// The next reply is a PING's bare acknowledgement: no reply was left unread.
void expect_ping_next(Connection& c) {
    Request ping;
    ping.command = kestrix::cmd::kPing;
    Reply r = c.roundtrip(ping);
    EXPECT_EQ(r.header.code, 0);
    EXPECT_EQ(r.header.columns, 0u);
    EXPECT_TRUE(r.payload.empty());
}

class CursorIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        Connection c = server.login();
        c.execute("CREATE DATABASE shop");
        open(c);
        c.execute("CREATE TABLE t (a INTEGER)");
        c.execute("INSERT INTO t VALUES (7)");
        c.execute("INSERT INTO t VALUES (NULL)");
        c.execute("CREATE TABLE s (v TEXT)");
        c.execute("INSERT INTO s VALUES ('x'), (''), (NULL)");
        c.execute(
            "CREATE TABLE big AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
            "WHERE i < 1000) SELECT printf('%01000d', i) AS v FROM n");
        c.execute("COMMIT");
    }
    static void open(Connection& c) { c.execute("USE DATABASE shop"); }
    Connection open_session(kestrix::Protocol p = kestrix::Protocol::v2011) {
        Connection c = server.login(kestrix::KeyType::kNone, p);
        open(c);
        return c;
    }
    NetServer server;
};

TEST_F(CursorIntegration, ExampleCursorByteForByte) {
    const std::string sizes = bytes({0, 0, 0, 1, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF});
    const struct {
        kestrix::Protocol protocol;
        uint8_t flags;
        std::string payload;
    } cases[] = {
        {kestrix::Protocol::v2007, 0x01, sizes + bytes({'a', 0, '7'})},
        {kestrix::Protocol::v2011, 0x81, sizes + bytes({'a', 0, 't', 0, '7'})},
    };
    for (const auto& tc : cases) {
        Connection c = open_session(tc.protocol);
        c.send(select_request("SELECT DISTINCT a FROM t"));
        std::string raw(32 + tc.payload.size(), '\0');
        c.socket().read_exact(raw.data(), raw.size());
        std::string header =
            bytes({'S', 'Q', 'L',      'S', 0, 0, 0, static_cast<unsigned char>(tc.payload.size()),
                   0,   0,   tc.flags, 0,   0, 0, 0, 0,
                   0,   0,   0,        2,   0, 0, 0, 1});
        header.resize(32, '\0');
        EXPECT_EQ(raw, header + tc.payload) << tc.payload.size();
        expect_ping_next(c);
    }
}

TEST_F(CursorIntegration, RowidColumnAndValues) {
    Connection c = open_session();
    const struct {
        const char* sql;
        bool rowid;
    } cases[] = {
        {"select a from t", true},
        {"SELECT DISTINCT a FROM t", false},
        {"SELECT 1 AS one", false},  // the rewrite does not compile
        {"SELECT a, v FROM t, s", false},
    };
    for (const auto& tc : cases) {
        Reply r = c.call(select_request(tc.sql));
        EXPECT_EQ((r.header.flags & kestrix::kReplyRowid) != 0, tc.rowid) << tc.sql;
    }
    // 'x', '' and NULL: sizes 1, 0 and -1 after the two column types.
    Reply r = c.call(select_request("SELECT v FROM s"));
    EXPECT_EQ(r.payload.substr(8, 24), bytes({0, 0, 0, 1, 0, 0, 0, 1, 0,    0,    0,    1,
                                              0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}));
    Reply none = c.call(select_request("SELECT v FROM s WHERE v = 'nope'"));
    EXPECT_EQ(none.header.rows, 0u);
    EXPECT_EQ(none.header.columns, 2u);
    EXPECT_EQ(none.payload, bytes({0, 0, 0, 1, 0, 0, 0, 3}) + std::string("rowid\0v\0s\0s\0", 12));
}

// 1000 rows of 1000 bytes with the default CHUNK_SIZE of 307200.
TEST_F(CursorIntegration, MegabyteInFourChunksThenEnd) {
    Connection c = open_session();
    Reply r = c.call(select_request("SELECT v FROM big"));
    uint32_t rows = 0;
    int partial = 0;
    while (r.header.code == 0) {
        EXPECT_TRUE(r.header.flags & kestrix::kReplyPartial);
        ++partial;
        rows += r.header.rows;
        r = c.roundtrip(chunk_request());
    }
    EXPECT_EQ(partial, 4);
    EXPECT_EQ(rows, 1000u);
    EXPECT_EQ(r.header.code, kestrix::kEndOfChunks);
    EXPECT_EQ(r.header.payload_length, 0u);
    expect_ping_next(c);
}

TEST_F(CursorIntegration, SecondSelectContinuesThePendingResult) {
    Connection c = open_session();
    Reply first = c.call(select_request("SELECT v FROM big"));
    ASSERT_TRUE(first.header.flags & kestrix::kReplyPartial);
    kestrix::Cursor cur;
    kestrix::decode_cursor_part(first.payload, first.header.rows, first.header.columns,
                                first.header.flags, true, cur);
    Reply second = c.call(select_request("SELECT a FROM t"));
    kestrix::decode_cursor_part(second.payload, second.header.rows, second.header.columns,
                                second.header.flags, false, cur);
    EXPECT_EQ(cur.rows[first.header.rows][0], std::to_string(first.header.rows + 1));
    Reply r = second;
    while (r.header.code == 0) r = c.roundtrip(chunk_request());
    EXPECT_EQ(r.header.code, kestrix::kEndOfChunks);
    EXPECT_EQ(c.select("SELECT a FROM t").rows.size(), 2u);  // a new query again
}

TEST_F(CursorIntegration, ServerSideCursorOfThreeRows) {
    Connection c = open_session();
    const uint8_t side = kestrix::kReqServerSide;
    Reply r = c.call(select_request("SELECT v FROM s", side));
    int replies = 0;
    while (r.header.code == 0) {
        ++replies;
        EXPECT_EQ(r.header.rows, 1u);
        EXPECT_TRUE(r.header.flags & kestrix::kReplyServerSide);
        r = c.roundtrip(chunk_request(side));
    }
    EXPECT_EQ(replies, 3);
    EXPECT_EQ(r.header.code, kestrix::kEndOfChunks);
    kestrix::Cursor cur = c.select("SELECT v FROM s", {true, false});
    EXPECT_EQ(cur.replies, 3);
    EXPECT_EQ(cur.rows.size(), 3u);
}

TEST_F(CursorIntegration, CompressedReplies) {
    Connection c = open_session();
    Reply r = c.call(select_request("SELECT v FROM big LIMIT 20", kestrix::kReqCompressed));
    EXPECT_TRUE(r.header.flags & kestrix::kReplyCompressed);
    EXPECT_LT(r.header.payload_length, r.header.uncompressed_size / 4);
    for (const char* sql : {"SELECT v FROM big", "SELECT v FROM s"}) {
        kestrix::Cursor packed = c.select(sql, {false, true});
        kestrix::Cursor plain = c.select(sql);
        EXPECT_EQ(packed.rows, plain.rows) << sql;
        EXPECT_EQ(packed.replies, plain.replies) << sql;
    }
}

TEST_F(CursorIntegration, ServerCommandAnswersWithACursor) {
    Connection c = open_session();
    kestrix::Cursor cur = c.select("SHOW DATABASES");
    EXPECT_FALSE(cur.has_rowid);
    ASSERT_EQ(cur.columns.size(), 1u);
    ASSERT_EQ(cur.rows.size(), 1u);
    EXPECT_EQ(cur.rows[0][0], "shop");
}

}  // namespace
