// kestrix_client.h - the C++ client library of the Kestrix server.
//
// Owns: one blocking TCP connection per Connection object, the clear and
// encrypted login handshakes (protocols "2011" and "2007", AES-128/192/256
// session keys, token variants), packet encryption and compression of
// requests and replies, execute, select with cursor decoding and CHUNK
// continuation up to the 777 reply, ping, close, and raw request/reply access
// for tests. No global state: objects of different threads never share data.
//
// Errors: every failure throws kestrix::Error carrying a code - a server
// reply code (7056, an SQLite result code, ...) or one of the negative local
// codes below - and a message.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cursor.h"
#include "error.h"
#include "socket.h"
#include "wire.h"

namespace kestrix {

// One reply, payload deciphered and inflated.
struct Reply {
    ReplyHeader header;
    std::string payload;
    // The message of an error reply, without its NUL.
    std::string message() const;
};

struct ConnectOptions {
    Protocol protocol = Protocol::v2011;
    uint32_t timeout_s = 12;          // sent in every request header
    int io_timeout_ms = 10000;        // a blocked read or write fails with kTimeout
    uint32_t max_reply = 256u << 20;  // bound on payload and inflated sizes
};

struct LoginOptions {
    std::string user;
    std::string password;
    KeyType key = KeyType::kNone;  // kNone: clear handshake
    std::optional<std::string> token;
};

struct SelectOptions {
    bool server_side = false;  // one row per reply
    bool compressed = false;   // allow compressed replies
};

class Connection {
public:
    // Opens a TCP connection; throws Error (kIo) when it cannot.
    static Connection open(const std::string& host, int port, ConnectOptions opts = {});
    // Takes over a connected socket (tests use one end of a socket pair).
    static Connection adopt(Socket s, ConnectOptions opts = {}) {
        return Connection(std::move(s), opts);
    }

    // Both handshakes; throws Error with the server's refusal code.
    void login(const LoginOptions& opts);
    void execute(std::string_view sql, bool compress = false);
    Cursor select(std::string_view sql, SelectOptions opts = {});
    void ping();
    // Sends CLOSE, reads its acknowledgement and closes the socket.
    void close();

    // Raw access. `send` packs with the session's key (when one was agreed)
    // unless the request sets its own encryption byte.
    void send(const Request& r);
    void send_bytes(std::string_view bytes);
    Reply receive();
    Reply roundtrip(const Request& r) {
        send(r);
        return receive();
    }
    // Like roundtrip, but a non-zero code throws Error.
    Reply call(const Request& r);
    // True when the peer closes within `ms` (pending data is discarded).
    bool wait_closed(int ms);
    // True when a reply byte (or end of stream) is readable within `ms`.
    bool readable(int ms);

    const SessionKey& session_key() const { return key_; }
    Protocol protocol() const { return opts_.protocol; }
    Socket& socket() { return sock_; }

private:
    Connection(Socket s, ConnectOptions opts) : sock_(std::move(s)), opts_(opts) {}
    void clear_login(const LoginOptions& o);
    void encrypted_login(const LoginOptions& o);
    std::string read_payload(const ReplyHeader& h);

    Socket sock_;
    ConnectOptions opts_;
    SessionKey key_;
};

}  // namespace kestrix
