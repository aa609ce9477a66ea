// client_connection_test.cpp - the Connection's request/reply flows against
// a scripted peer on a socket pair: both login handshakes, enciphered and
// compressed replies, CHUNK continuation up to 777, and replies that break
// the format.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <zlib.h>

#include <functional>
#include <thread>

#include "kestrix_client.h"
#include "login_proof.h"

using namespace kestrix;

namespace {

struct PeerRequest {
    RequestHeader h;
    std::string body;
    std::vector<std::string> fields() const {
        std::vector<std::string> out;
        size_t pos = 4 * size_t{h.field_count};
        for (uint32_t i = 0; i < h.field_count; ++i) {
            uint32_t n = get_u32(reinterpret_cast<const uint8_t*>(body.data()) + 4 * i);
            out.push_back(body.substr(pos, n));
            pos += n;
        }
        return out;
    }
};

void set_timeout(int fd) {
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// The server side of a socket pair, driven by a script on its own thread.
class Peer {
public:
    Peer() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        set_timeout(fds[0]);
        set_timeout(fds[1]);
        client_fd_ = fds[0];
        sock_ = Socket(fds[1]);
    }
    ~Peer() {
        if (thread_.joinable()) thread_.join();
    }
    Connection client(ConnectOptions o = {}) { return Connection::adopt(Socket(client_fd_), o); }
    void run(std::function<void(Peer&)> script) {
        thread_ = std::thread([this, script] {
            try {
                script(*this);
            } catch (const Error& e) {
                ADD_FAILURE() << "peer: " << e.what();
            }
        });
    }
    PeerRequest read() {
        std::array<uint8_t, kHeaderSize> raw;
        sock_.read_exact(reinterpret_cast<char*>(raw.data()), raw.size());
        PeerRequest r{*decode_request_header(raw), {}};
        r.body.resize(r.h.body_length);
        sock_.read_exact(r.body.data(), r.body.size());
        return r;
    }
    void reply(ReplyHeader h, const std::string& payload) {
        h.flags |= 0x01;
        h.payload_length = static_cast<uint32_t>(payload.size());
        auto head = encode_reply_header(h);
        sock_.write_all(std::string(head.begin(), head.end()) + payload);
    }
    void reply_code(uint16_t code, const std::string& payload = {}) {
        ReplyHeader h;
        h.code = code;
        reply(h, payload);
    }
    Socket& socket() { return sock_; }

private:
    int client_fd_ = -1;
    Socket sock_;
    std::thread thread_;
};

std::string view(const Digest& d) {
    return {reinterpret_cast<const char*>(d.data()), 20};
}

std::string be(std::initializer_list<int32_t> words) {
    std::string s;
    for (int32_t w : words) {
        std::array<uint8_t, 4> b;
        put_u32(b.data(), static_cast<uint32_t>(w));
        s.append(reinterpret_cast<const char*>(b.data()), 4);
    }
    return s;
}

std::string deflate(const std::string& in) {
    uLongf n = compressBound(in.size());
    std::string out(n, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(in.data()),
             in.size());
    out.resize(n);
    return out;
}

int error_code_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.code();
    }
    return 0;
}

// Plays the server's part of the clear handshake for "admin"/"pw".
void clear_server(Peer& p, bool with_token) {
    PeerRequest p1 = p.read();
    EXPECT_EQ(p1.h.command, with_token ? 40 : 20);
    EXPECT_EQ(p1.h.client_version, 4);
    EXPECT_EQ(p1.fields(),
              std::vector<std::string>{text_field("d033e22ae348aeb5660fc2140aec35850c4da997")});
    Digest challenge = random_digest();
    p.reply_code(0, view(challenge));
    PeerRequest p2 = p.read();
    EXPECT_EQ(p2.h.command, with_token ? 41 : 21);
    auto f = p2.fields();
    ASSERT_EQ(f.size(), with_token ? 2u : 1u);
    bool ok = f[0] == view(clear_response(view(challenge), password_digest("pw")));
    if (with_token) {
        EXPECT_EQ(f[1], text_field("tok"));
    }
    p.reply_code(ok ? 0 : 7056, ok ? "" : text_field("Incorrect username or password."));
}

}  // namespace

TEST(ClientConnection, ClearLoginRightAndWrongPassword) {
    struct Case {
        const char* password;
        bool token;
        int code;
    };
    for (const Case& c : {Case{"pw", false, 0}, Case{"pw", true, 0}, Case{"bad", false, 7056}}) {
        Peer peer;
        peer.run([&](Peer& p) { clear_server(p, c.token); });
        Connection conn = peer.client();
        LoginOptions o{"admin", c.password, KeyType::kNone, std::nullopt};
        if (c.token) o.token = "tok";
        EXPECT_EQ(error_code_of([&] { conn.login(o); }), c.code) << c.password;
    }
}

