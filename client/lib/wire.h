// wire.h - the binary request/reply format as the client sees it: the 32-byte
// request and reply headers, the field-size array of request bodies, the
// command and flag constants, and the packing of one request (optionally
// compressed or enciphered with the session key). Pure functions, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

inline constexpr size_t kHeaderSize = 32;
inline constexpr std::string_view kSignature = "SQLS";

// Request command codes (header byte 8).
namespace cmd {
inline constexpr uint8_t kEnvelope = 1;
inline constexpr uint8_t kSelect = 2;
inline constexpr uint8_t kExecute = 3;
inline constexpr uint8_t kClose = 7;
inline constexpr uint8_t kPing = 8;
inline constexpr uint8_t kChunk = 9;
inline constexpr uint8_t kChunkEnd = 10;
inline constexpr uint8_t kStepVm = 11;
inline constexpr uint8_t kClearPhase1 = 20;
inline constexpr uint8_t kClearPhase2 = 21;
inline constexpr uint8_t kEncryptPhase1 = 22;
inline constexpr uint8_t kEncryptPhase2 = 23;
inline constexpr uint8_t kTokenOffset = 20;  // 40..43 are the token variants of 20..23
}  // namespace cmd

// Request flags (header byte 10).
inline constexpr uint8_t kReqCompressed = 0x01;
inline constexpr uint8_t kReqServerSide = 0x40;

// Reply flags (header byte 10).
inline constexpr uint8_t kReplyRowid = 0x04;
inline constexpr uint8_t kReplyCompressed = 0x08;
inline constexpr uint8_t kReplyPartial = 0x20;
inline constexpr uint8_t kReplyServerSide = 0x40;
inline constexpr uint8_t kReplyTableNames = 0x80;

inline constexpr uint16_t kEndOfChunks = 777;
inline constexpr uint8_t kChunkOrdinary = 25;

// Protocol generations (header byte 14).
enum class Protocol : uint8_t { v2007 = 3, v2011 = 4 };

// Packet-encryption key types (header byte 13); kNone is a clear session.
enum class KeyType : uint8_t { kNone = 0, kAes128 = 2, kAes192 = 3, kAes256 = 4 };

struct RequestHeader {
    uint32_t body_length = 0;
    uint8_t command = 0;
    uint8_t selector = 0;
    uint8_t flags = 0;
    uint8_t bind_type = 0;
    uint8_t encryption = 0;
    uint8_t client_version = static_cast<uint8_t>(Protocol::v2011);
    uint8_t client_type = 0;
    uint32_t field_count = 0;
    uint32_t uncompressed_size = 0;
    uint32_t timeout = 12;
    uint16_t bind_index = 0;
};

struct ReplyHeader {
    uint32_t payload_length = 0;  // on the wire, IV included
    uint16_t code = 0;
    uint8_t flags = 0;
    uint8_t encryption = 0;
    uint32_t uncompressed_size = 0;
    uint32_t rows = 0;
    uint32_t columns = 0;
    uint32_t field_count = 0;
};

std::array<uint8_t, kHeaderSize> encode_request_header(const RequestHeader& h);
// nullopt when the bytes do not start with the signature.
std::optional<ReplyHeader> decode_reply_header(std::span<const uint8_t, kHeaderSize> bytes);
// The reverse pair, used by tests that play the server's part.
std::array<uint8_t, kHeaderSize> encode_reply_header(const ReplyHeader& h);
std::optional<RequestHeader> decode_request_header(std::span<const uint8_t, kHeaderSize> bytes);

// A text field carries its terminating NUL inside its size.
std::string text_field(std::string_view text);
// Big-endian field sizes followed by the fields, no padding.
std::string encode_fields(const std::vector<std::string>& fields);

// One request before packing.
struct Request {
    uint8_t command = 0;
    uint8_t selector = 0;
    uint8_t flags = 0;
    uint8_t bind_type = 0;
    uint16_t bind_index = 0;
    std::vector<std::string> fields;      // packed behind a field-size array
    std::optional<std::string> raw_body;  // CHUNK style: the body is the data itself
    bool compress = false;                // deflate the body (clear sessions only)
    // Header byte 13 without enciphering the body (login envelopes).
    std::optional<uint8_t> encryption_byte;
};

// The session key of an encrypted login.
struct SessionKey {
    KeyType type = KeyType::kNone;
    std::vector<uint8_t> key;  // 16, 24 or 32 bytes
};

struct PackContext {
    Protocol protocol = Protocol::v2011;
    uint8_t client_type = 0;
    uint32_t timeout = 12;
    const SessionKey* key = nullptr;  // encipher the body when set
    std::array<uint8_t, 16> iv{};     // IV used when enciphering
};

// Packs header and body. Throws Error (kUsage) for compression combined with
// a session key or a body above 4 GiB.
std::string pack_request(const Request& r, const PackContext& ctx);

// Big-endian helpers.
void put_u32(uint8_t* p, uint32_t v);
uint32_t get_u32(const uint8_t* p);

}  // namespace kestrix
