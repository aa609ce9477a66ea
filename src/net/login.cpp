// login.cpp - the four phases of the binary login handshakes.
//
// A phase 2 is accepted only after the matching phase 1 of the same session
// (login_state), so a response can never be checked against a challenge or
// digest that was not set up for it. User names and hashes from clients reach
// SQL only as bound parameters. Every refusal (login_refuse) replies once,
// records who tried in the Clients row and ends the session; its log text goes
// to the system log.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/privileges.h"
#include "core/sqlite_raii.h"
#include "net/cipher.h"
#include "net/client.h"
#include "net/login.h"
#include "net/random.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr size_t MAX_USERNAME = 255;
const char* const USER_DISABLED = "User is disabled.";

void log_login(const char* format, const std::string& arg = std::string()) {
    char line[1024];
    snprintf(line, sizeof(line), format, arg.c_str());
    log_system(line);
}

void login_refuse(client* c, int code, const char* message = nullptr) {
    c->no_rearm = 1;
    c->enc_type = 0;
    c->login_state = LOGIN_NONE;
    client_sendreply(c, code, message);
    update_connection(c);
    client_disconnect(c);
}

// Refuses with 7056 after logging `format` (one %s: the user name).
int refuse_bad_login(client* c, const char* format) {
    log_login(format, c->username);
    login_refuse(c, ERR_BAD_LOGIN);
    return 0;
}

int refuse_disabled(client* c, bool temp, const char* kind) {
    char line[1024];
    snprintf(line, sizeof(line), "security check failed (%s) in %s connect for username %s.",
             temp ? "temp" : "permanent", kind, c->username.c_str());
    log_system(line);
    login_refuse(c, temp ? ERR_USER_DISABLED_TEMP : ERR_USER_DISABLED_PERM, USER_DISABLED);
    return 0;
}

bool throttling_on() {
    return settings.disabled_login_attempts != 0;
}

// Whether this kind of handshake may be used on this connection.
bool login_admitted(client* c, bool clear, bool with_token) {
    if (with_token ? settings.token_connect_enabled == 0 : settings.token_connections_only == 1)
        return false;
    if (clear) return settings.clear_connect_enabled != 0 || c->tls != nullptr;
    return settings.encrypt_connect_enabled != 0;
}

std::string truncated_name(std::string name) {
    if (name.size() > MAX_USERNAME) name.resize(MAX_USERNAME);
    return name;
}

// The user name whose hash matches; empty when none.
std::string find_user(const char* sql, const std::string& a, const std::string* b) {
    Stmt st(settings.settings_db, sql);
    st.bind(1, a);
    if (b) st.bind(2, *b);
    return st.step() == SQLITE_ROW ? st.text_at(0) : std::string();
}

// Completes phase 2 of either handshake: throttling, connection limit,
// token, then acceptance. `kind` is "clear" or "encrypt".
int login_complete(client* c, bool password_ok, const std::string* token, const char* kind) {
    int temp = 0;
    if (!password_ok) {
        if (!throttling_on() || mark_check_login(c->username, false, &temp)) {
            char format[128];
            snprintf(format, sizeof(format),
                     "wrong password in %s connect phase2 for username %%s.", kind);
            return refuse_bad_login(c, format);
        }
        return refuse_disabled(c, temp != 0, kind);
    }
    if (throttling_on() && !mark_check_login(c->username, true, &temp))
        return refuse_disabled(c, temp != 0, kind);
    if (settings.max_connections != 0 && settings.current_connections > settings.max_connections) {
        log_system("maximum number of connections reached in clear connect phase2.");
        login_refuse(c, ERR_MAX_CONNECTIONS);
        return 0;
    }
    // No plug-in can install an authorization hook yet, so the secret token
    // alone decides.
    auto secret = settings.secret_token.value();
    if (!settings.plugins_loaded && secret && token && *token != *secret) {
        log_login("auth plugin failed in clear connect phase2 for username %s.", c->username);
        login_refuse(c, ERR_TOKEN);
        return 0;
    }
    c->token = token ? *token : std::string();
    finalize_connection(c);
    c->login_state = LOGIN_DONE;
    client_sendack(c, 0);
    return 1;
}

}  // namespace

