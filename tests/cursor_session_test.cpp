// Cursors through the whole request path of a logged-in session with an open
// database: SELECT and CHUNK requests read and dispatched by the session on
// its own thread, answered to the client library's select; and a pending
// cursor freed when the session's database is closed.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "kestrix_client.h"
#include "net/client.h"
#include "net/wire.h"
#include "query/cursor.h"
#include "query/execute.h"
#include "server/paths.h"
#include "server/settings.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

class CursorSessionTest : public SettingsDbTest {
protected:
    void SetUp() override {
        SettingsDbTest::SetUp();
        open_settings();
        settings.log_verbosity = 0;
        settings.max_databases = 4;
        dbref_init();
        create_folder(settings.databases_path.get().c_str());
        char path[KESTRIX_PATH_MAX];
        get_path_to_database(path, "sales");
        sqlite3* db = open_with_key(path, nullptr);
        ASSERT_TRUE(exec_ok(db,
                            "CREATE TABLE big (v TEXT);"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                            "WHERE i < 300) INSERT INTO big SELECT printf('%0200d', i) FROM n;"));
        sqlite3_close_v2(db);

        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        c_ = client_init();
        ASSERT_NE(c_, nullptr);
        c_->fd = sv[0];
        c_->protocol_known = 1;
        c_->login_state = LOGIN_DONE;
        c_->username = "admin";  // the administrator passes the statement authorizer
        c_->dbref = dbref_get("sales", 1);
        ASSERT_GE(c_->dbref, 0);
        ASSERT_EQ(client_open_database(c_, "sales", path), 1);
        conn_.emplace(kestrix::Connection::adopt(kestrix::Socket(sv[1])));
    }
    void TearDown() override {
        conn_.reset();
        client_close_database(c_);
        close(c_->fd);
        delete c_;
        dbref_destroy();
        SettingsDbTest::TearDown();
    }

    // Serves requests the way a worker does, one after the other, up to a PING.
    std::thread serve_until_ping() {
        return std::thread([this] {
            do socket_read(c_);
            while (c_->command != CMD_PING && c_->fd >= 0);
        });
    }

    // Serves `n` requests.
    std::thread serve(int n) {
        return std::thread([this, n] {
            for (int i = 0; i < n; ++i) socket_read(c_);
        });
    }

    client* c_ = nullptr;
    std::optional<kestrix::Connection> conn_;
};

TEST_F(CursorSessionTest, ClientSelectsThroughChunks) {
    settings.chunk_size = 10000;
    const struct {
        const char* name;
        kestrix::SelectOptions opts;
        int replies;  // data replies; 0: more than one
    } cases[] = {
        {"chunked", {false, false}, 0},
        {"compressed", {false, true}, 0},
        {"server-side", {true, false}, 300},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        std::thread server = serve_until_ping();
        kestrix::Cursor cur = conn_->select("SELECT v FROM big", tc.opts);
        conn_->ping();
        server.join();
        ASSERT_EQ(cur.rows.size(), 300u);
        EXPECT_TRUE(cur.has_rowid);
        EXPECT_EQ(cur.columns[1].table, "big");
        EXPECT_EQ(cur.rows[299][1], std::string(197, '0') + "300");
        if (tc.replies)
            EXPECT_EQ(cur.replies, tc.replies);
        else
            EXPECT_GT(cur.replies, 1);
        EXPECT_EQ(c_->pending_op, PENDING_NONE);
        EXPECT_FALSE(conn_->readable(0));
    }
}

TEST_F(CursorSessionTest, ClosingTheDatabaseFreesAPendingCursor) {
    settings.chunk_size = 1000;
    kestrix::Request select;
    select.command = kestrix::cmd::kSelect;
    select.fields = {kestrix::text_field("SELECT v FROM big")};
    std::thread server = serve(1);
    kestrix::Reply first = conn_->roundtrip(select);
    server.join();
    EXPECT_EQ(first.header.code, 0);
    EXPECT_TRUE(first.header.flags & REPLY_FLAG_PARTIAL);
    ASSERT_NE(c_->cursor, nullptr);
    EXPECT_EQ(c_->pending_op, PENDING_CURSOR);

    client_close_database(c_);
    EXPECT_EQ(c_->cursor, nullptr);
    EXPECT_EQ(c_->pending_op, PENDING_NONE);
    kestrix::Request chunk;
    chunk.command = kestrix::cmd::kChunk;
    chunk.selector = kestrix::kChunkOrdinary;
    conn_->send(chunk);
    socket_read(c_);
    EXPECT_FALSE(conn_->readable(0)) << "nothing pending: no reply";
}

}  // namespace
