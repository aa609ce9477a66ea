// codec_util.h - helpers for the page codec tests: keyed opens, one-value
// queries, file bytes, and an independent decipherment of a page with plain
// AES-128 from libcrypto (no code of the codec).
#pragma once

#include <openssl/evp.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/dbhelpers.h"
#include "core/sqlite_raii.h"

namespace codec_test {

// kestrix_open_key_len with an owner; `rc` receives its answer.
inline DbHandle open_db(const std::string& path, const std::string& key, int* rc = nullptr) {
    sqlite3* db = nullptr;
    int r = kestrix_open_key_len(path.c_str(), &db, key.empty() ? nullptr : key.data(),
                                 static_cast<int>(key.size()));
    if (rc) *rc = r;
    return DbHandle(db);
}

inline int exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

inline std::string text(sqlite3* db, const std::string& sql) {
    Stmt st(db, sql.c_str());
    return st.ok() && st.step() == SQLITE_ROW ? st.text_at(0) : std::string("<none>");
}

inline int64_t number(sqlite3* db, const std::string& sql) {
    Stmt st(db, sql.c_str());
    return st.ok() && st.step() == SQLITE_ROW ? st.int64_at(0) : -1;
}

inline std::vector<unsigned char> file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline bool contains(const std::vector<unsigned char>& hay, const std::string& needle) {
    if (needle.empty() || hay.size() < needle.size()) return false;
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Deciphers one page image as the file format defines it, with AES-128 ECB
// from libcrypto building the output-feedback stream block by block.
inline std::vector<unsigned char> decipher_independently(std::vector<unsigned char> page,
                                                         uint32_t pgno, const unsigned char key[16],
                                                         int reserve) {
    const size_t usable = page.size() - static_cast<size_t>(reserve);
    unsigned char block[16] = {};
    block[0] = pgno & 0xFF;
    block[1] = (pgno >> 8) & 0xFF;
    block[2] = (pgno >> 16) & 0xFF;
    block[3] = (pgno >> 24) & 0xFF;
    memcpy(block + 4, page.data() + usable, static_cast<size_t>(reserve < 12 ? reserve : 12));
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(c, 0);
    unsigned char plain16_23[8];
    memcpy(plain16_23, page.data() + 16, 8);
    for (size_t off = 0; off < usable; off += 16) {
        int n = 0;
        unsigned char next[16];
        EVP_EncryptUpdate(c, next, &n, block, 16);
        memcpy(block, next, 16);
        for (size_t i = 0; i < 16 && off + i < usable; ++i) page[off + i] ^= block[i];
    }
    EVP_CIPHER_CTX_free(c);
    if (pgno == 1) memcpy(page.data() + 16, plain16_23, 8);
    return page;
}

}  // namespace codec_test
