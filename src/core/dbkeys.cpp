// dbkeys.cpp - sealing and opening stored database keys.
#include "core/dbkeys.h"

#include <cstring>
#include <vector>

#include "core/dbhelpers.h"
#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "net/cipher.h"
#include "net/random.h"
#include "server/prefs.h"
#include "server/settings.h"

namespace {

const unsigned char* stored_key_cipher_key() {
    return reinterpret_cast<const unsigned char*>(SETTINGS_DB_KEY);  // 32 digits: AES-256
}

}  // namespace

std::optional<std::string> seal_database_key(const std::string& key) {
    if (key.size() > MAX_DATABASE_KEY) return std::nullopt;
    std::vector<unsigned char> packet(16 + key.size());
    unsigned char iv[20];
    rand_fill(iv);
    memcpy(packet.data(), iv, 16);
    memcpy(packet.data() + 16, key.data(), key.size());
    encrypt_buffer(stored_key_cipher_key(), 32, packet.data(), key.size());
    return base64_encode(packet.data(), packet.size());
}

std::optional<std::string> open_database_key(const std::string& sealed) {
    auto raw = base64_decode(sealed);
    if (!raw || raw->size() < 16) return std::nullopt;
    std::vector<unsigned char> packet(raw->begin(), raw->end());
    size_t len = packet.size() - 16;
    decrypt_buffer(stored_key_cipher_key(), 32, packet.data(), len);
    return std::string(reinterpret_cast<const char*>(packet.data()), len);
}

bool store_database_key(const char* name, const std::string& key) {
    auto sealed = seal_database_key(key);
    return sealed && dbpref_write(nullptr, name, "KEY", sealed->c_str()) == 1;
}

std::string getkey_for_database_text(const char* name) {
    Stmt st(settings.settings_db,
            "SELECT value FROM DBPreferences WHERE databasename=?1 AND key='KEY';");
    st.bind(1, name);
    if (st.step() != SQLITE_ROW || st.is_null(0)) return {};
    std::string value = st.text_at(0);
    if (value.empty()) return {};
    return open_database_key(value).value_or(std::string());
}
