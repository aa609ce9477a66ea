// Wire format: header parsing, body decoding (malformed sizes, decryption,
// inflation) and reply building byte for byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/cipher.h"
#include "net/wire.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes be32(uint32_t v) {
    Bytes b(4);
    wire_put_be32(b.data(), v);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes text(const char* s, bool nul = true) {
    return Bytes(s, s + strlen(s) + (nul ? 1 : 0));
}

// A request body: the field-size array, then the fields.
Bytes body_of(const std::vector<Bytes>& fields) {
    Bytes out;
    for (const auto& f : fields) {
        Bytes n = be32(static_cast<uint32_t>(f.size()));
        out.insert(out.end(), n.begin(), n.end());
    }
    for (const auto& f : fields) out.insert(out.end(), f.begin(), f.end());
    return out;
}

RequestHeader header_for(uint8_t command, const Bytes& body, uint32_t nfields) {
    RequestHeader h;
    h.command = command;
    h.body_len = static_cast<uint32_t>(body.size());
    h.nfields = nfields;
    return h;
}

std::string field_text(const Bytes& buf, const DecodedBody& d, size_t i) {
    return std::string(reinterpret_cast<const char*>(buf.data() + d.offsets[i]), d.sizes[i]);
}

TEST(WireHeader, ParsesTheEncodedExecuteExample) {
    // A clear EXECUTE of "DELETE FROM t;" from a "2011" client, 12-second time-out.
    const Bytes request = cat({text("SQLS", false),
                               be32(0x13),
                               {3, 0, 0, 0, 0, 0, 4, 0},
                               be32(1),
                               be32(0),
                               be32(12),
                               {0, 0, 0, 0},
                               be32(15),
                               text("DELETE FROM t;")});
    ASSERT_EQ(request.size(), 51u);
    ASSERT_TRUE(wire_has_signature(request.data(), 4));
    RequestHeader h = wire_parse_header(request.data());
    EXPECT_EQ(h.body_len, 19u);
    EXPECT_EQ(h.command, 3);
    EXPECT_EQ(h.client_version, 4);
    EXPECT_EQ(h.nfields, 1u);
    EXPECT_EQ(h.timeout, 12u);

    Bytes buf(request.begin() + 32, request.end());
    DecodedBody d;
    ASSERT_EQ(wire_decode_body(h, buf, nullptr, 0, DecodeLimits{}, &d), WIRE_OK);
    ASSERT_EQ(d.nfields, 1u);
    EXPECT_EQ(field_text(buf, d, 0), std::string("DELETE FROM t;\0", 15));
}

TEST(WireHeader, SignatureNeedsFourBytes) {
    const unsigned char sqls[] = {'S', 'Q', 'L', 'S'};
    EXPECT_FALSE(wire_has_signature(sqls, 3));
    EXPECT_TRUE(wire_has_signature(sqls, 4));
    const unsigned char other[] = {'S', 'Q', 'L', 'X'};
    EXPECT_FALSE(wire_has_signature(other, 4));
}

struct MalformedCase {
    const char* name;
    uint8_t command;
    uint8_t selector;
    uint32_t nfields;
    Bytes body;
    WireDecode expected;
    uint32_t expected_fields;
};

