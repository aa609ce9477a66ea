// wire.cpp - header encoding and request packing.
#include "wire.h"

#include <zlib.h>

#include <cstring>
#include <limits>

#include "error.h"
#include "net/cipher.h"

namespace kestrix {

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get_u32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

namespace {

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool has_signature(const uint8_t* p) {
    return std::memcmp(p, kSignature.data(), 4) == 0;
}

uint32_t checked_u32(size_t n) {
    if (n > std::numeric_limits<uint32_t>::max())
        throw Error(Error::kUsage, "request body above 4 GiB");
    return static_cast<uint32_t>(n);
}

std::string deflate_body(const std::string& body) {
    uLongf cap = compressBound(static_cast<uLong>(body.size()));
    std::string out(cap, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &cap,
                  reinterpret_cast<const Bytef*>(body.data()), static_cast<uLong>(body.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
        throw Error(Error::kUsage, "compression failed");
    out.resize(cap);
    return out;
}

// Body after the field-size array (or the whole raw body) becomes IV || ciphertext.
std::string encipher_tail(const std::string& body, size_t clear_prefix, const PackContext& ctx) {
    std::string out = body.substr(0, clear_prefix);
    std::string packet(ctx.iv.begin(), ctx.iv.end());
    packet.append(body, clear_prefix);
    size_t len = body.size() - clear_prefix;
    if (!encrypt_buffer(ctx.key->key.data(), ctx.key->key.size(),
                        reinterpret_cast<unsigned char*>(packet.data()), len))
        throw Error(Error::kUsage, "bad session key length");
    return out + packet;
}

}  // namespace

std::array<uint8_t, kHeaderSize> encode_request_header(const RequestHeader& h) {
    std::array<uint8_t, kHeaderSize> b{};
    std::memcpy(b.data(), kSignature.data(), 4);
    put_u32(&b[4], h.body_length);
    b[8] = h.command;
    b[9] = h.selector;
    b[10] = h.flags;
    b[12] = h.bind_type;
    b[13] = h.encryption;
    b[14] = h.client_version;
    b[15] = h.client_type;
    put_u32(&b[16], h.field_count);
    put_u32(&b[20], h.uncompressed_size);
    put_u32(&b[24], h.timeout);
    put_u16(&b[28], h.bind_index);
    return b;
}

std::optional<RequestHeader> decode_request_header(std::span<const uint8_t, kHeaderSize> b) {
    if (!has_signature(b.data())) return std::nullopt;
    RequestHeader h;
    h.body_length = get_u32(&b[4]);
    h.command = b[8];
    h.selector = b[9];
    h.flags = b[10];
    h.bind_type = b[12];
    h.encryption = b[13];
    h.client_version = b[14];
    h.client_type = b[15];
    h.field_count = get_u32(&b[16]);
    h.uncompressed_size = get_u32(&b[20]);
    h.timeout = get_u32(&b[24]);
    h.bind_index = get_u16(&b[28]);
    return h;
}

std::array<uint8_t, kHeaderSize> encode_reply_header(const ReplyHeader& h) {
    std::array<uint8_t, kHeaderSize> b{};
    std::memcpy(b.data(), kSignature.data(), 4);
    put_u32(&b[4], h.payload_length);
    put_u16(&b[8], h.code);
    b[10] = h.flags;
    b[11] = h.encryption;
    put_u32(&b[12], h.uncompressed_size);
    put_u32(&b[16], h.rows);
    put_u32(&b[20], h.columns);
    put_u32(&b[24], h.field_count);
    return b;
}

std::optional<ReplyHeader> decode_reply_header(std::span<const uint8_t, kHeaderSize> b) {
    if (!has_signature(b.data())) return std::nullopt;
    ReplyHeader h;
    h.payload_length = get_u32(&b[4]);
    h.code = get_u16(&b[8]);
    h.flags = b[10];
    h.encryption = b[11];
    h.uncompressed_size = get_u32(&b[12]);
    h.rows = get_u32(&b[16]);
    h.columns = get_u32(&b[20]);
    h.field_count = get_u32(&b[24]);
    return h;
}

std::string text_field(std::string_view text) {
    std::string f(text);
    f.push_back('\0');
    return f;
}

std::string encode_fields(const std::vector<std::string>& fields) {
    std::string out(4 * fields.size(), '\0');
    for (size_t i = 0; i < fields.size(); ++i)
        put_u32(reinterpret_cast<uint8_t*>(out.data()) + 4 * i, checked_u32(fields[i].size()));
    for (const auto& f : fields) out += f;
    return out;
}

std::string pack_request(const Request& r, const PackContext& ctx) {
    RequestHeader h;
    h.command = r.command;
    h.selector = r.selector;
    h.flags = r.flags;
    h.bind_type = r.bind_type;
    h.bind_index = r.bind_index;
    h.client_version = static_cast<uint8_t>(ctx.protocol);
    h.client_type = ctx.client_type;
    h.timeout = ctx.timeout;
    std::string body = r.raw_body ? *r.raw_body : encode_fields(r.fields);
    h.field_count = r.raw_body ? 0 : checked_u32(r.fields.size());
    bool encipher = ctx.key && ctx.key->type != KeyType::kNone && !r.encryption_byte &&
                    !body.empty() && r.command != cmd::kEnvelope;
    if (r.compress && !body.empty()) {
        if (encipher) throw Error(Error::kUsage, "compression of enciphered requests");
        h.flags |= kReqCompressed;
        h.uncompressed_size = checked_u32(body.size());
        body = deflate_body(body);
    }
    if (encipher) {
        h.encryption = static_cast<uint8_t>(ctx.key->type);
        body = encipher_tail(body, 4 * size_t{h.field_count}, ctx);
    }
    if (r.encryption_byte) h.encryption = *r.encryption_byte;
    h.body_length = checked_u32(body.size());
    auto head = encode_request_header(h);
    std::string out(head.begin(), head.end());
    return out + body;
}

}  // namespace kestrix
