// client_wire_test.cpp - the client's packing of request headers and bodies
// and its reading of reply headers, checked byte for byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "error.h"
#include "net/cipher.h"
#include "wire.h"

using namespace kestrix;

namespace {

std::string hex_bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

std::span<const uint8_t, kHeaderSize> head_of(const std::string& packet) {
    return std::span<const uint8_t, kHeaderSize>(reinterpret_cast<const uint8_t*>(packet.data()),
                                                 kHeaderSize);
}

Request execute_request(std::string_view sql) {
    Request r;
    r.command = cmd::kExecute;
    r.fields = {text_field(sql)};
    return r;
}

}  // namespace

TEST(ClientWire, ExecuteExampleIsBuiltByteForByte) {
    std::string expected =
        hex_bytes({0x53, 0x51, 0x4C, 0x53, 0, 0, 0, 0x13, 0x03, 0, 0, 0, 0, 0, 0x04, 0, 0,   0, 0,
                   1,    0,    0,    0,    0, 0, 0, 0,    0x0C, 0, 0, 0, 0, 0, 0,    0, 0x0F});
    expected += std::string("DELETE FROM t;\0", 15);
    PackContext ctx;  // protocol 2011, 12-second time-out, clear
    std::string packet = pack_request(execute_request("DELETE FROM t;"), ctx);
    ASSERT_EQ(packet.size(), 51u);
    EXPECT_EQ(packet, expected);
}

TEST(ClientWire, AcknowledgementOfTheExampleDecodes) {
    std::array<uint8_t, kHeaderSize> ack{0x53, 0x51, 0x4C, 0x53, 0, 0, 0, 0, 0, 0, 0x01};
    auto h = decode_reply_header(ack);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->code, 0);
    EXPECT_EQ(h->flags, 0x01);
    EXPECT_EQ(h->payload_length, 0u);
    ack[0] = 'X';
    EXPECT_FALSE(decode_reply_header(ack));
}

// Each header field lands big-endian at its own offset and nowhere else.
TEST(ClientWire, RequestHeaderFieldOffsets) {
    struct Case {
        const char* name;
        void (*set)(RequestHeader&);
        size_t offset;
        std::string bytes;
    };
    const Case cases[] = {
        {"body length", [](RequestHeader& h) { h.body_length = 0x01020304; }, 4,
         hex_bytes({1, 2, 3, 4})},
        {"command", [](RequestHeader& h) { h.command = 0x2A; }, 8, hex_bytes({0x2A})},
        {"selector", [](RequestHeader& h) { h.selector = 0x17; }, 9, hex_bytes({0x17})},
        {"flags", [](RequestHeader& h) { h.flags = 0x41; }, 10, hex_bytes({0x41})},
        {"bind type", [](RequestHeader& h) { h.bind_type = 9; }, 12, hex_bytes({9})},
        {"encryption", [](RequestHeader& h) { h.encryption = 4; }, 13, hex_bytes({4})},
        {"client type", [](RequestHeader& h) { h.client_type = 7; }, 15, hex_bytes({7})},
        {"field count", [](RequestHeader& h) { h.field_count = 0x00010203; }, 16,
         hex_bytes({0, 1, 2, 3})},
        {"uncompressed", [](RequestHeader& h) { h.uncompressed_size = 0xA0B0C0D0; }, 20,
         hex_bytes({0xA0, 0xB0, 0xC0, 0xD0})},
        {"bind index", [](RequestHeader& h) { h.bind_index = 0x0102; }, 28, hex_bytes({1, 2})},
    };
    RequestHeader base;
    base.timeout = 0;
    base.client_version = 0;
    auto plain = encode_request_header(base);
    for (const auto& c : cases) {
        RequestHeader h = base;
        c.set(h);
        auto b = encode_request_header(h);
        std::string got(reinterpret_cast<const char*>(b.data()), b.size());
        EXPECT_EQ(got.substr(c.offset, c.bytes.size()), c.bytes) << c.name;
        for (size_t i = 0; i < kHeaderSize; ++i) {
            if (i < c.offset || i >= c.offset + c.bytes.size()) {
                EXPECT_EQ(b[i], plain[i]) << c.name << " touched byte " << i;
            }
        }
        auto back = decode_request_header(b);
        ASSERT_TRUE(back) << c.name;
        EXPECT_EQ(encode_request_header(*back), b) << c.name;
    }
}

