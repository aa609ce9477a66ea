// login_proof.cpp - the computations of the handshakes and the failed-login
// throttling, free of sessions and sockets.
//
// Throttling works on the Logins table (username, times, lasttime): `times`
// counts failures inside the window of DISABLED_LOGIN_HOURS, `lasttime` is the
// minute of the last failure, and lasttime 1 marks a user disabled by the
// administrator. The clock is replaceable so the window can be tested.
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "core/sqlite_raii.h"
#include "net/cipher.h"
#include "net/login.h"
#include "server/settings.h"
#include "server/util.h"

Sha1Digest login_clear_response(const unsigned char challenge[20], const unsigned char digest[20]) {
    unsigned char joined[40];
    memcpy(joined, challenge, 20);
    memcpy(joined + 20, digest, 20);
    return sha1_bytes(joined, sizeof(joined));
}

bool login_open_client_random(const unsigned char* field, size_t len,
                              const unsigned char digest[20], unsigned char rc[20]) {
    if (!field || len != 56) return false;
    unsigned char packet[56];
    memcpy(packet, field, sizeof(packet));
    if (!decrypt_buffer(digest, 16, packet, 40)) return false;
    Sha1Digest check = sha1_bytes(packet, 20);
    if (CRYPTO_memcmp(check.data(), packet + 20, 20) != 0) return false;
    memcpy(rc, packet, 20);
    return true;
}

void login_seal_server_random(const unsigned char digest[20], const unsigned char rs[20],
                              const unsigned char iv[16], unsigned char out[56]) {
    memcpy(out, iv, 16);
    memcpy(out + 16, rs, 20);
    Sha1Digest check = sha1_bytes(rs, 20);
    memcpy(out + 36, check.data(), 20);
    encrypt_buffer(digest, 16, out, 40);
}

size_t generate_session_key(unsigned char key[32], int type, const unsigned char digest[20],
                            const unsigned char rc[20], const unsigned char rs[20]) {
    unsigned char joined[60];
    memcpy(joined, digest, 20);
    memcpy(joined + 20, rc, 20);
    memcpy(joined + 40, rs, 20);
    Sha1Digest h1 = sha1_bytes(joined, sizeof(joined));
    unsigned char mixed[20];
    for (int i = 0; i < 20; ++i) mixed[i] = rc[i] ^ rs[i];
    Sha1Digest h2 = sha1_bytes(mixed, sizeof(mixed));
    memset(key, 0, 32);
    switch (type) {
        case 2:
            memcpy(key, h1.data(), 16);
            return 16;
        case 3:
            memcpy(key, h1.data(), 20);
            memcpy(key, h2.data(), 4);
            return 24;
        case 4:
            memcpy(key, h1.data(), 20);
            memcpy(key, h2.data(), 12);
            return 32;
        default:
            return 0;
    }
}

bool login_check_encrypted_proof(const unsigned char* field, size_t len, const unsigned char* key,
                                 size_t keylen, const unsigned char digest[20]) {
    if (!field || len < 16 + 20 || keylen == 0) return false;
    std::string packet(reinterpret_cast<const char*>(field), len);
    auto* bytes = reinterpret_cast<unsigned char*>(packet.data());
    if (!decrypt_buffer(key, keylen, bytes, len - 16)) return false;
    Sha1Digest check = sha1_bytes(bytes, 20);
    return CRYPTO_memcmp(check.data(), digest, 20) == 0;
}

namespace {

constexpr int64_t PERMANENTLY_DISABLED = 1;

// The Logins row of `username`, if any.
bool read_login_row(sqlite3* db, const std::string& username, int64_t* times, int64_t* lasttime) {
    Stmt st(db, "SELECT times, lasttime FROM Logins WHERE username=?1;");
    st.bind(1, username);
    if (st.step() != SQLITE_ROW) return false;
    *times = st.is_null(0) ? 0 : st.int64_at(0);
    *lasttime = st.is_null(1) ? 0 : st.int64_at(1);
    return true;
}

int record_failure(sqlite3* db, const std::string& username, bool has_row, int64_t times,
                   int64_t lasttime, int attempts, int64_t window, int32_t now, int* temp) {
    int64_t count = 1;
    if (!has_row) {
        Stmt st(db, "INSERT INTO Logins (username,times,lasttime) VALUES (?1, ?2, ?3);");
        st.bind(1, username).bind(2, count).bind(3, static_cast<int64_t>(now)).run();
    } else {
        count = (now - lasttime < window) ? times + 1 : 1;
        Stmt st(db, "UPDATE Logins SET times=?1, lasttime=?2 WHERE username=?3;");
        st.bind(1, count).bind(2, static_cast<int64_t>(now)).bind(3, username).run();
    }
    if (count <= attempts) return 1;
    *temp = 1;
    return 0;
}

std::atomic<LoginClock> clock_override{nullptr};

// Minutes added to the local time, from KESTRIX_LOGIN_CLOCK_SKEW_FILE.
int32_t clock_skew() {
    static const char* path = getenv("KESTRIX_LOGIN_CLOCK_SKEW_FILE");
    if (!path || !*path) return 0;
    std::ifstream in(path);
    long long minutes = 0;
    if (!(in >> minutes)) return 0;
    return static_cast<int32_t>(minutes);
}

}  // namespace

int login_throttle_check(sqlite3* db, const std::string& username, bool succeeded, int attempts,
                         int hours, int32_t now, int* temp) {
    const int64_t window = static_cast<int64_t>(hours) * 60;
    int64_t times = 0, lasttime = 0;
    const bool has_row = read_login_row(db, username, &times, &lasttime);
    *temp = 0;
    if (has_row && lasttime == PERMANENTLY_DISABLED) return 0;
    if (!succeeded)
        return record_failure(db, username, has_row, times, lasttime, attempts, window, now, temp);
    if (!has_row || lasttime == 0 || times < attempts) return 1;
    if (now - lasttime >= window) {
        Stmt st(db, "DELETE FROM Logins WHERE username=?1;");
        st.bind(1, username).run();
        return 1;
    }
    *temp = 1;
    return 0;
}

int mark_check_login(const std::string& username, bool succeeded, int* temp) {
    return login_throttle_check(settings.inmemorydb, username, succeeded,
                                settings.disabled_login_attempts, settings.disabled_login_hours,
                                login_clock_now(), temp);
}

void login_clock_set(LoginClock clock) {
    clock_override = clock;
}

int32_t login_clock_now() {
    if (LoginClock clock = clock_override.load()) return clock();
    return get_current_inttime() + clock_skew();
}