// The peer checks the encrypted handshake, then answers an enciphered
// EXECUTE with an enciphered error message.
TEST(ClientConnection, EncryptedLoginAndEncipheredTraffic) {
    for (KeyType type : {KeyType::kAes128, KeyType::kAes192, KeyType::kAes256}) {
        Peer peer;
        peer.run([&](Peer& p) {
            const Digest d = password_digest("pw");
            PeerRequest p1 = p.read();
            EXPECT_EQ(p1.h.command, cmd::kEnvelope);
            EXPECT_EQ(p1.h.selector, cmd::kEncryptPhase1);
            EXPECT_EQ(p1.h.encryption, static_cast<uint8_t>(type));
            auto f = p1.fields();
            ASSERT_EQ(f.size(), 2u);
            Iv iv;
            std::copy_n(f[1].begin(), 16, iv.begin());
            EXPECT_EQ(f[0], text_field(encrypted_user_proof(Protocol::v2011, "admin", iv)));
            auto rc = open_random(d, f[1]);
            ASSERT_TRUE(rc);
            Digest rs = random_digest();
            p.reply_code(0, seal_random(d, rs, random_iv()));
            SessionKey key{type, derive_session_key(type, d, *rc, rs)};
            PeerRequest p2 = p.read();
            EXPECT_EQ(p2.h.selector, cmd::kEncryptPhase2);
            EXPECT_EQ(open_with_key(key, p2.fields().at(0)), view(sha1("pw")));
            p.reply_code(0);

            PeerRequest exec = p.read();
            EXPECT_EQ(exec.h.encryption, static_cast<uint8_t>(type));
            std::string sealed = exec.body.substr(4);
            EXPECT_EQ(open_with_key(key, sealed), text_field("DELETE FROM t"));
            ReplyHeader h;
            h.code = 7016;
            h.encryption = static_cast<uint8_t>(type);
            p.reply(h, seal_with_key(key, text_field("Wrong command."), random_iv()));
        });
        Connection conn = peer.client();
        conn.login({"admin", "pw", type, std::nullopt});
        EXPECT_EQ(conn.session_key().type, type);
        try {
            conn.execute("DELETE FROM t");
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), 7016);
            EXPECT_STREQ(e.what(), "Wrong command.");
        }
    }
}

// A chunked result: two partial replies (the second compressed), then 777.
TEST(ClientConnection, SelectFollowsChunksUntil777) {
    Peer peer;
    int chunk_requests = 0;
    peer.run([&](Peer& p) {
        PeerRequest sel = p.read();
        EXPECT_EQ(sel.h.command, cmd::kSelect);
        EXPECT_EQ(sel.h.flags & kReqCompressed, kReqCompressed);
        ReplyHeader h;
        h.flags = kReplyPartial | kReplyTableNames | kReplyRowid;
        h.rows = 1;
        h.columns = 2;
        p.reply(h, be({1, 3, 1, 2}) + std::string("rowid\0v\0\0t\0", 11) + "1xy");
        PeerRequest chunk = p.read();
        ++chunk_requests;
        EXPECT_EQ(chunk.h.command, cmd::kChunk);
        EXPECT_EQ(chunk.h.body_length, 0u);
        std::string rows = be({1, 1, 1, -1}) + "2z3";
        h.flags = kReplyPartial | kReplyCompressed;
        h.rows = 2;
        h.uncompressed_size = static_cast<uint32_t>(rows.size());
        p.reply(h, deflate(rows));
        p.read();
        ++chunk_requests;
        p.reply_code(kEndOfChunks);
    });
    Connection conn = peer.client();
    Cursor c = conn.select("SELECT v FROM t", {false, true});
    EXPECT_EQ(chunk_requests, 2);
    ASSERT_EQ(c.columns.size(), 2u);
    EXPECT_EQ(c.columns[1].name, "v");
    EXPECT_EQ(c.columns[1].table, "t");
    EXPECT_TRUE(c.has_rowid);
    ASSERT_EQ(c.rows.size(), 3u);
    EXPECT_EQ(c.rows[1][1], Value("z"));
    EXPECT_EQ(c.rows[2][1], std::nullopt);
    EXPECT_EQ(c.replies, 2);
}

// Replies that break the format are refused without reading past them.
TEST(ClientConnection, MalformedRepliesAreRefused) {
    struct Case {
        const char* name;
        std::function<void(Peer&)> send;
        int code;
    };
    const Case cases[] = {
        {"bad signature", [](Peer& p) { p.socket().write_all(std::string(32, 'X')); },
         Error::kProtocol},
        {"payload above the limit",
         [](Peer& p) {
             ReplyHeader h;
             auto head = encode_reply_header(h);
             head[4] = 0x7F;  // about 2 GiB announced
             p.socket().write_all(std::string(head.begin(), head.end()));
         },
         Error::kProtocol},
        {"closed inside the payload",
         [](Peer& p) {
             ReplyHeader h;
             h.payload_length = 10;
             auto head = encode_reply_header(h);
             p.socket().write_all(std::string(head.begin(), head.end()) + "abc");
             p.socket().reset();
         },
         Error::kClosed},
        {"wrong inflated size",
         [](Peer& p) {
             ReplyHeader h;
             h.flags = kReplyCompressed;
             h.uncompressed_size = 99;
             p.reply(h, deflate("short"));
         },
         Error::kProtocol},
        {"enciphered without a key",
         [](Peer& p) {
             ReplyHeader h;
             h.encryption = 2;
             p.reply(h, std::string(21, 'e'));
         },
         Error::kProtocol},
    };
    for (const auto& c : cases) {
        Peer peer;
        peer.run([&](Peer& p) {
            p.read();
            c.send(p);
        });
        Connection conn = peer.client();
        EXPECT_EQ(error_code_of([&] { conn.ping(); }), c.code) << c.name;
    }
}
