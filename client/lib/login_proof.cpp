// login_proof.cpp - digests, sealed randoms and session-key derivation.
#include "login_proof.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "core/digest.h"
#include "error.h"
#include "net/cipher.h"

namespace kestrix {

Digest sha1(std::string_view bytes) {
    Sha1Digest d = sha1_bytes(bytes.data(), bytes.size());
    Digest out;
    std::copy(d.begin(), d.end(), out.begin());
    return out;
}

namespace {

std::string_view as_view(const Digest& d) {
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

std::string_view as_view(const Iv& iv) {
    return {reinterpret_cast<const char*>(iv.data()), iv.size()};
}

void fill_random(uint8_t* p, size_t n) {
    if (RAND_bytes(p, static_cast<int>(n)) != 1)
        throw Error(Error::kUsage, "system random generator failed");
}

}  // namespace

Digest password_digest(std::string_view password) {
    return sha1(as_view(sha1(password)));
}

std::string to_hex(std::string_view bytes) {
    return hex_lower(bytes.data(), bytes.size());
}

std::string clear_user_proof(Protocol p, std::string_view user) {
    return p == Protocol::v2011 ? to_hex(as_view(sha1(user))) : std::string(user);
}

std::string encrypted_user_proof(Protocol p, std::string_view user, const Iv& iv) {
    if (p != Protocol::v2011) return std::string(user);
    std::string salted(user);
    salted += to_hex(as_view(iv));
    return to_hex(as_view(sha1(salted)));
}

Digest clear_response(std::string_view challenge, const Digest& d) {
    std::string joined(challenge);
    joined += as_view(d);
    return sha1(joined);
}

std::string seal_random(const Digest& d, const Digest& r, const Iv& iv) {
    std::string packet(as_view(iv));
    packet += as_view(r);
    packet += as_view(sha1(as_view(r)));
    encrypt_buffer(d.data(), 16, reinterpret_cast<unsigned char*>(packet.data()), 40);
    return packet;
}

std::optional<Digest> open_random(const Digest& d, std::string_view packet) {
    if (packet.size() != 56) return std::nullopt;
    std::string buf(packet);
    decrypt_buffer(d.data(), 16, reinterpret_cast<unsigned char*>(buf.data()), 40);
    Digest r;
    std::memcpy(r.data(), buf.data(), 20);
    Digest check = sha1(as_view(r));
    if (std::memcmp(check.data(), buf.data() + 20, 20) != 0) return std::nullopt;
    return r;
}

std::vector<uint8_t> derive_session_key(KeyType type, const Digest& d, const Digest& rc,
                                        const Digest& rs) {
    std::string joined(as_view(d));
    joined += as_view(rc);
    joined += as_view(rs);
    Digest h1 = sha1(joined);
    Digest x;
    for (size_t i = 0; i < x.size(); ++i) x[i] = rc[i] ^ rs[i];
    Digest h2 = sha1(as_view(x));
    std::vector<uint8_t> k(32, 0);
    switch (type) {
        case KeyType::kAes128:
            std::copy_n(h1.begin(), 16, k.begin());
            k.resize(16);
            break;
        case KeyType::kAes192:
            std::copy_n(h1.begin(), 20, k.begin());
            std::copy_n(h2.begin(), 4, k.begin());
            k.resize(24);
            break;
        case KeyType::kAes256:
            std::copy_n(h1.begin(), 20, k.begin());
            std::copy_n(h2.begin(), 12, k.begin());
            break;
        default:
            throw Error(Error::kUsage, "no session key for a clear login");
    }
    return k;
}

std::string seal_with_key(const SessionKey& key, std::string_view plain, const Iv& iv) {
    std::string packet(as_view(iv));
    packet += plain;
    if (!encrypt_buffer(key.key.data(), key.key.size(),
                        reinterpret_cast<unsigned char*>(packet.data()), plain.size()))
        throw Error(Error::kUsage, "bad session key length");
    return packet;
}

std::string open_with_key(const SessionKey& key, std::string_view packet) {
    if (packet.size() < 16) throw Error(Error::kProtocol, "enciphered payload without IV");
    std::string buf(packet);
    size_t len = packet.size() - 16;
    if (!decrypt_buffer(key.key.data(), key.key.size(),
                        reinterpret_cast<unsigned char*>(buf.data()), len))
        throw Error(Error::kProtocol, "bad session key length");
    buf.resize(len);
    return buf;
}

Iv random_iv() {
    Iv iv;
    fill_random(iv.data(), iv.size());
    return iv;
}

Digest random_digest() {
    Digest d;
    fill_random(d.data(), d.size());
    return d;
}

}  // namespace kestrix
