// Sessions over a socket pair: one request read, dispatched and answered the
// way a worker does it, the session's fate afterwards (kept, or disconnected
// with its Clients row gone), a clear login against a small user table, and
// the growth of the worker pool.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "core/dbhelpers.h"
#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "net/event.h"
#include "net/wire.h"
#include "server/settings.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes request(uint8_t command, const std::vector<std::string>& fields = {}, uint8_t version = 4,
              uint8_t selector = 0) {
    Bytes body;
    for (const auto& f : fields) {
        unsigned char n[4];
        wire_put_be32(n, static_cast<uint32_t>(f.size()));
        body.insert(body.end(), n, n + 4);
    }
    for (const auto& f : fields) body.insert(body.end(), f.begin(), f.end());
    Bytes out(32, 0);
    memcpy(out.data(), "SQLS", 4);
    wire_put_be32(out.data() + 4, static_cast<uint32_t>(body.size()));
    out[8] = command;
    out[9] = selector;
    out[14] = version;
    wire_put_be32(out.data() + 16, static_cast<uint32_t>(fields.size()));
    wire_put_be32(out.data() + 24, 12);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool read_all(int fd, unsigned char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

struct Reply {
    int code = -1;  // -1: no reply
    Bytes payload;
    Bytes header;
};

Reply read_reply(int fd) {
    Reply r;
    unsigned char h[32];
    if (!read_all(fd, h, sizeof(h))) return r;
    r.header.assign(h, h + 32);
    r.code = wire_be16(h + 8);
    r.payload.resize(wire_be32(h + 4));
    if (!read_all(fd, r.payload.data(), r.payload.size())) r.code = -1;
    return r;
}

std::string z(const std::string& s) {
    return s + std::string(1, '\0');
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_memdb_ = settings.inmemorydb;
        saved_settingsdb_ = settings.settings_db;
        saved_verbosity_ = settings.log_verbosity;
        settings.log_verbosity = 0;
        ASSERT_EQ(sqlite3_open(":memory:", &memdb_), SQLITE_OK);
        kestrix_exec(memdb_,
                     "CREATE TABLE Clients (id INTEGER UNIQUE, address TEXT, username TEXT, "
                     "connection_date TEXT, connection_type TEXT DEFAULT '', last_activity TEXT, "
                     "database TEXT DEFAULT 'N/A', client_version TEXT, client_type TEXT, "
                     "language TEXT, connfd INTEGER, ptr TEXT, ping_timeout INTEGER);"
                     "CREATE TABLE Logins (username TEXT UNIQUE COLLATE NOCASE, times INTEGER, "
                     "lasttime INTEGER);");
        ASSERT_EQ(sqlite3_open(":memory:", &usersdb_), SQLITE_OK);
        kestrix_register_settings_functions(usersdb_);
        kestrix_exec(usersdb_,
                     "CREATE TABLE Users (userid INTEGER PRIMARY KEY, username TEXT UNIQUE "
                     "COLLATE NOCASE, password TEXT);"
                     "CREATE TABLE Groups (groupid INTEGER PRIMARY KEY, groupname TEXT);"
                     "CREATE TABLE UserGroup (groupid INTEGER, userid INTEGER);"
                     "CREATE TABLE Privileges (groupid INTEGER, privilege INTEGER, databasename "
                     "TEXT, tablename TEXT);");
        Stmt st(usersdb_, "INSERT INTO Users VALUES (1, 'admin', ?1);");
        st.bind(1, hash_password("secret")).run();
        settings.inmemorydb = memdb_;
        settings.settings_db = usersdb_;
        connections_before_ = settings.current_connections;
    }
    void TearDown() override {
        for (auto& p : peers_) {
            client_disconnect_id(p.id, 0);
            close(p.fd);
        }
        // A worker may still be finishing its last request; it ends the session.
        for (int i = 0; i < 200 && settings.current_connections != connections_before_; ++i)
            usleep(10 * 1000);
        EXPECT_EQ(settings.current_connections, connections_before_);
        settings.inmemorydb = saved_memdb_;
        settings.settings_db = saved_settingsdb_;
        settings.log_verbosity = saved_verbosity_;
        sqlite3_close(memdb_);
        sqlite3_close(usersdb_);
    }

    struct Peer {
        client* c;
        uint32_t id;
        int fd;  // our end
    };

    Peer& connect() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        client* c = client_init();
        c->fd = sv[0];
        increase_connections(c);
        peers_.push_back({c, c->id, sv[1]});
        return peers_.back();
    }

    // Serves one request the way a worker does.
    static void serve(const Peer& p) {
        client* s = client_serve_begin(p.c, p.id);
        ASSERT_NE(s, nullptr);
        socket_read(s);
        client_serve_end(s);
    }

    static void send_bytes(const Peer& p, const Bytes& b) {
        ASSERT_EQ(write(p.fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    static bool alive(const Peer& p) { return registry_find(p.id) != nullptr; }

    int64_t client_rows(uint32_t id) {
        Stmt st(memdb_, "SELECT count(*) FROM Clients WHERE id=?1;");
        st.bind(1, static_cast<int64_t>(id));
        return st.step() == SQLITE_ROW ? st.int64_at(0) : -1;
    }

    sqlite3* memdb_ = nullptr;
    sqlite3* usersdb_ = nullptr;
    sqlite3* saved_memdb_ = nullptr;
    sqlite3* saved_settingsdb_ = nullptr;
    int32_t saved_verbosity_ = 0;
    int32_t connections_before_ = 0;
    std::deque<Peer> peers_;  // stable addresses
};

struct OneRequestCase {
    const char* name;
    Bytes bytes;
    bool close_after;  // the peer shuts its sending side after the bytes
    int reply_code;    // -1: no reply
    bool stays_open;
};

Bytes with_body_len(Bytes b, uint32_t len) {
    wire_put_be32(b.data() + 4, len);
    return b;
}

Bytes truncated(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

TEST_F(SessionTest, OneRequestOutcomes) {
    Bytes past_body = request(3, {"abc"});
    wire_put_be32(past_body.data() + 32, 100);  // field 1 claims 100 bytes of a 7-byte body
    Bytes too_many_fields = request(3, {"abc"});
    wire_put_be32(too_many_fields.data() + 16, 1000);
    const std::vector<OneRequestCase> cases = {
        {"ping", request(8), false, 0, true},
        {"unknown command 5", request(5), false, 7016, true},
        {"stepvm", request(11), false, -1, true},
        {"field sizes past the body", past_body, false, 7005, true},
        {"select not served yet", request(2, {z("SELECT 1;")}), false, 7015, true},
        {"vm close", request(54), false, 0, true},
        {"body above the command limit", with_body_len(request(3), 4096001), false, 7009, false},
        {"field-size array past the body", too_many_fields, false, -1, false},
        {"wrong signature", Bytes(32, 'X'), false, -1, false},
        {"three-byte first packet", {'S', 'Q', 'L'}, true, -1, false},
        {"body cut short", truncated(request(3, {z("DELETE FROM t;")}), 40), true, -1, false},
        {"header cut short", truncated(request(8), 20), true, -1, false},
        {"json", {'{', '"', 'C', 'o', 'm', '"', ':', '1', '}'}, false, -1, false},
        {"clear phase 2 without phase 1", request(21, {std::string(20, 'a')}), false, 7056, false},
        {"close", request(7), false, 0, false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Peer& p = connect();
        send_bytes(p, tc.bytes);
        if (tc.close_after) shutdown(p.fd, SHUT_WR);
        serve(p);
        EXPECT_EQ(alive(p), tc.stays_open);
        EXPECT_EQ(client_rows(p.id), tc.stays_open ? 1 : 0);
        if (tc.reply_code >= 0) {
            EXPECT_EQ(read_reply(p.fd).code, tc.reply_code);
        }
        unsigned char byte;
        ssize_t n = recv(p.fd, &byte, 1, MSG_DONTWAIT);
        if (tc.stays_open) {
            EXPECT_TRUE(n < 0 && errno == EAGAIN) << "unexpected bytes or close";
        } else {
            // Closed; with unread request bytes left behind the close is a reset.
            EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET))
                << "the session's socket should be closed";
        }
    }
}

TEST_F(SessionTest, PingReplyIsTheBareHeader) {
    Peer& p = connect();
    send_bytes(p, request(8));
    serve(p);
    Reply r = read_reply(p.fd);
    Bytes expected = {'S', 'Q', 'L', 'S', 0, 0, 0, 0, 0, 0, 1};
    expected.resize(32, 0);
    EXPECT_EQ(r.header, expected);
    EXPECT_TRUE(r.payload.empty());
}

TEST_F(SessionTest, WrongCommandCarriesItsMessage) {
    Peer& p = connect();
    send_bytes(p, request(5));
    serve(p);
    Reply r = read_reply(p.fd);
    EXPECT_EQ(r.code, 7016);
    EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), z("Wrong command."));
    EXPECT_EQ(wire_be32(r.header.data() + 24), 0u);
}

TEST_F(SessionTest, HeaderInSeveralSegmentsIsAssembled) {
    Peer& p = connect();
    const Bytes ping = request(8);
    send_bytes(p, Bytes(ping.begin(), ping.begin() + 6));
    std::thread rest([&] {
        usleep(20 * 1000);
        send_bytes(p, Bytes(ping.begin() + 6, ping.begin() + 19));
        usleep(20 * 1000);
        send_bytes(p, Bytes(ping.begin() + 19, ping.end()));
    });
    serve(p);
    rest.join();
    EXPECT_EQ(read_reply(p.fd).code, 0);
    EXPECT_TRUE(alive(p));
}

TEST_F(SessionTest, ClearLoginAcceptsOnlyTheRightResponse) {
    const std::string name_hash = sha1_hex("admin", 5);
    auto phase1 = [&](Peer& p) {
        send_bytes(p, request(20, {z(name_hash)}));
        serve(p);
        Reply r = read_reply(p.fd);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.payload.size(), 20u);
        return r.payload;
    };
    auto d = base64_decode(hash_password("secret"));
    ASSERT_TRUE(d);
    const struct {
        const char* name;
        bool right;
        size_t size;
        int code;
    } cases[] = {
        {"right response", true, 20, 0},
        {"wrong response", false, 20, 7056},
        {"19-byte response", true, 19, 7056},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Peer& p = connect();
        Bytes challenge = phase1(p);
        Bytes joined = challenge;
        joined.insert(joined.end(), d->begin(), d->end());
        Sha1Digest response = sha1_bytes(joined.data(), joined.size());
        std::string field(reinterpret_cast<const char*>(response.data()), tc.size);
        if (!tc.right) field[0] ^= 1;
        send_bytes(p, request(21, {field}));
        serve(p);
        EXPECT_EQ(read_reply(p.fd).code, tc.code);
        EXPECT_EQ(alive(p), tc.code == 0);
        if (tc.code == 0) {
            EXPECT_EQ(p.c->username, "admin");
        }
    }
}

