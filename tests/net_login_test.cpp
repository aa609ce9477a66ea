// Login: the proofs of the clear and encrypted handshakes as a client builds
// them, the session keys, and failed-login throttling with an injected clock.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "net/cipher.h"
#include "net/login.h"
#include "server/settings.h"

namespace {

using Bytes = std::vector<unsigned char>;

Sha1Digest stored_digest(const char* password) {
    auto d = base64_decode(hash_password(password));
    EXPECT_TRUE(d && d->size() == 20);
    Sha1Digest out{};
    if (d && d->size() == 20) memcpy(out.data(), d->data(), 20);
    return out;
}

TEST(LoginProof, StoredPasswordIsDoubleSha1) {
    EXPECT_EQ(hash_password("secret"), "FOZVZ6vbUTXQz9mnCzAywXmknuc=");
    Sha1Digest inner = sha1_bytes("secret", 6);
    EXPECT_EQ(stored_digest("secret"), sha1_bytes(inner.data(), inner.size()));
}

TEST(LoginProof, ClearResponseHashesChallengeThenDigest) {
    unsigned char challenge[20];
    for (int i = 0; i < 20; ++i) challenge[i] = static_cast<unsigned char>(i + 1);
    Sha1Digest d = stored_digest("secret");
    Sha1Digest r = login_clear_response(challenge, d.data());
    EXPECT_EQ(hex_lower(r.data(), r.size()), "56c249be20fff916e25e7d1f215cabade79289db");
}

// The 56-byte phase-1 field a client sends: IV || AES-128(Rc || SHA-1(Rc)).
Bytes seal_client_random(const Sha1Digest& d, const unsigned char rc[20]) {
    Bytes packet(56);
    for (int i = 0; i < 16; ++i) packet[i] = static_cast<unsigned char>(0xC0 + i);
    memcpy(packet.data() + 16, rc, 20);
    Sha1Digest check = sha1_bytes(rc, 20);
    memcpy(packet.data() + 36, check.data(), 20);
    EXPECT_EQ(encrypt_buffer(d.data(), 16, packet.data(), 40), 1);
    return packet;
}

TEST(LoginProof, ClientRandomOpensOnlyWithTheRightDigest) {
    const unsigned char rc[20] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const Sha1Digest right = stored_digest("secret");
    const Bytes sealed = seal_client_random(right, rc);
    unsigned char out[20] = {};
    ASSERT_TRUE(login_open_client_random(sealed.data(), sealed.size(), right.data(), out));
    EXPECT_EQ(memcmp(out, rc, 20), 0);

    const Sha1Digest wrong = stored_digest("Secret");
    EXPECT_FALSE(login_open_client_random(sealed.data(), sealed.size(), wrong.data(), out));
    Bytes tampered = sealed;
    tampered[30] ^= 1;
    EXPECT_FALSE(login_open_client_random(tampered.data(), tampered.size(), right.data(), out));
    EXPECT_FALSE(login_open_client_random(sealed.data(), 55, right.data(), out));
    EXPECT_FALSE(login_open_client_random(nullptr, 56, right.data(), out));
}

TEST(LoginProof, ServerRandomOpensOnTheClientSide) {
    const Sha1Digest d = stored_digest("pw");
    unsigned char rs[20];
    for (int i = 0; i < 20; ++i) rs[i] = static_cast<unsigned char>(200 - i);
    const unsigned char iv[16] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 121, 98, 219};
    unsigned char answer[56];
    login_seal_server_random(d.data(), rs, iv, answer);
    EXPECT_EQ(memcmp(answer, iv, 16), 0);
    unsigned char out[20];
    ASSERT_TRUE(login_open_client_random(answer, sizeof(answer), d.data(), out));
    EXPECT_EQ(memcmp(out, rs, 20), 0);
}

