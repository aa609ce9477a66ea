// The settings database the real server writes is enciphered: its header
// shows only the geometry, and page 1 deciphered with plain AES from libcrypto
// and the fixed key holds the SQLite header and the schema.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/codec_util.h"
#include "support/server_process.h"

using namespace codec_test;

TEST(CodecServer, SettingsDatabaseIsEncipheredOnDisk) {
    TempDir dir;
    ServerProcess server(dir);
    ASSERT_TRUE(server.start()) << server.err();
    ASSERT_EQ(server.stop(), 0);

    auto bytes = file_bytes(server.settings_path());
    ASSERT_GE(bytes.size(), 1024u);
    EXPECT_NE(memcmp(bytes.data(), "SQLite format 3", 16), 0);
    const int page_size = (bytes[16] << 8) | bytes[17];
    EXPECT_EQ(page_size, 4096);
    EXPECT_EQ(bytes[20], 12);
    EXPECT_FALSE(contains(bytes, "CREATE TABLE"));
    ASSERT_GE(bytes.size(), static_cast<size_t>(page_size));

    // A 32-character key: only its first 16 characters count.
    const auto* key = reinterpret_cast<const unsigned char*>("3164027991508374");
    std::vector<unsigned char> page1(bytes.begin(), bytes.begin() + page_size);
    auto plain = decipher_independently(page1, 1, key, bytes[20]);
    EXPECT_EQ(memcmp(plain.data(), "SQLite format 3", 16), 0);
    EXPECT_EQ(plain[100], 0x05);  // the schema tree's root: an interior table page

    // The schema rows sit in the leaves below page 1.
    std::vector<unsigned char> all;
    for (size_t at = 0; at + page_size <= bytes.size(); at += page_size) {
        std::vector<unsigned char> page(bytes.begin() + at, bytes.begin() + at + page_size);
        auto p = decipher_independently(page, static_cast<uint32_t>(at / page_size + 1), key, 12);
        all.insert(all.end(), p.begin(), p.end());
    }
    EXPECT_TRUE(contains(all, "CREATE TABLE Users"));
    EXPECT_TRUE(contains(all, "CREATE TABLE Preferences"));
}