TEST_F(SessionTest, DisabledHandshakeKindsAreRefused) {
    const std::string name_hash = z(sha1_hex("admin", 5));
    struct Case {
        const char* name;
        aint* setting;
        int32_t value;
        Bytes phase1;
    };
    const std::vector<Case> cases = {
        {"clear logins off", &settings.clear_connect_enabled, 0, request(20, {name_hash})},
        {"token logins only", &settings.token_connections_only, 1, request(20, {name_hash})},
        {"token logins off", &settings.token_connect_enabled, 0, request(40, {name_hash})},
        {"encrypted logins off", &settings.encrypt_connect_enabled, 0,
         request(1, {z("admin"), std::string(56, 'k')}, 3, 22)},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        const int32_t saved = tc.setting->exchange(tc.value);
        Peer& p = connect();
        send_bytes(p, tc.phase1);
        serve(p);
        *tc.setting = saved;
        Reply r = read_reply(p.fd);
        EXPECT_EQ(r.code, 7057);
        EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()),
                  z("Current connection type is disabled."));
        EXPECT_FALSE(alive(p));
    }
}

TEST_F(SessionTest, TokenMustMatchTheSecretToken) {
    auto d = base64_decode(hash_password("secret"));
    ASSERT_TRUE(d);
    settings.secret_token.set("opensesame");
    const struct {
        const char* token;
        int code;
    } cases[] = {{"opensesame", 0}, {"opensesam", 7058}, {"opensesame!", 7058}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.token);
        Peer& p = connect();
        send_bytes(p, request(40, {z(sha1_hex("admin", 5))}));
        serve(p);
        Reply challenge = read_reply(p.fd);
        ASSERT_EQ(challenge.code, 0);
        Bytes joined = challenge.payload;
        joined.insert(joined.end(), d->begin(), d->end());
        Sha1Digest response = sha1_bytes(joined.data(), joined.size());
        send_bytes(p, request(41, {std::string(reinterpret_cast<const char*>(response.data()), 20),
                                   z(tc.token)}));
        serve(p);
        EXPECT_EQ(read_reply(p.fd).code, tc.code);
        EXPECT_EQ(alive(p), tc.code == 0);
    }
    settings.secret_token.clear();
}