TEST(LoginProof, SessionKeysOfEveryType) {
    const Sha1Digest d = stored_digest("pw");
    unsigned char rc[20], rs[20], joined[60], mixed[20];
    for (int i = 0; i < 20; ++i) {
        rc[i] = static_cast<unsigned char>(i * 3);
        rs[i] = static_cast<unsigned char>(255 - i);
        mixed[i] = rc[i] ^ rs[i];
    }
    memcpy(joined, d.data(), 20);
    memcpy(joined + 20, rc, 20);
    memcpy(joined + 40, rs, 20);
    const Sha1Digest h1 = sha1_bytes(joined, 60);
    const Sha1Digest h2 = sha1_bytes(mixed, 20);
    const struct {
        int type;
        size_t keylen;
        size_t from_h2;  // leading bytes taken from H2
        size_t from_h1;  // bytes up to which H1 fills the key
    } cases[] = {{2, 16, 0, 16}, {3, 24, 4, 20}, {4, 32, 12, 20}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.type);
        unsigned char key[32];
        memset(key, 0xEE, sizeof(key));
        ASSERT_EQ(generate_session_key(key, tc.type, d.data(), rc, rs), tc.keylen);
        EXPECT_EQ(memcmp(key, h2.data(), tc.from_h2), 0);
        EXPECT_EQ(memcmp(key + tc.from_h2, h1.data() + tc.from_h2, tc.from_h1 - tc.from_h2), 0);
        for (size_t i = tc.from_h1; i < 32; ++i) EXPECT_EQ(key[i], 0) << i;
    }
    unsigned char key[32];
    EXPECT_EQ(generate_session_key(key, 5, d.data(), rc, rs), 0u);
    EXPECT_EQ(generate_session_key(key, 0, d.data(), rc, rs), 0u);
}

TEST(LoginProof, EncryptedPhase2ProvesThePassword) {
    const unsigned char key[24] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4};
    auto sealed_proof = [&](const char* password) {
        Sha1Digest once = sha1_bytes(password, strlen(password));
        Bytes packet(36, 0x42);
        memcpy(packet.data() + 16, once.data(), once.size());
        EXPECT_EQ(encrypt_buffer(key, sizeof(key), packet.data(), 20), 1);
        return packet;
    };
    const Sha1Digest d = stored_digest("letmein");
    const Bytes good = sealed_proof("letmein");
    EXPECT_TRUE(login_check_encrypted_proof(good.data(), good.size(), key, 24, d.data()));
    const Bytes bad = sealed_proof("letmeout");
    EXPECT_FALSE(login_check_encrypted_proof(bad.data(), bad.size(), key, 24, d.data()));
    EXPECT_FALSE(login_check_encrypted_proof(good.data(), good.size(), key, 16, d.data()));
    EXPECT_FALSE(login_check_encrypted_proof(good.data(), 35, key, 24, d.data()));
    EXPECT_FALSE(login_check_encrypted_proof(good.data(), good.size(), key, 0, d.data()));
}

// A Logins table like the in-memory database's.
class Throttle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db_,
                               "CREATE TABLE Logins (username TEXT UNIQUE COLLATE NOCASE, times "
                               "INTEGER, lasttime INTEGER);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    void TearDown() override { sqlite3_close(db_); }

    // Allowed (1) or disabled (0), with `temp` of the last call.
    int attempt(const std::string& user, bool ok, int32_t now) {
        return login_throttle_check(db_, user, ok, 3, 1, now, &temp_);
    }
    int64_t count_rows(const std::string& user) {
        Stmt st(db_, "SELECT count(*) FROM Logins WHERE username=?1;");
        st.bind(1, user);
        return st.step() == SQLITE_ROW ? st.int64_at(0) : -1;
    }

    sqlite3* db_ = nullptr;
    int temp_ = -1;
};

