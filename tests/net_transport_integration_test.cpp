// net_transport_integration_test.cpp - the binary transport of the real
// server through the client library: PING, CLOSE, STEPVM, unknown commands,
// the maximum command length and the CHUNK exemption, refused first packets,
// headers split over TCP segments, compressed request bodies and the sizes of
// enciphered replies.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "login_proof.h"
#include "support/net_server.h"

using namespace kestrix;

namespace {

Request bare(uint8_t command) {
    Request r;
    r.command = command;
    return r;
}

std::string packed(const Request& r) {
    return pack_request(r, PackContext{});
}

// A header announcing `body` bytes for `command`, without the body.
std::string header_only(uint8_t command, uint32_t body) {
    RequestHeader h;
    h.command = command;
    h.body_length = body;
    auto b = encode_request_header(h);
    return std::string(b.begin(), b.end());
}

void pause_between_segments() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

struct NetTransportTag;
using NetTransport = SharedServerTest<NetTransportTag>;

TEST_F(NetTransport, PingAnswersABareHeader) {
    Connection c = server_->login();
    for (int i = 0; i < 3; ++i) {
        Reply r = c.roundtrip(bare(cmd::kPing));
        EXPECT_EQ(r.header.code, 0);
        EXPECT_EQ(r.header.payload_length, 0u);
        EXPECT_EQ(r.header.field_count, 0u);
        EXPECT_EQ(r.header.flags & 0x01, 0x01);
    }
}

TEST_F(NetTransport, CloseAcknowledgesThenCloses) {
    Connection c = server_->login();
    Reply r = c.roundtrip(bare(cmd::kClose));
    EXPECT_EQ(r.header.code, 0);
    EXPECT_EQ(r.header.payload_length, 0u);
    EXPECT_TRUE(c.wait_closed(5000));
}

TEST_F(NetTransport, StepVmGetsNoReply) {
    for (uint8_t command : {11, 12}) {
        Connection c = server_->login();
        c.send(bare(command));
        EXPECT_FALSE(c.readable(300)) << int{command};
    }
}

TEST_F(NetTransport, UnknownCommandsGet7016AndTheSessionStaysOpen) {
    Connection c = server_->login();
    for (uint8_t command : {0, 4, 5, 6, 13, 30, 44, 60, 255}) {
        Reply r = c.roundtrip(bare(command));
        EXPECT_EQ(r.header.code, 7016) << int{command};
        EXPECT_EQ(r.message(), "Wrong command.") << int{command};
        EXPECT_EQ(r.header.payload_length, 15u) << int{command};
        EXPECT_EQ(r.header.field_count, 0u) << int{command};
        EXPECT_EQ(c.roundtrip(bare(cmd::kPing)).header.code, 0) << int{command};
    }
}

// Default MAX_COMMANDLEN is 4096000: one byte more is refused, except for a
// CHUNK request, whose body is read and (with nothing pending) dropped.
TEST_F(NetTransport, MaximumCommandLengthAndChunkExemption) {
    Connection c = server_->login();
    c.send_bytes(header_only(cmd::kExecute, 4096001));
    Reply r = c.receive();
    EXPECT_EQ(r.header.code, 7009);
    EXPECT_EQ(r.message(), "Maximum size of allowed command reached.");
    EXPECT_TRUE(c.wait_closed(5000));

    Connection d = server_->login();
    d.send_bytes(header_only(cmd::kChunk, 4096001) + std::string(4096001, 'c'));
    d.send(bare(cmd::kPing));
    // The CHUNK itself may be answered (nothing is pending for it); the
    // session stays open and the PING behind it is acknowledged.
    Reply first = d.receive();
    EXPECT_NE(first.header.code, 7009);
    if (first.header.code != 0) {
        EXPECT_EQ(d.receive().header.code, 0);
    }
}

TEST_F(NetTransport, RefusedFirstPacketsAreClosed) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string wrong_sig = packed(bare(cmd::kPing));
    wrong_sig[3] = 'X';
    const Case cases[] = {
        {"three bytes", "SQL"},
        {"wrong signature", wrong_sig},
        {"text protocol", "GET / HTTP/1.0\r\n\r\n"},
        {"json without quote", "{ \"command\": \"CONNECT\"}"},
    };
    for (const auto& c : cases) {
        Connection conn = server_->connect();
        conn.send_bytes(c.bytes);
        EXPECT_TRUE(conn.wait_closed(5000)) << c.name;
    }
    // A wrong signature on a later request is refused as well.
    Connection conn = server_->login();
    conn.send_bytes(wrong_sig);
    EXPECT_TRUE(conn.wait_closed(5000));
}

TEST_F(NetTransport, HeaderInSeveralSegmentsIsAssembled) {
    // First request: the signature arrives whole, the rest in pieces.
    Request p1;
    p1.command = cmd::kClearPhase1;
    p1.fields = {text_field("d033e22ae348aeb5660fc2140aec35850c4da997")};
    std::string first = packed(p1);
    Connection c = server_->connect();
    size_t at = 0;
    for (size_t cut : {size_t{4}, size_t{9}, size_t{20}, size_t{33}, first.size()}) {
        c.send_bytes(first.substr(at, cut - at));
        at = cut;
        pause_between_segments();
    }
    Reply challenge = c.receive();
    EXPECT_EQ(challenge.header.code, 0);
    EXPECT_EQ(challenge.payload.size(), 20u);

    Connection d = server_->login();
    std::string ping = packed(bare(cmd::kPing));
    for (size_t at = 0; at < ping.size(); at += 5) {
        d.send_bytes(ping.substr(at, 5));
        pause_between_segments();
    }
    EXPECT_EQ(d.receive().header.code, 0);
}