TEST(WireDecodeBody, RefusesSizesThatDoNotFitTheBody) {
    const std::vector<MalformedCase> cases = {
        {"empty body keeps no fields", 3, 0, 5, {}, WIRE_OK, 0},
        {"exact fit", 3, 0, 2, body_of({text("ab"), text("c")}), WIRE_OK, 2},
        {"zero-size field at the end", 3, 0, 2, body_of({text("ab"), {}}), WIRE_OK, 2},
        {"size array longer than body", 3, 0, 2, be32(1), WIRE_BAD_NFIELDS, 0},
        {"field count overflowing 32 bits", 3, 0, 0x40000001u, be32(0), WIRE_BAD_NFIELDS, 0},
        {"field reaches past the end", 3, 0, 1, cat({be32(100), text("abc")}), WIRE_FIELD_BOUNDS,
         0},
        {"second field reaches past the end", 3, 0, 2,
         cat({be32(2), be32(3), text("ab", false), text("x", false)}), WIRE_FIELD_BOUNDS, 0},
        {"sizes that wrap around", 3, 0, 2, cat({be32(0xFFFFFFFFu), be32(2), text("ab", false)}),
         WIRE_FIELD_BOUNDS, 0},
        {"chunk ignores the field count", 9, 0, 7, text("raw bytes"), WIRE_OK, 0},
        {"chunk bind 27 ignores the field count", 19, 27, 7, text("raw"), WIRE_OK, 0},
        {"chunk bind 26 counts its fields", 19, 26, 7, text("raw"), WIRE_BAD_NFIELDS, 0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RequestHeader h = header_for(tc.command, tc.body, tc.nfields);
        h.selector = tc.selector;
        Bytes buf = tc.body;
        buf.resize(buf.size() + 16);  // the session buffer is always larger than the body
        DecodedBody d;
        EXPECT_EQ(wire_decode_body(h, buf, nullptr, 0, DecodeLimits{}, &d), tc.expected);
        if (tc.expected == WIRE_OK) {
            EXPECT_EQ(d.nfields, tc.expected_fields);
        }
    }
}

Bytes compress_bytes(const Bytes& in) {
    uLongf n = compressBound(static_cast<uLong>(in.size()));
    Bytes out(n);
    EXPECT_EQ(compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
    out.resize(n);
    return out;
}

TEST(WireDecodeBody, InflatesCompressedBodies) {
    const Bytes plain = body_of({text("SELECT * FROM t;"), Bytes(5000, 'z')});
    const Bytes packed = compress_bytes(plain);
    RequestHeader h = header_for(2, packed, 2);
    h.flags = REQ_FLAG_COMPRESSED;
    h.uncompressed = static_cast<uint32_t>(plain.size());
    Bytes buf = packed;
    DecodedBody d;
    DecodeLimits limits;
    limits.min_buffer_size = 16384;
    ASSERT_EQ(wire_decode_body(h, buf, nullptr, 0, limits, &d), WIRE_OK);
    EXPECT_GE(buf.size(), limits.min_buffer_size);
    EXPECT_EQ(d.usable, plain.size());
    ASSERT_EQ(d.nfields, 2u);
    EXPECT_EQ(field_text(buf, d, 0), std::string("SELECT * FROM t;\0", 17));
    EXPECT_EQ(field_text(buf, d, 1), std::string(5000, 'z'));
}

TEST(WireDecodeBody, RefusesBadCompressedBodies) {
    const Bytes plain = body_of({text("abc")});
    const Bytes packed = compress_bytes(plain);
    struct Case {
        const char* name;
        Bytes body;
        uint32_t announced;
        size_t max_inflated;
    } cases[] = {
        {"not a zlib stream", text("garbage garbage"), 100, 4096000},
        {"announced size above the limit", packed, 5000000, 4096000},
        {"truncated stream", Bytes(packed.begin(), packed.end() - 3), 100, 4096000},
    };
    for (auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        RequestHeader h = header_for(3, tc.body, 1);
        h.flags = REQ_FLAG_COMPRESSED;
        h.uncompressed = tc.announced;
        DecodeLimits limits;
        limits.max_inflated = tc.max_inflated;
        Bytes buf = tc.body;
        DecodedBody d;
        EXPECT_EQ(wire_decode_body(h, buf, nullptr, 0, limits, &d), WIRE_BAD_INFLATE);
    }
}

TEST(WireDecodeBody, UncompressedFlagWithoutSizeIsPlain) {
    const Bytes body = body_of({text("abc")});
    RequestHeader h = header_for(3, body, 1);
    h.flags = REQ_FLAG_COMPRESSED;  // replies may be compressed; the body is not
    Bytes buf = body;
    DecodedBody d;
    ASSERT_EQ(wire_decode_body(h, buf, nullptr, 0, DecodeLimits{}, &d), WIRE_OK);
    EXPECT_EQ(field_text(buf, d, 0), std::string("abc\0", 4));
}

const unsigned char KEY[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12,
                               13, 14, 15, 16, 17, 18, 19, 20, 0, 0,  0,  0};

// Encrypts everything after the field-size array, as a client does.
Bytes encrypt_body(const std::vector<Bytes>& fields, size_t keylen) {
    Bytes sizes, plain;
    for (const auto& f : fields) {
        Bytes n = be32(static_cast<uint32_t>(f.size()));
        sizes.insert(sizes.end(), n.begin(), n.end());
        plain.insert(plain.end(), f.begin(), f.end());
    }
    Bytes packet(16, 0x5A);
    packet.insert(packet.end(), plain.begin(), plain.end());
    EXPECT_EQ(encrypt_buffer(KEY, keylen, packet.data(), plain.size()), 1);
    return cat({sizes, packet});
}

TEST(WireDecodeBody, DecryptsEncryptedBodies) {
    for (size_t keylen : {16u, 24u}) {
        for (const char* sql : {"ab", "SELECT name FROM sqlite_master WHERE type='table';"}) {
            SCOPED_TRACE(sql);
            const Bytes body = encrypt_body({text(sql), text("2nd")}, keylen);
            RequestHeader h = header_for(3, body, 2);
            h.encryption = keylen == 16 ? 2 : 3;
            Bytes buf = body;
            DecodedBody d;
            ASSERT_EQ(wire_decode_body(h, buf, KEY, keylen, DecodeLimits{}, &d), WIRE_OK);
            EXPECT_EQ(field_text(buf, d, 0), std::string(sql) + '\0');
            EXPECT_EQ(field_text(buf, d, 1), std::string("2nd\0", 4));
            EXPECT_EQ(d.usable, body.size() - 16);
        }
    }
}

TEST(WireDecodeBody, EncryptedBodiesNeedAKeyAndAnIv) {
    const Bytes body = encrypt_body({text("abc")}, 16);
    RequestHeader h = header_for(3, body, 1);
    h.encryption = 2;
    Bytes buf = body;
    DecodedBody d;
    EXPECT_EQ(wire_decode_body(h, buf, nullptr, 0, DecodeLimits{}, &d), WIRE_BAD_CIPHER);

    const Bytes short_body = cat({be32(0), Bytes(10, 1)});  // region shorter than an IV
    h = header_for(3, short_body, 1);
    h.encryption = 2;
    buf = short_body;
    EXPECT_EQ(wire_decode_body(h, buf, KEY, 16, DecodeLimits{}, &d), WIRE_BAD_CIPHER);

    // Sizes that are valid for the ciphertext but not for the shorter plaintext.
    const Bytes lying = cat({be32(20), Bytes(16 + 4, 7)});
    h = header_for(3, lying, 1);
    h.encryption = 2;
    buf = lying;
    EXPECT_EQ(wire_decode_body(h, buf, KEY, 16, DecodeLimits{}, &d), WIRE_FIELD_BOUNDS);
}

TEST(WireDecodeBody, EnvelopeBodiesAreNotDecrypted) {
    const Bytes body = body_of({text("user"), Bytes(56, 9)});
    RequestHeader h = header_for(1, body, 2);
    h.selector = 22;
    h.encryption = 2;
    Bytes buf = body;
    DecodedBody d;
    ASSERT_EQ(wire_decode_body(h, buf, nullptr, 0, DecodeLimits{}, &d), WIRE_OK);
    EXPECT_EQ(d.sizes[1], 56u);
    EXPECT_EQ(buf[d.offsets[1]], 9);
}

Bytes header_bytes(const ReplyParts& r) {
    return Bytes(r.header, r.header + WIRE_HEADER_SIZE);
}

TEST(WireReply, AcknowledgementIsTheBareHeader) {
    ReplyPlan plan;
    ReplyParts r;
    ASSERT_TRUE(wire_build_reply(plan, &r));
    Bytes expected = {'S', 'Q', 'L', 'S', 0, 0, 0, 0, 0, 0, 1};
    expected.resize(32, 0);
    EXPECT_EQ(header_bytes(r), expected);
    EXPECT_EQ(r.payload_len, 0u);
}

TEST(WireReply, ErrorAndDataReplies) {
    const char msg[] = "Wrong command.";
    ReplyPlan plan;
    plan.code = 7016;
    plan.payload = msg;
    plan.size = sizeof(msg);
    ReplyParts r;
    ASSERT_TRUE(wire_build_reply(plan, &r));
    EXPECT_EQ(wire_be32(r.header + 4), 15u);
    EXPECT_EQ(wire_be16(r.header + 8), 7016);
    EXPECT_EQ(r.header[10], 1);
    EXPECT_EQ(wire_be32(r.header + 24), 0u);  // error replies carry no field
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.payload), r.payload_len),
              std::string(msg, sizeof(msg)));

    const unsigned char challenge[20] = {7};
    plan = ReplyPlan{};
    plan.payload = challenge;
    plan.size = sizeof(challenge);
    ASSERT_TRUE(wire_build_reply(plan, &r));
    EXPECT_EQ(wire_be32(r.header + 4), 20u);
    EXPECT_EQ(wire_be32(r.header + 24), 1u);  // success with payload: one field
    EXPECT_EQ(r.payload, challenge);          // clear payloads are not copied
}

