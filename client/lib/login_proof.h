// login_proof.h - the computations of the login handshakes, as pure
// functions so that they can be checked without a server.
//
// D is SHA-1(SHA-1(password)), the digest the server stores (Base64-encoded).
// Clear handshake: the answer to a 20-byte challenge is SHA-1(challenge || D).
// Encrypted handshake: both sides prove knowledge of D by exchanging
// R || SHA-1(R) enciphered with AES-128 keyed by D[0..15]; the session key is
// derived from D, the client random Rc and the server random Rs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace kestrix {

using Digest = std::array<uint8_t, 20>;
using Iv = std::array<uint8_t, 16>;

Digest sha1(std::string_view bytes);
Digest password_digest(std::string_view password);  // D
std::string to_hex(std::string_view bytes);         // lower case

// Field 1 of the handshakes' phase 1.
std::string clear_user_proof(Protocol p, std::string_view user);
std::string encrypted_user_proof(Protocol p, std::string_view user, const Iv& iv);

// Clear phase 2: SHA-1(challenge || D).
Digest clear_response(std::string_view challenge, const Digest& d);

// IV || AES-128_{D[0..15]}(r || SHA-1(r)): 56 bytes.
std::string seal_random(const Digest& d, const Digest& r, const Iv& iv);
// Opens such a 56-byte packet; nullopt when its digest does not match.
std::optional<Digest> open_random(const Digest& d, std::string_view packet);

// The session key of key type 2, 3 or 4.
std::vector<uint8_t> derive_session_key(KeyType type, const Digest& d, const Digest& rc,
                                        const Digest& rs);

// IV || ciphertext of `plain` under the session key.
std::string seal_with_key(const SessionKey& key, std::string_view plain, const Iv& iv);
// Deciphers IV || ciphertext; throws Error (kProtocol) when shorter than an IV.
std::string open_with_key(const SessionKey& key, std::string_view packet);

// Random bytes from the system generator.
Iv random_iv();
Digest random_digest();

}  // namespace kestrix
