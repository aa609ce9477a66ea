// wire.cpp - header parsing, body decoding and reply building of the binary
// protocol. All multi-byte integers on the wire are big-endian. Sizes coming
// from the peer are checked in 64-bit arithmetic before any byte is touched.
#include "net/wire.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "net/cipher.h"

uint32_t wire_be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint16_t wire_be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void wire_put_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void wire_put_be16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

bool wire_has_signature(const unsigned char* bytes, size_t n) {
    return n >= 4 && memcmp(bytes, "SQLS", 4) == 0;
}

RequestHeader wire_parse_header(const unsigned char* h) {
    RequestHeader r;
    r.body_len = wire_be32(h + 4);
    r.command = h[8];
    r.selector = h[9];
    r.flags = h[10];
    r.bind_type = h[12];
    r.encryption = h[13];
    r.client_version = h[14];
    r.client_type = h[15];
    r.nfields = wire_be32(h + 16);
    r.uncompressed = wire_be32(h + 20);
    r.timeout = wire_be32(h + 24);
    r.bind_index = wire_be16(h + 28);
    return r;
}

uint32_t wire_field_count(const RequestHeader& h) {
    if (h.command == 9 || (h.command == 19 && h.selector == 27)) return 0;
    return h.nfields;
}

namespace {

// Inflates buf[0 .. len) into a new buffer that replaces `buf`.
WireDecode inflate_body(const RequestHeader& h, std::vector<unsigned char>& buf, size_t len,
                        const DecodeLimits& limits, size_t* usable) {
    if (h.uncompressed > limits.max_inflated) return WIRE_BAD_INFLATE;
    std::vector<unsigned char> out;
    try {
        out.resize(
            std::max<size_t>(static_cast<size_t>(h.uncompressed) + 1024, limits.min_buffer_size));
    } catch (const std::bad_alloc&) {
        return WIRE_BAD_INFLATE;
    }
    uLongf dest = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &dest, buf.data(), static_cast<uLong>(len)) != Z_OK)
        return WIRE_BAD_INFLATE;
    buf.swap(out);
    *usable = dest;
    return WIRE_OK;
}

}  // namespace

WireDecode wire_decode_body(const RequestHeader& h, std::vector<unsigned char>& buf,
                            const unsigned char* key, size_t keylen, const DecodeLimits& limits,
                            DecodedBody* out) {
    *out = DecodedBody{};
    if (h.body_len == 0) return WIRE_OK;
    if (buf.size() < h.body_len) return WIRE_BAD_NFIELDS;
    const uint32_t nfields = wire_field_count(h);
    const uint64_t array_len = 4ull * nfields;
    if (array_len > h.body_len) return WIRE_BAD_NFIELDS;
    size_t usable = h.body_len;

    if (h.encryption != 0 && h.command != 1) {
        size_t region = h.body_len - static_cast<size_t>(array_len);
        if (region < WIRE_IV_SIZE || keylen == 0) return WIRE_BAD_CIPHER;
        if (!decrypt_buffer(key, keylen, buf.data() + array_len, region - WIRE_IV_SIZE))
            return WIRE_BAD_CIPHER;
        usable -= WIRE_IV_SIZE;
    }
    if ((h.flags & REQ_FLAG_COMPRESSED) && h.uncompressed != 0) {
        WireDecode rc = inflate_body(h, buf, usable, limits, &usable);
        if (rc != WIRE_OK) return rc;
        if (array_len > usable) return WIRE_BAD_NFIELDS;
    }

    out->nfields = nfields;
    out->sizes.resize(nfields);
    out->offsets.resize(nfields);
    uint64_t offset = array_len;
    for (uint32_t i = 0; i < nfields; ++i) {
        uint32_t size = wire_be32(buf.data() + 4ull * i);
        if (offset + size > usable) return WIRE_FIELD_BOUNDS;
        out->sizes[i] = size;
        out->offsets[i] = static_cast<size_t>(offset);
        offset += size;
    }
    out->usable = usable;
    return WIRE_OK;
}

namespace {

bool compress_payload(const ReplyPlan& plan, ReplyParts* out) {
    uLongf bound = compressBound(static_cast<uLong>(plan.size));
    out->packet.resize(bound);
    if (compress2(out->packet.data(), &bound, static_cast<const Bytef*>(plan.payload),
                  static_cast<uLong>(plan.size), Z_DEFAULT_COMPRESSION) != Z_OK) {
        out->packet.clear();
        return false;
    }
    out->packet.resize(bound);
    return true;
}

}  // namespace

