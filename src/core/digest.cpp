// digest.cpp - digests and encodings used by logins, SQL functions and keys.
#include "core/digest.h"

#include <openssl/evp.h>

namespace {

void evp_digest(const EVP_MD* md, const void* data, size_t len, unsigned char* out) {
    unsigned int n = 0;
    EVP_Digest(data, len, out, &n, md, nullptr);
}

const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

Sha1Digest sha1_bytes(const void* data, size_t len) {
    Sha1Digest d{};
    evp_digest(EVP_sha1(), data, len, d.data());
    return d;
}

std::string sha1_hex(const void* data, size_t len) {
    Sha1Digest d = sha1_bytes(data, len);
    return hex_lower(d.data(), d.size());
}

std::array<unsigned char, 16> md5_bytes(const void* data, size_t len) {
    std::array<unsigned char, 16> d{};
    evp_digest(EVP_md5(), data, len, d.data());
    return d;
}

std::string hex_lower(const void* data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string base64_encode(const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < len; i += 3) {
        uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += B64[v >> 18];
        out += B64[(v >> 12) & 63];
        out += B64[(v >> 6) & 63];
        out += B64[v & 63];
    }
    if (i < len) {
        uint32_t v = p[i] << 16;
        if (i + 1 < len) v |= p[i + 1] << 8;
        out += B64[v >> 18];
        out += B64[(v >> 12) & 63];
        out += i + 1 < len ? B64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : text) {
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad) return std::nullopt;  // data after padding
        int v = b64_value(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    if (pad > 2) return std::nullopt;
    return out;
}

std::string hash_password(std::string_view password) {
    Sha1Digest once = sha1_bytes(password.data(), password.size());
    Sha1Digest twice = sha1_bytes(once.data(), once.size());
    return base64_encode(twice.data(), twice.size());
}