TEST(WireReply, EncryptedPayloadsCarryTheirIv) {
    const unsigned char iv[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                  0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    const struct {
        size_t payload;
        uint32_t on_wire;
    } cases[] = {{5, 21}, {16, 32}, {33, 49}, {1000, 1016}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.payload);
        Bytes payload(tc.payload);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i);
        ReplyPlan plan;
        plan.payload = payload.data();
        plan.size = payload.size();
        plan.enc_type = 3;
        plan.key = KEY;
        plan.keylen = 24;
        plan.iv = iv;
        ReplyParts r;
        ASSERT_TRUE(wire_build_reply(plan, &r));
        EXPECT_EQ(wire_be32(r.header + 4), tc.on_wire);
        EXPECT_EQ(r.header[11], 3);
        ASSERT_EQ(r.payload_len, tc.on_wire);
        if (tc.payload < 16) {
            // A short payload is folded into the IV: its last bytes are ciphertext.
            EXPECT_EQ(Bytes(r.payload, r.payload + 5), Bytes(iv, iv + 5));
            EXPECT_NE(Bytes(r.payload + 5, r.payload + 16), Bytes(iv + 5, iv + 16));
        } else {
            EXPECT_EQ(Bytes(r.payload, r.payload + 16), Bytes(iv, iv + 16));
        }
        Bytes packet(r.payload, r.payload + r.payload_len);
        ASSERT_EQ(decrypt_buffer(KEY, 24, packet.data(), tc.payload), 1);
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + tc.payload), payload);
    }
}