bool wire_build_reply(const ReplyPlan& plan, ReplyParts* out) {
    unsigned char* h = out->header;
    memset(h, 0, WIRE_HEADER_SIZE);
    memcpy(h, "SQLS", 4);
    uint8_t flags = static_cast<uint8_t>(plan.flags | REPLY_FLAG_ALWAYS);
    const bool has_payload = plan.payload != nullptr && plan.size > 0;
    const bool encrypt = plan.enc_type != 0 && plan.keylen != 0 && has_payload && plan.code != 777;
    out->packet.clear();
    out->uses_packet = false;
    out->payload = static_cast<const unsigned char*>(plan.payload);
    out->payload_len = has_payload ? plan.size : 0;
    uint32_t uncompressed = 0;

    if (encrypt) {
        out->packet.resize(WIRE_IV_SIZE + plan.size);
        memcpy(out->packet.data(), plan.iv, WIRE_IV_SIZE);
        memcpy(out->packet.data() + WIRE_IV_SIZE, plan.payload, plan.size);
        if (!encrypt_buffer(plan.key, plan.keylen, out->packet.data(), plan.size)) return false;
        out->uses_packet = true;
    } else if (has_payload && plan.compress && (plan.flags & REPLY_FLAG_PARTIAL) &&
               plan.code != 777 && compress_payload(plan, out)) {
        out->uses_packet = true;
        flags |= REPLY_FLAG_COMPRESSED;
        uncompressed = static_cast<uint32_t>(plan.size);
    }
    if (out->uses_packet) {
        out->payload = out->packet.data();
        out->payload_len = out->packet.size();
    }
    if (plan.code == 777) out->payload_len = 0;

    wire_put_be32(h + 4, static_cast<uint32_t>(out->payload_len));
    wire_put_be16(h + 8, static_cast<uint16_t>(plan.code));
    h[10] = flags;
    h[11] = encrypt ? static_cast<unsigned char>(plan.enc_type) : 0;
    wire_put_be32(h + 12, uncompressed);
    wire_put_be32(h + 16, plan.rows);
    wire_put_be32(h + 20, plan.columns);
    if (!plan.cursor) wire_put_be32(h + 24, (plan.code == 0 && out->payload_len > 0) ? 1 : 0);
    return true;
}

const char* get_error_str(int code) {
    static const struct {
        int code;
        const char* text;
    } MESSAGES[] = {
        {7001, "A timeout error has occured."},
        {7002, "Error while reading command from the client."},
        {7003, "Not enough memory to complete the requested operation."},
        {7005, "The client request is badly formed (wrong number of fields)."},
        {7006, "The client request is badly formed (incorrect field data)."},
        {7007, "Databases not found."},
        {7008, "Authentication failed."},
        {7009, "An internal error has occured in the SQLite engine."},
        {7011, "An internal error has occured inside the virtual machine."},
        {7012, "Incompatible protocol version."},
        {7013, "An internal error has occured in the zlib engine."},
        {7014, "An internal error has occured in the AES engine"},
        {7016, "Wrong command."},
        {7019, "The maximum number of allowed databases has been reached."},
        {7020, "The maximum number of allowed connections has been reached."},
        {7021, "Not enough privileges to complete the requested operation."},
        {7022, "Not enough privileges to complete the requested operation."},
        {7023, "SELECT statement empty or badly formed."},
        {7024, "The selected record is already locked."},
        {7025, "Wrong context for the requested operation."},
        {7026, "Syntax error for the requested command."},
        {7027, "The selected database is stopped."},
        {7028, "Database already exists."},
        {7029, "The selected database is currently in use."},
        {7030, "The operation couldn't be completed because no database has been selected."},
        {7032, "Empty SQL statement."},
        {7033, "Unknown user."},
        {7034, "Unknown group."},
        {7035, "Couldn't create user."},
        {7036, "Couldn't drop user."},
        {7037, "Duplicate username."},
        {7039, "Couldn't create database."},
        {7040, "Wrong sequence of commands."},
        {7041, "Duplicate group."},
        {7042, "Couldn't open database."},
        {7043, "Couldn't read server info."},
        {7044, "Couldn't drop group."},
        {7045, "Unrecognized privilege."},
        {7046, "Incomplete SQL statement."},
        {7047, "Incorrect number of arguments."},
        {7056, "Incorrect username or password."},
        {7057, "Current connection type is disabled."},
        {7058, "Token authorization failed."},
        {7666,
         "A lock timeout error has occured. You should send a RESET ERROR command in order to "
         "clear this error."},
    };
    for (const auto& m : MESSAGES)
        if (m.code == code) return m.text;
    return nullptr;
}
