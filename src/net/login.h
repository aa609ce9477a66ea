// login.h - the login handshakes, failed-login throttling and the pieces of
// the handshakes that are pure computations (so they can be tested alone).
//
// Clear handshake: phase 1 finds the user and answers a 20-byte challenge;
// phase 2 carries SHA-1(challenge || D), D being the stored digest
// SHA-1(SHA-1(password)). Encrypted handshake: phase 1 carries the client
// random Rc sealed with AES-128 keyed by D[0..15] and answers the sealed
// server random Rs; both sides derive the session key from D, Rc and Rs;
// phase 2 carries SHA-1(password) sealed with the session key. Every refusal
// replies once and ends the session.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/digest.h"

struct client;

// Handshake phases; phase 2 answers 1 when the login was accepted.
int handle_clear_connect_phase1(client* c, bool with_token);
int handle_clear_connect_phase2(client* c, bool with_token);
int handle_encrypt_connect_phase1(client* c, bool with_token);
int handle_encrypt_connect_phase2(client* c, bool with_token);

// Finds the session's user: stores userid and the digest D in pw_hash.
int check_user_exists(client* c);
void finalize_connection(client* c);

// The response the clear phase 2 must carry: SHA-1(challenge || D).
Sha1Digest login_clear_response(const unsigned char challenge[20], const unsigned char digest[20]);

// Opens the 56-byte phase-1 field (IV || AES-128(Rc || SHA-1(Rc)) keyed by
// D[0..15]) into Rc; false when the field does not prove knowledge of D.
bool login_open_client_random(const unsigned char* field, size_t len,
                              const unsigned char digest[20], unsigned char rc[20]);
// Seals Rs || SHA-1(Rs) behind `iv` with AES-128 keyed by D[0..15]: 56 bytes.
void login_seal_server_random(const unsigned char digest[20], const unsigned char rs[20],
                              const unsigned char iv[16], unsigned char out[56]);
// Session key of type 2, 3 or 4 into key[32]; answers its length (16, 24,
// 32), or 0 for another type.
size_t generate_session_key(unsigned char key[32], int type, const unsigned char digest[20],
                            const unsigned char rc[20], const unsigned char rs[20]);
// True when the sealed phase-2 field opens (with the session key) to a
// password whose SHA-1 is D.
bool login_check_encrypted_proof(const unsigned char* field, size_t len, const unsigned char* key,
                                 size_t keylen, const unsigned char digest[20]);

// Failed-login throttling against the Logins table of `db`. `attempts` and
// `hours` are DISABLED_LOGIN_ATTEMPTS and DISABLED_LOGIN_HOURS, `now` the
// current time in minutes. Answers 1 when the user may log in, 0 when
// disabled (`*temp` 1 temporary, 0 permanent).
int login_throttle_check(sqlite3* db, const std::string& username, bool succeeded, int attempts,
                         int hours, int32_t now, int* temp);
// The same with the server's settings, the in-memory database and the
// throttling clock.
int mark_check_login(const std::string& username, bool succeeded, int* temp);

// The throttling clock, in minutes (see get_current_inttime). Tests replace
// it with login_clock_set (nullptr restores the local time). Without a
// replacement, when KESTRIX_LOGIN_CLOCK_SKEW_FILE names a readable file at
// start-up, the number of minutes written in it is added to the local time
// on every read, so a running server can be moved forward in time.
using LoginClock = int32_t (*)();
void login_clock_set(LoginClock clock);
int32_t login_clock_now();