TEST(ClientWire, ReplyHeaderFieldsDecode) {
    // 7016 "Wrong command." error reply: payload 15, field count 0.
    std::array<uint8_t, kHeaderSize> b{0x53, 0x51, 0x4C, 0x53, 0, 0, 0, 15, 0x1B, 0x68, 0x01};
    auto h = decode_reply_header(b);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->code, 7016);
    EXPECT_EQ(h->payload_length, 15u);
    ReplyHeader cur;
    cur.payload_length = 99;
    cur.code = 777;
    cur.flags = 0xA5;
    cur.encryption = 3;
    cur.uncompressed_size = 0x11223344;
    cur.rows = 5;
    cur.columns = 6;
    cur.field_count = 1;
    auto raw = encode_reply_header(cur);
    EXPECT_EQ(raw[8], 0x03);
    EXPECT_EQ(raw[9], 0x09);
    auto back = decode_reply_header(raw);
    ASSERT_TRUE(back);
    EXPECT_EQ(encode_reply_header(*back), raw);
}

TEST(ClientWire, FieldsAreSizedBigEndianWithoutPadding) {
    std::string body = encode_fields({"ab", "", std::string(300, 'x')});
    ASSERT_EQ(body.size(), 12u + 2 + 0 + 300);
    EXPECT_EQ(body.substr(0, 12), hex_bytes({0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1, 0x2C}));
    EXPECT_EQ(body.substr(12, 2), "ab");
    EXPECT_EQ(text_field("x"), std::string("x\0", 2));
}

TEST(ClientWire, CompressedRequestInflatesToTheFieldBody) {
    Request r = execute_request(std::string(5000, 'a'));
    r.compress = true;
    std::string packet = pack_request(r, PackContext{});
    auto h = decode_request_header(head_of(packet));
    ASSERT_TRUE(h);
    std::string plain_body = encode_fields(r.fields);
    EXPECT_EQ(h->flags & kReqCompressed, kReqCompressed);
    EXPECT_EQ(h->uncompressed_size, plain_body.size());
    EXPECT_EQ(h->field_count, 1u);
    EXPECT_EQ(h->body_length, packet.size() - kHeaderSize);
    EXPECT_LT(packet.size(), 200u);
    std::string out(plain_body.size(), '\0');
    uLongf len = out.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                         reinterpret_cast<const Bytef*>(packet.data() + kHeaderSize),
                         packet.size() - kHeaderSize),
              Z_OK);
    EXPECT_EQ(out, plain_body);
}

// With a session key the field-size array stays clear and the fields travel
// as IV || ciphertext; a CHUNK body is enciphered whole; an empty body and a
// login envelope are not enciphered.
TEST(ClientWire, EncipheredRequestLayout) {
    SessionKey key{KeyType::kAes192, std::vector<uint8_t>(24, 0x5A)};
    PackContext ctx;
    ctx.key = &key;
    for (size_t i = 0; i < 16; ++i) ctx.iv[i] = static_cast<uint8_t>(i * 7);

    Request exec = execute_request("SELECT 1;");
    std::string packet = pack_request(exec, ctx);
    auto h = decode_request_header(head_of(packet));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->encryption, 3);
    EXPECT_EQ(h->body_length, 4u + 16 + 10);
    std::string body = packet.substr(kHeaderSize);
    EXPECT_EQ(body.substr(0, 4), hex_bytes({0, 0, 0, 10}));
    std::string sealed = body.substr(4);
    ASSERT_EQ(
        decrypt_buffer(key.key.data(), 24, reinterpret_cast<unsigned char*>(sealed.data()), 10), 1);
    EXPECT_EQ(sealed.substr(0, 10), std::string("SELECT 1;\0", 10));

    Request chunk;
    chunk.command = cmd::kChunk;
    chunk.raw_body = std::string(40, 'c');
    packet = pack_request(chunk, ctx);
    EXPECT_EQ(packet.size(), kHeaderSize + 16 + 40);
    EXPECT_EQ(decode_request_header(head_of(packet))->field_count, 0u);

    Request ping;
    ping.command = cmd::kPing;
    packet = pack_request(ping, ctx);
    EXPECT_EQ(packet.size(), kHeaderSize);
    EXPECT_EQ(packet[13], 0);

    Request envelope = execute_request("x");
    envelope.command = cmd::kEnvelope;
    envelope.encryption_byte = 4;
    packet = pack_request(envelope, ctx);
    EXPECT_EQ(packet[13], 4);
    EXPECT_EQ(packet.substr(kHeaderSize), encode_fields(envelope.fields));
}

TEST(ClientWire, CompressionOfEncipheredRequestIsRefused) {
    SessionKey key{KeyType::kAes128, std::vector<uint8_t>(16, 1)};
    PackContext ctx;
    ctx.key = &key;
    Request r = execute_request("SELECT 1;");
    r.compress = true;
    try {
        pack_request(r, ctx);
        FAIL() << "packed";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), Error::kUsage);
    }
}