TEST_F(Throttle, ThreeFailuresThenDisabledForAnHour) {
    const int32_t t0 = 60000000;
    const struct {
        bool password_ok;
        int32_t minute;
        int allowed;
        int temp;
    } steps[] = {
        {false, t0, 1, 0},     {false, t0 + 1, 1, 0},
        {false, t0 + 2, 1, 0}, {false, t0 + 3, 0, 1},  // the fourth failure disables
        {true, t0 + 10, 0, 1},                         // the right password within the hour too
        {true, t0 + 62, 0, 1},                         // the hour counts from the last failure
        {true, t0 + 63, 1, 0},                         // an hour after it the login goes through
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.minute - t0);
        EXPECT_EQ(attempt("alice", s.password_ok, s.minute), s.allowed);
        EXPECT_EQ(temp_, s.temp);
    }
    EXPECT_EQ(count_rows("alice"), 0);  // the accepted login removed the row
}

TEST_F(Throttle, FailuresOutsideTheWindowStartAgain) {
    const int32_t t0 = 1000;
    EXPECT_EQ(attempt("bob", false, t0), 1);
    EXPECT_EQ(attempt("bob", false, t0 + 1), 1);
    EXPECT_EQ(attempt("bob", false, t0 + 2), 1);
    EXPECT_EQ(attempt("bob", false, t0 + 62), 1);  // 60 minutes after the last: count is 1
    EXPECT_EQ(attempt("bob", false, t0 + 63), 1);
    EXPECT_EQ(attempt("bob", false, t0 + 64), 1);
    EXPECT_EQ(attempt("bob", false, t0 + 65), 0);
}

TEST_F(Throttle, SuccessBelowTheLimitKeepsTheCount) {
    EXPECT_EQ(attempt("carol", false, 500), 1);
    EXPECT_EQ(attempt("carol", false, 501), 1);
    EXPECT_EQ(attempt("carol", true, 502), 1);
    EXPECT_EQ(count_rows("carol"), 1);  // cleared only by the completed login
    EXPECT_EQ(attempt("nobody", true, 502), 1);
}

TEST_F(Throttle, PermanentlyDisabledUserStaysDisabled) {
    ASSERT_EQ(
        sqlite3_exec(db_, "INSERT INTO Logins VALUES ('dave', 0, 1);", nullptr, nullptr, nullptr),
        SQLITE_OK);
    for (bool ok : {true, false}) {
        EXPECT_EQ(attempt("DAVE", ok, 999999), 0);  // names compare without case
        EXPECT_EQ(temp_, 0);
    }
}

TEST_F(Throttle, UserNamesAreValuesNotSql) {
    const std::string evil = "x'); DROP TABLE Logins; --";
    EXPECT_EQ(attempt(evil, false, 10), 1);
    EXPECT_EQ(count_rows(evil), 1);
    EXPECT_EQ(attempt(evil, true, 11), 1);
}

int32_t fixed_clock() {
    return 424242;
}

TEST_F(Throttle, ServerCheckUsesTheInjectedClock) {
    sqlite3* saved_db = settings.inmemorydb;
    const int32_t saved_attempts = settings.disabled_login_attempts;
    const int32_t saved_hours = settings.disabled_login_hours;
    settings.inmemorydb = db_;
    settings.disabled_login_attempts = 1;
    settings.disabled_login_hours = 2;
    login_clock_set(fixed_clock);
    EXPECT_EQ(login_clock_now(), 424242);
    int temp = 0;
    EXPECT_EQ(mark_check_login("erin", false, &temp), 1);
    EXPECT_EQ(mark_check_login("erin", false, &temp), 0);
    Stmt st(db_, "SELECT lasttime FROM Logins WHERE username='erin';");
    ASSERT_EQ(st.step(), SQLITE_ROW);
    EXPECT_EQ(st.int_at(0), 424242);
    login_clock_set(nullptr);
    EXPECT_NE(login_clock_now(), 424242);
    settings.inmemorydb = saved_db;
    settings.disabled_login_attempts = saved_attempts;
    settings.disabled_login_hours = saved_hours;
}

}  // namespace
