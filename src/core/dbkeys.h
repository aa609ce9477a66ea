// dbkeys.h - stored database keys. A database's key lives in the settings
// database (DBPreferences, key "KEY") as Base64 of a random 16-byte IV and the
// key enciphered with the packet cipher under the fixed AES-256 stored-key
// cipher key, so every session can open the file.
#pragma once

#include <optional>
#include <string>

constexpr size_t MAX_DATABASE_KEY = 512;

// The stored form of `key`; nullopt for a key above 512 bytes.
std::optional<std::string> seal_database_key(const std::string& key);
// The key back from its stored form; nullopt when it cannot be read.
std::optional<std::string> open_database_key(const std::string& sealed);

// Stores the key of `name`; false when it is too long or cannot be written.
bool store_database_key(const char* name, const std::string& key);
