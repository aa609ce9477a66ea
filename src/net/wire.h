// wire.h - the binary wire format as pure functions over byte buffers: the
// 32-byte request header, the decoding of a request body (decryption,
// inflation, the field-size array) and the building of a reply. Nothing here
// touches a socket or a session, so every rule can be tested on bytes alone.
//
// Invariant of a decoded body: every field lies inside the usable body
// (offset + size <= usable length); a body whose field sizes reach past its
// end is refused, never read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t WIRE_HEADER_SIZE = 32;
constexpr size_t WIRE_IV_SIZE = 16;

// Reply header flags.
enum : uint8_t {
    REPLY_FLAG_ALWAYS = 0x01,
    REPLY_FLAG_ROWID = 0x04,
    REPLY_FLAG_COMPRESSED = 0x08,
    REPLY_FLAG_PARTIAL = 0x20,
    REPLY_FLAG_SERVER_SIDE = 0x40,
    REPLY_FLAG_TABLE_NAMES = 0x80,
};

// Request header flags (byte 10).
enum : uint8_t {
    REQ_FLAG_COMPRESSED = 0x01,
    REQ_FLAG_BINARY_PARAMS = 0x20,
    REQ_FLAG_SERVER_SIDE = 0x40,
};

uint32_t wire_be32(const unsigned char* p);
uint16_t wire_be16(const unsigned char* p);
void wire_put_be32(unsigned char* p, uint32_t v);
void wire_put_be16(unsigned char* p, uint16_t v);

struct RequestHeader {
    uint32_t body_len = 0;
    uint8_t command = 0;
    uint8_t selector = 0;
    uint8_t flags = 0;
    uint8_t bind_type = 0;
    uint8_t encryption = 0;
    uint8_t client_version = 0;
    uint8_t client_type = 0;
    uint32_t nfields = 0;
    uint32_t uncompressed = 0;
    uint32_t timeout = 0;
    uint16_t bind_index = 0;
};

// True when the first four of `n` bytes are "SQLS" (false for n < 4).
bool wire_has_signature(const unsigned char* bytes, size_t n);
RequestHeader wire_parse_header(const unsigned char* h);

// Outcome of wire_decode_body.
enum WireDecode {
    WIRE_OK = 0,
    WIRE_BAD_NFIELDS,   // the field-size array does not fit the body
    WIRE_BAD_CIPHER,    // encrypted body too short for its IV, or no key
    WIRE_BAD_INFLATE,   // announced size too large, or zlib failed
    WIRE_FIELD_BOUNDS,  // field sizes sum past the end of the body
};

struct DecodedBody {
    uint32_t nfields = 0;
    std::vector<uint32_t> sizes;
    std::vector<size_t> offsets;  // of each field in the (possibly replaced) buffer
    size_t usable = 0;            // valid bytes of the buffer after decoding
};

struct DecodeLimits {
    size_t min_buffer_size = 16384;
    size_t max_inflated = 4096000;  // largest announced uncompressed size
};

// Decodes the body held in buf[0 .. h.body_len). The body is decrypted in
// place with `key` (keylen 0: no key) when the header asks for it and the
// command is not the envelope; an inflated body replaces `buf`.
WireDecode wire_decode_body(const RequestHeader& h, std::vector<unsigned char>& buf,
                            const unsigned char* key, size_t keylen, const DecodeLimits& limits,
                            DecodedBody* out);

// The field count a request of this command carries in its body.
uint32_t wire_field_count(const RequestHeader& h);

// A reply ready for the socket: the header, then either `payload` (clear
// payload, not owned) or `packet` (IV + ciphertext, or compressed bytes).
struct ReplyParts {
    unsigned char header[WIRE_HEADER_SIZE] = {};
    const unsigned char* payload = nullptr;
    size_t payload_len = 0;
    std::vector<unsigned char> packet;
    bool uses_packet = false;
};

struct ReplyPlan {
    int code = 0;
    const void* payload = nullptr;
    size_t size = 0;
    uint8_t flags = 0;  // extra reply flags (0x01 is always added)
    int enc_type = 0;   // the request's encryption byte
    const unsigned char* key = nullptr;
    size_t keylen = 0;
    const unsigned char* iv = nullptr;  // 16 fresh random bytes when encrypting
    bool compress = false;              // the request allowed compression of partial data
    uint32_t rows = 0, columns = 0;
    bool cursor = false;
};

// Builds the reply pieces. Encrypts when enc_type is non-zero, a key is
// present, the payload is not empty and the code is not 777; compresses only
// partial replies (flag 0x20) when `compress` is set. Returns false when the
// cipher refused the key.
bool wire_build_reply(const ReplyPlan& plan, ReplyParts* out);

// Default message of an error code, or nullptr when it has none.
const char* get_error_str(int code);