int check_user_exists(client* c) {
    Stmt user(settings.settings_db, "SELECT userid FROM Users WHERE username=?1;");
    user.bind(1, c->username);
    if (user.step() != SQLITE_ROW) return 0;
    const int userid = user.int_at(0);
    Stmt pw(settings.settings_db, "SELECT password FROM Users WHERE userid=?1;");
    pw.bind(1, userid);
    if (pw.step() != SQLITE_ROW || pw.is_null(0)) return 0;
    auto digest = base64_decode(pw.text_at(0));
    if (!digest || digest->size() != 20) return 0;
    c->userid = userid;
    memcpy(c->pw_hash, digest->data(), 20);
    return 1;
}

void finalize_connection(client* c) {
    c->privilege_stamp = 0;
    get_user_group_id(c);
    update_connection(c);
    Stmt st(settings.inmemorydb, "DELETE FROM Logins WHERE username=?1;");
    st.bind(1, c->username).run();
}

int handle_clear_connect_phase1(client* c, bool with_token) {
    if (!login_admitted(c, true, with_token)) {
        login_refuse(c, ERR_CONNECTION_DISABLED);
        return 0;
    }
    c->login_state = LOGIN_NONE;
    c->username.clear();
    if (c->nfields != 1)
        return refuse_bad_login(c, "invalid number of fields in clear connect phase1.");
    uint32_t size = 0;
    const unsigned char* field = client_getfield(c, 1, &size);
    if (c->client_version == 4) {
        if (!field) return refuse_bad_login(c, "hash is null in clear connect phase1.");
        c->username = find_user("SELECT username FROM Users WHERE SHA1(username)=?1;",
                                client_getfield_text(c, 1), nullptr);
    } else if (field) {
        c->username = client_getfield_text(c, 1);
    }
    c->username = truncated_name(c->username);
    if (c->username.empty())
        return refuse_bad_login(c, "invalid username in clear connect phase1.");
    if (!check_user_exists(c))
        return refuse_bad_login(c, "username %s not found in clear connect phase1.");
    rand_fill(c->challenge);
    Sha1Digest expected = login_clear_response(c->challenge, c->pw_hash);
    memcpy(c->pw_hash, expected.data(), 20);
    c->login_state = LOGIN_CLEAR_PHASE1;
    client_senddata(c, 0, c->challenge, sizeof(c->challenge), 0);
    return 1;
}

int handle_clear_connect_phase2(client* c, bool with_token) {
    if (!login_admitted(c, true, with_token)) {
        login_refuse(c, ERR_CONNECTION_DISABLED);
        return 0;
    }
    if (c->nfields != (with_token ? 2u : 1u))
        return refuse_bad_login(
            c, "invalid number of fields in clear connect phase2 for username %s.");
    uint32_t size = 0;
    const unsigned char* response = client_getfield(c, 1, &size);
    if (!response || size != 20 || c->login_state != LOGIN_CLEAR_PHASE1)
        return refuse_bad_login(c, "invalid data in clear connect phase2 for username %s.");
    std::string token;
    if (with_token) {
        uint32_t tsize = 0;
        if (!client_getfield(c, 2, &tsize) || tsize == 0)
            return refuse_bad_login(c, "invalid token in clear connect phase2 for username %s.");
        token = client_getfield_text(c, 2);
    }
    const bool ok = CRYPTO_memcmp(response, c->pw_hash, 20) == 0;
    return login_complete(c, ok, with_token ? &token : nullptr, "clear");
}

