// connection.cpp - one server connection: packing and reading requests and
// replies, the login handshakes, and the query helpers on top of them.
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <chrono>
#include <cstring>

#include "kestrix_client.h"
#include "login_proof.h"

namespace kestrix {

namespace {

std::string_view as_view(const Digest& d) {
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

std::string inflate_payload(const std::string& in, uint32_t size, uint32_t limit) {
    if (size > limit) throw Error(Error::kProtocol, "inflated reply above the size limit");
    std::string out(size, '\0');
    uLongf len = size;
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                   reinterpret_cast<const Bytef*>(in.data()),
                   static_cast<uLong>(in.size())) != Z_OK ||
        len != size)
        throw Error(Error::kProtocol, "compressed reply does not inflate to its stated size");
    return out;
}

uint8_t token_variant(uint8_t command, const LoginOptions& o) {
    return o.token ? static_cast<uint8_t>(command + cmd::kTokenOffset) : command;
}

}  // namespace

std::string Reply::message() const {
    return payload.substr(0, payload.find('\0'));
}

Connection Connection::open(const std::string& host, int port, ConnectOptions opts) {
    return Connection(Socket::connect(host, port, opts.io_timeout_ms), opts);
}

void Connection::send(const Request& r) {
    PackContext ctx;
    ctx.protocol = opts_.protocol;
    ctx.timeout = opts_.timeout_s;
    if (key_.type != KeyType::kNone) {
        ctx.key = &key_;
        ctx.iv = random_iv();
    }
    sock_.write_all(pack_request(r, ctx));
}

void Connection::send_bytes(std::string_view bytes) {
    sock_.write_all(bytes);
}

std::string Connection::read_payload(const ReplyHeader& h) {
    if (h.payload_length > opts_.max_reply)
        throw Error(Error::kProtocol, "reply payload above the size limit");
    std::string payload(h.payload_length, '\0');
    sock_.read_exact(payload.data(), payload.size());
    if (h.encryption != 0 && !payload.empty() && h.code != kEndOfChunks) {
        if (key_.type == KeyType::kNone)
            throw Error(Error::kProtocol, "enciphered reply without a session key");
        payload = open_with_key(key_, payload);
    }
    if (h.flags & kReplyCompressed)
        payload = inflate_payload(payload, h.uncompressed_size, opts_.max_reply);
    return payload;
}

Reply Connection::receive() {
    std::array<uint8_t, kHeaderSize> raw;
    sock_.read_exact(reinterpret_cast<char*>(raw.data()), raw.size());
    auto h = decode_reply_header(raw);
    if (!h) throw Error(Error::kProtocol, "reply without signature");
    Reply r;
    r.header = *h;
    r.payload = read_payload(*h);
    return r;
}

Reply Connection::call(const Request& r) {
    Reply rep = roundtrip(r);
    if (rep.header.code != 0) {
        std::string msg = rep.message();
        throw Error(rep.header.code,
                    msg.empty() ? "error " + std::to_string(rep.header.code) : msg);
    }
    return rep;
}

void Connection::login(const LoginOptions& o) {
    if (o.key == KeyType::kNone)
        clear_login(o);
    else
        encrypted_login(o);
}

void Connection::clear_login(const LoginOptions& o) {
    Request p1;
    p1.command = token_variant(cmd::kClearPhase1, o);
    p1.fields = {text_field(clear_user_proof(opts_.protocol, o.user))};
    Reply challenge = call(p1);
    if (challenge.payload.size() != 20)
        throw Error(Error::kProtocol, "login challenge is not 20 bytes");
    Request p2;
    p2.command = token_variant(cmd::kClearPhase2, o);
    p2.fields = {
        std::string(as_view(clear_response(challenge.payload, password_digest(o.password))))};
    if (o.token) p2.fields.push_back(text_field(*o.token));
    call(p2);
}

void Connection::encrypted_login(const LoginOptions& o) {
    const Digest d = password_digest(o.password);
    const Digest rc = random_digest();
    const Iv iv = random_iv();
    const auto type = static_cast<uint8_t>(o.key);
    Request p1;
    p1.command = cmd::kEnvelope;
    p1.selector = token_variant(cmd::kEncryptPhase1, o);
    p1.encryption_byte = type;
    p1.fields = {text_field(encrypted_user_proof(opts_.protocol, o.user, iv)),
                 seal_random(d, rc, iv)};
    Reply answer = call(p1);
    auto rs = open_random(d, answer.payload);
    if (!rs) throw Error(Error::kProtocol, "server proof of the password digest does not match");

    SessionKey key{o.key, derive_session_key(o.key, d, rc, *rs)};
    Request p2;
    p2.command = cmd::kEnvelope;
    p2.selector = token_variant(cmd::kEncryptPhase2, o);
    p2.encryption_byte = type;
    p2.fields = {seal_with_key(key, as_view(sha1(o.password)), random_iv())};
    if (o.token) p2.fields.push_back(seal_with_key(key, text_field(*o.token), random_iv()));
    key_ = key;
    try {
        call(p2);
    } catch (...) {
        key_ = SessionKey{};
        throw;
    }
}

void Connection::execute(std::string_view sql, bool compress) {
    Request r;
    r.command = cmd::kExecute;
    r.fields = {text_field(sql)};
    r.compress = compress;
    call(r);
}

Cursor Connection::select(std::string_view sql, SelectOptions opts) {
    Request r;
    r.command = cmd::kSelect;
    r.flags = static_cast<uint8_t>((opts.server_side ? kReqServerSide : 0) |
                                   (opts.compressed ? kReqCompressed : 0));
    r.fields = {text_field(sql)};
    Reply rep = call(r);
    Cursor c;
    decode_cursor_part(rep.payload, rep.header.rows, rep.header.columns, rep.header.flags, true, c);
    Request next;
    next.command = cmd::kChunk;
    next.selector = kChunkOrdinary;
    next.flags = r.flags;
    while (rep.header.flags & kReplyPartial) {
        rep = roundtrip(next);
        if (rep.header.code == kEndOfChunks) break;
        if (rep.header.code != 0) throw Error(rep.header.code, rep.message());
        decode_cursor_part(rep.payload, rep.header.rows, rep.header.columns, rep.header.flags,
                           false, c);
    }
    return c;
}

void Connection::ping() {
    Request r;
    r.command = cmd::kPing;
    call(r);
}

void Connection::close() {
    Request r;
    r.command = cmd::kClose;
    Reply rep = roundtrip(r);
    sock_.reset();
    if (rep.header.code != 0) throw Error(rep.header.code, rep.message());
}

bool Connection::wait_closed(int ms) {
    using clock = std::chrono::steady_clock;
    auto until = clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (sock_.is_open()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now());
        if (left.count() <= 0) return false;
        pollfd p{sock_.fd(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = recv(sock_.fd(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return true;
}

bool Connection::readable(int ms) {
    pollfd p{sock_.fd(), POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

}  // namespace kestrix