TEST_F(SessionTest, UnknownUserIsRefused) {
    Peer& p = connect();
    send_bytes(p, request(20, {z("nobody' OR '1'='1")}, 3));
    serve(p);
    EXPECT_EQ(read_reply(p.fd).code, 7056);
    EXPECT_FALSE(alive(p));
}

TEST_F(SessionTest, PoolGrowsWhenEveryWorkerIsBusy) {
    if (threadpool_size() == 0) {
        ASSERT_EQ(threadpool_create(2), 2);
    }
    const int start = threadpool_size();
    // Each session holds a worker: its header has begun but not ended.
    std::vector<Peer*> busy;
    for (int i = 0; i <= start; ++i) {
        Peer& p = connect();
        busy.push_back(&p);
    }
    const Bytes ping = request(8);
    for (size_t i = 0; i < busy.size(); ++i) {
        send_bytes(*busy[i], Bytes(ping.begin(), ping.begin() + 8));
        ASSERT_EQ(threadpool_assign(busy[i]->c, busy[i]->id), 1);
    }
    EXPECT_EQ(threadpool_size(), start + 20);
    for (Peer* p : busy) {
        send_bytes(*p, Bytes(ping.begin() + 8, ping.end()));
        EXPECT_EQ(read_reply(p->fd).code, 0);
    }
}

}  // namespace