namespace {

// Phase 1 after the user was found: check Rc, answer Rs, derive the key.
int encrypt_phase1_answer(client* c, const unsigned char* sealed, int key_type) {
    unsigned char rc[20];
    int temp = 0;
    if (!login_open_client_random(sealed, 56, c->pw_hash, rc)) {
        if (throttling_on() && !mark_check_login(c->username, false, &temp))
            return refuse_disabled(c, temp != 0, "encrypt");
        return refuse_bad_login(c,
                                "authentication failed in encrypt connect phase1 for username %s.");
    }
    if (throttling_on() && !mark_check_login(c->username, true, &temp))
        return refuse_disabled(c, temp != 0, "encrypt");
    unsigned char rs[20];
    do {
        rand_fill(rs);
    } while (memcmp(rs, rc, 20) == 0);
    unsigned char iv[16];
    rand_fill_16(iv);
    unsigned char answer[56];
    login_seal_server_random(c->pw_hash, rs, iv, answer);
    c->session_key_len = generate_session_key(c->session_key, key_type, c->pw_hash, rc, rs);
    c->login_state = LOGIN_ENCRYPT_PHASE1;
    c->enc_type = 0;  // this answer still goes out in clear
    client_senddata(c, 0, answer, sizeof(answer), 0);
    return 1;
}

}  // namespace

int handle_encrypt_connect_phase1(client* c, bool with_token) {
    if (!login_admitted(c, false, with_token)) {
        login_refuse(c, ERR_CONNECTION_DISABLED);
        return 0;
    }
    const int key_type = c->enc_type;
    c->login_state = LOGIN_NONE;
    c->username.clear();
    if (c->nfields != 2)
        return refuse_bad_login(c, "invalid number of fields in encrypt connect phase1.");
    uint32_t sealed_size = 0, name_size = 0;
    const unsigned char* sealed = client_getfield(c, 2, &sealed_size);
    if (!sealed || sealed_size != 56 || key_type < 2 || key_type > 4)
        return refuse_bad_login(c, "invalid encryption buffer in encrypt connect phase1.");
    if (!client_getfield(c, 1, &name_size))
        return refuse_bad_login(c, "invalid username in encrypt connect phase1.");
    if (c->client_version == 4) {
        const std::string iv_hex = hex_lower(sealed, 16);
        const std::string proof = client_getfield_text(c, 1);
        c->username = find_user("SELECT username FROM Users WHERE JSON_AUTH(username,?1)=?2;",
                                iv_hex, &proof);
    } else {
        c->username = client_getfield_text(c, 1);
    }
    c->username = truncated_name(c->username);
    if (c->username.empty())
        return refuse_bad_login(c, "invalid username in encrypt connect phase1.");
    if (!check_user_exists(c))
        return refuse_bad_login(c, "username %s not found in encrypt connect phase1.");
    return encrypt_phase1_answer(c, sealed, key_type);
}

int handle_encrypt_connect_phase2(client* c, bool with_token) {
    if (!login_admitted(c, false, with_token)) {
        login_refuse(c, ERR_CONNECTION_DISABLED);
        return 0;
    }
    if (c->nfields != (with_token ? 2u : 1u))
        return refuse_bad_login(
            c, "invalid number of fields in encrypt connect phase2 for username %s.");
    uint32_t size = 0;
    const unsigned char* sealed = client_getfield(c, 1, &size);
    if (!sealed || size < 16 + 20 || c->login_state != LOGIN_ENCRYPT_PHASE1)
        return refuse_bad_login(c, "invalid encryption buffer in encrypt connect phase2.");
    std::string token;
    if (with_token) {
        uint32_t tsize = 0;
        const unsigned char* sealed_token = client_getfield(c, 2, &tsize);
        if (!sealed_token || tsize <= 16)
            return refuse_bad_login(c, "invalid token in clear connect phase2 for username %s.");
        std::vector<unsigned char> packet(sealed_token, sealed_token + tsize);
        decrypt_buffer(c->session_key, c->session_key_len, packet.data(), tsize - 16);
        const size_t n = tsize - 16;
        const void* nul = memchr(packet.data(), 0, n);
        token.assign(
            reinterpret_cast<const char*>(packet.data()),
            nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - packet.data()) : n);
    }
    const bool ok =
        login_check_encrypted_proof(sealed, size, c->session_key, c->session_key_len, c->pw_hash);
    return login_complete(c, ok, with_token ? &token : nullptr, "encrypt");
}
