// digest.h - SHA-1, MD5, Base64 and hexadecimal helpers over libcrypto.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using Sha1Digest = std::array<unsigned char, 20>;

Sha1Digest sha1_bytes(const void* data, size_t len);
std::string sha1_hex(const void* data, size_t len);  // 40 lower-case digits
std::array<unsigned char, 16> md5_bytes(const void* data, size_t len);
std::string base64_encode(const void* data, size_t len);  // padded, no line breaks
std::optional<std::string> base64_decode(std::string_view text);
std::string hex_lower(const void* data, size_t len);

// The stored form of a password: Base64 of SHA-1 of SHA-1 of the password.
std::string hash_password(std::string_view password);