// A whole clear login with deflated request bodies succeeds; a body that
// does not inflate ends the connection without a reply.
TEST_F(NetTransport, CompressedRequestBodiesAreInflated) {
    for (Protocol p : {Protocol::v2011, Protocol::v2007}) {
        ConnectOptions o;
        o.protocol = p;
        Connection c = server_->connect(o);
        Request p1;
        p1.command = cmd::kClearPhase1;
        p1.fields = {text_field(p == Protocol::v2011 ? "d033e22ae348aeb5660fc2140aec35850c4da997"
                                                     : kAdminUser)};
        p1.compress = true;
        Reply challenge = c.call(p1);
        ASSERT_EQ(challenge.payload.size(), 20u);
        Request p2;
        p2.command = cmd::kClearPhase2;
        Digest answer = clear_response(challenge.payload, password_digest(kAdminPassword));
        p2.fields = {std::string(reinterpret_cast<const char*>(answer.data()), answer.size())};
        p2.compress = true;
        EXPECT_EQ(c.roundtrip(p2).header.code, 0);
        EXPECT_EQ(c.roundtrip(bare(cmd::kPing)).header.code, 0);
    }
    Connection c = server_->login();
    RequestHeader h;
    h.command = cmd::kExecute;
    h.flags = kReqCompressed;
    h.field_count = 1;
    h.uncompressed_size = 64;
    h.body_length = 24;
    auto head = encode_request_header(h);
    c.send_bytes(std::string(head.begin(), head.end()) + std::string(24, 'z'));
    EXPECT_TRUE(c.wait_closed(5000));
}

// An enciphered reply is the IV plus exactly the payload: "Wrong command."
// (15 bytes) travels as 31.
TEST_F(NetTransport, EncipheredReplySizes) {
    for (KeyType key : {KeyType::kAes128, KeyType::kAes192, KeyType::kAes256}) {
        Connection c = server_->login(key);
        Request r;
        r.command = 5;
        r.fields = {text_field("x")};
        Reply rep = c.roundtrip(r);
        EXPECT_EQ(rep.header.code, 7016);
        EXPECT_EQ(rep.header.encryption, static_cast<uint8_t>(key));
        EXPECT_EQ(rep.header.payload_length, 31u);
        EXPECT_EQ(rep.message(), "Wrong command.");
        Reply ping = c.roundtrip(bare(cmd::kPing));
        EXPECT_EQ(ping.header.code, 0);
        EXPECT_EQ(ping.header.payload_length, 0u);
    }
}

// Bodies whose field sizes, field count, cipher or inflated size do not fit
// are refused - with 7005/7006 or by closing - and never read past; the
// server keeps serving.
TEST_F(NetTransport, MalformedBodiesAreRefused) {
    struct Case {
        const char* name;
        KeyType session;
        uint32_t field_count;
        uint8_t encryption;
        uint8_t flags;
        uint32_t uncompressed;
        std::string body;
    };
    auto sizes = [](std::initializer_list<uint32_t> v) {
        std::string s;
        for (uint32_t n : v) {
            std::array<uint8_t, 4> b;
            put_u32(b.data(), n);
            s.append(reinterpret_cast<const char*>(b.data()), 4);
        }
        return s;
    };
    const Case cases[] = {
        {"field past the body", KeyType::kNone, 1, 0, 0, 0, sizes({100}) + "0123456789"},
        {"sizes that wrap", KeyType::kNone, 2, 0, 0, 0,
         sizes({0xFFFFFFF0u, 0x20}) + std::string(16, 'w')},
        {"field count past the body", KeyType::kNone, 1000, 0, 0, 0, sizes({1}) + "x"},
        {"enciphered body shorter than an IV", KeyType::kAes256, 1, 4, 0, 0, sizes({5}) + "abcde"},
        {"inflated size of 4 GiB", KeyType::kNone, 1, 0, kReqCompressed, 0xFFFFFFFFu,
         std::string(40, 'z')},
    };
    for (const auto& c : cases) {
        Connection conn = server_->login(c.session);
        RequestHeader h;
        h.command = cmd::kExecute;
        h.field_count = c.field_count;
        h.encryption = c.encryption;
        h.flags = c.flags;
        h.uncompressed_size = c.uncompressed;
        h.body_length = static_cast<uint32_t>(c.body.size());
        auto head = encode_request_header(h);
        conn.send_bytes(std::string(head.begin(), head.end()) + c.body);
        try {
            Reply r = conn.receive();
            EXPECT_TRUE(r.header.code == 7005 || r.header.code == 7006)
                << c.name << ": code " << r.header.code;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), Error::kClosed) << c.name << ": " << e.what();
        }
        EXPECT_NO_THROW(server_->login().ping()) << c.name;
    }
}