TEST(WireReply, EndOfChunksIsNeverEncryptedNorCarriesPayload) {
    const unsigned char iv[16] = {};
    const char data[] = "left over";
    ReplyPlan plan;
    plan.code = 777;
    plan.payload = data;
    plan.size = sizeof(data);
    plan.enc_type = 2;
    plan.key = KEY;
    plan.keylen = 16;
    plan.iv = iv;
    plan.flags = REPLY_FLAG_PARTIAL;
    plan.compress = true;
    ReplyParts r;
    ASSERT_TRUE(wire_build_reply(plan, &r));
    EXPECT_EQ(wire_be32(r.header + 4), 0u);
    EXPECT_EQ(r.header[11], 0);
    EXPECT_EQ(r.payload_len, 0u);
}

TEST(WireReply, OnlyPartialDataIsCompressed) {
    const Bytes data(4000, 'q');
    for (uint8_t flags : {uint8_t{0}, uint8_t{REPLY_FLAG_PARTIAL}}) {
        ReplyPlan plan;
        plan.payload = data.data();
        plan.size = data.size();
        plan.flags = flags;
        plan.compress = true;
        ReplyParts r;
        ASSERT_TRUE(wire_build_reply(plan, &r));
        if (flags == 0) {
            EXPECT_EQ(r.payload_len, data.size());
            EXPECT_EQ(r.header[10], REPLY_FLAG_ALWAYS);
            continue;
        }
        EXPECT_EQ(r.header[10], REPLY_FLAG_ALWAYS | REPLY_FLAG_PARTIAL | REPLY_FLAG_COMPRESSED);
        EXPECT_EQ(wire_be32(r.header + 12), data.size());
        ASSERT_LT(r.payload_len, data.size());
        Bytes out(data.size());
        uLongf n = static_cast<uLongf>(out.size());
        ASSERT_EQ(uncompress(out.data(), &n, r.payload, static_cast<uLong>(r.payload_len)), Z_OK);
        EXPECT_EQ(out, data);
    }
}

TEST(WireErrors, DefaultMessages) {
    EXPECT_STREQ(get_error_str(7016), "Wrong command.");
    EXPECT_STREQ(get_error_str(7056), "Incorrect username or password.");
    EXPECT_EQ(get_error_str(7015), nullptr);  // always sent with its own message
    EXPECT_EQ(get_error_str(1234), nullptr);
}

}  // namespace
