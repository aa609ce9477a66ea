// cipher.h - the packet cipher: AES (128, 192 or 256-bit key) in CBC mode
// with ciphertext stealing and no padding, so a ciphertext is exactly as long
// as its plaintext. A packet is a 16-byte IV followed by the ciphertext.
// Also seals stored database keys.
#pragma once

#include <cstddef>

// `packet` holds 16 IV bytes (filled by the caller) and then `len` plaintext
// bytes; both are enciphered in place (a payload under 16 bytes also changes
// the IV bytes that are sent). `keylen` is 16, 24 or 32. Returns 1, or 0 for
// a bad key length.
int encrypt_buffer(const unsigned char* key, size_t keylen, unsigned char* packet, size_t len);

// `packet` holds the 16 IV bytes and `len` ciphertext bytes; the plaintext is
// left at the start of `packet` (the IV is overwritten). Returns 1, or 0 for a
// bad key length.
int decrypt_buffer(const unsigned char* key, size_t keylen, unsigned char* packet, size_t len);
