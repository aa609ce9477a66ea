// Page codec: on-disk layout, key derivations and key forms, wrong keys,
// journals and temporary storage of keyed connections, refused page-size
// changes, and re-keying in its forms.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "support/codec_util.h"
#include "support/server_process.h"

using namespace codec_test;

namespace {

const char* const kFill =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<%d) "
    "INSERT INTO t(v) SELECT 'MARKER_' || x || printf('%%.40c', '*') FROM c;";

void fill(sqlite3* db, int rows) {
    ASSERT_EQ(exec(db, "CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, v TEXT);"), 0);
    char* sql = sqlite3_mprintf(kFill, rows);
    ASSERT_EQ(exec(db, sql), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_free(sql);
}

std::vector<unsigned char> page_of(const std::vector<unsigned char>& file, int pgno, int size) {
    auto from = file.begin() + (pgno - 1) * size;
    return {from, from + size};
}

struct CodecTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("a.db");
};

TEST_F(CodecTest, NewKeyedFileHasTheLayoutAndNoPlainText) {
    {
        auto db = open_db(path, "0123456789abcdef");
        fill(db.get(), 200);
    }
    auto bytes = file_bytes(path);
    ASSERT_GE(bytes.size(), 8192u);
    EXPECT_NE(memcmp(bytes.data(), "SQLite format 3", 16), 0);
    EXPECT_EQ(bytes[16], 0x10);  // page size 4096, big-endian
    EXPECT_EQ(bytes[17], 0x00);
    EXPECT_EQ(bytes[20], 12);  // reserve
    EXPECT_FALSE(contains(bytes, "MARKER_"));

    const auto* key = reinterpret_cast<const unsigned char*>("0123456789abcdef");
    auto page1 = decipher_independently(page_of(bytes, 1, 4096), 1, key, 12);
    EXPECT_EQ(memcmp(page1.data(), "SQLite format 3", 16), 0);
    EXPECT_TRUE(contains(page1, "CREATE TABLE t"));
    bool found = false;
    for (int pgno = 2; pgno <= static_cast<int>(bytes.size() / 4096); ++pgno) {
        auto page = decipher_independently(page_of(bytes, pgno, 4096), pgno, key, 12);
        found = found || contains(page, "MARKER_1*");
    }
    EXPECT_TRUE(found);
}

TEST_F(CodecTest, SamePageWrittenTwiceGivesTwoCiphertextsOfOnePlaintext) {
    auto db = open_db(path, "twice");
    ASSERT_EQ(exec(db.get(), "PRAGMA journal_mode=DELETE;"), 0);
    ASSERT_EQ(exec(db.get(), "CREATE TABLE t(n INTEGER, v TEXT);"), 0);
    ASSERT_EQ(exec(db.get(), "INSERT INTO t VALUES (5, 'MARKER_10*');"), 0);
    auto first = page_of(file_bytes(path), 2, 4096);
    // Changed and changed back: the same plaintext page is written again.
    ASSERT_EQ(exec(db.get(), "UPDATE t SET n=6; UPDATE t SET n=5;"), 0);
    auto second = page_of(file_bytes(path), 2, 4096);
    EXPECT_NE(first, second);
    unsigned char key[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>("twice"[i % 5]);
    auto a = decipher_independently(first, 2, key, 12);
    auto b = decipher_independently(second, 2, key, 12);
    EXPECT_TRUE(std::equal(a.begin(), a.end() - 12, b.begin()));
    EXPECT_TRUE(contains(a, "MARKER_10*"));
}

// Keys that must open a file created with "0123456789abcdefGHIJKLMNOPQRSTUV"
// or "abcde", and keys that must not.
TEST_F(CodecTest, KeyDerivationsAndWrongKeys) {
    struct Case {
        std::string create, open;
        int expect;
    } cases[] = {
        {"0123456789abcdefGHIJKLMNOPQRSTUV", "0123456789abcdef", SQLITE_OK},
        {"0123456789abcdefGHIJKLMNOPQRSTUV", "0123456789abcdefXYZ", SQLITE_OK},
        {"abcde", "abcdeabcdeabcdea", SQLITE_OK},
        {"abcde", "abcdeabcdeabcdeaX", SQLITE_OK},
        {"abcde", "abcdeabcdeabcdeX", SQLITE_NOTADB},
        {"abcde", "abcdf", SQLITE_NOTADB},
        {"abcde", "", SQLITE_NOTADB},
        {"", "abcde", SQLITE_NOTADB},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string p = dir.file("k" + std::to_string(n++) + ".db");
        {
            auto db = open_db(p, c.create);
            fill(db.get(), 5);
        }
        int rc = -1;
        auto db = open_db(p, c.open, &rc);
        EXPECT_EQ(rc, c.expect) << c.create << " / " << c.open;
        if (c.expect == SQLITE_NOTADB) {
            EXPECT_NE(exec(db.get(), "SELECT count(*) FROM t"), SQLITE_OK);
            EXPECT_STREQ(sqlite3_errmsg(db.get()), "file is not a database");
        } else {
            EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 5);
        }
    }
}

// The URI forms open what the key calls wrote, at open and on ATTACH.
TEST_F(CodecTest, UriKeyFormsMatchTheKeyCalls) {
    struct Case {
        std::string key;  // given to sqlite3_key_v2
        int n;            // its length argument (negative: text key)
        std::string uri;  // the same key as URI parameter
    } cases[] = {
        {"abc", 3, "key=abc"},
        {"abc", 3, "hexkey=616263"},
        {std::string("\x00\xff\x10", 3), 3, "hexkey=00FF10"},
        {"kestrix", -1, "textkey=kestrix"},
        {std::string("\xf8\xe6\xb7\xcf\x73\x19\x9f\x27\x57\x65\x7a\x0c\xc4\xe9\xa9\x4c", 16), 16,
         "textkey=kestrix"},
    };
    kestrix_codec_register();
    int n = 0;
    for (const auto& c : cases) {
        std::string p = dir.file("u" + std::to_string(n++) + ".db");
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(p.c_str(), &raw), SQLITE_OK);
        DbHandle db(raw);
        ASSERT_EQ(sqlite3_key_v2(raw, "MAIN", c.key.data(), c.n), SQLITE_OK);
        fill(raw, 3);
        db.reset();

        std::string uri = "file:" + p + "?" + c.uri;
        ASSERT_EQ(
            sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI, nullptr),
            SQLITE_OK);
        db.reset(raw);
        EXPECT_EQ(number(raw, "SELECT count(*) FROM t"), 3) << c.uri;
        EXPECT_EQ(number(raw, "PRAGMA temp_store"), 2) << c.uri;
        db.reset();

        auto plain = open_db(dir.file("plain.db"), "");
        Stmt attach(plain.get(), "ATTACH ?1 AS other");
        attach.bind(1, uri);
        ASSERT_EQ(attach.run(), SQLITE_DONE);
        EXPECT_EQ(number(plain.get(), "SELECT count(*) FROM other.t"), 3) << c.uri;
    }
}

TEST_F(CodecTest, NewFileKeyedByUriGetsTheNonceReserve) {
    kestrix_codec_register();
    std::string uri = "file:" + path + "?textkey=fresh";
    sqlite3* raw = nullptr;
    ASSERT_EQ(
        sqlite3_open_v2(uri.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr),
        SQLITE_OK);
    DbHandle db(raw);
    fill(raw, 5);
    db.reset();
    auto bytes = file_bytes(path);
    EXPECT_NE(memcmp(bytes.data(), "SQLite format 3", 16), 0);
    EXPECT_EQ(bytes[20], 12);
    EXPECT_FALSE(contains(bytes, "MARKER_"));
}

TEST_F(CodecTest, JournalAndTemporaryStorageStayOffTheDiskInPlain) {
    auto db = open_db(path, "journal-key");
    EXPECT_EQ(number(db.get(), "PRAGMA temp_store"), 2);
    ASSERT_EQ(exec(db.get(), "PRAGMA journal_mode=DELETE; PRAGMA cache_size=10;"), 0);
    fill(db.get(), 3000);
    ASSERT_EQ(exec(db.get(), "BEGIN; UPDATE t SET v = 'changed' || id;"), 0);
    auto journal = file_bytes(path + "-journal");
    EXPECT_GT(journal.size(), 4096u);
    EXPECT_FALSE(contains(journal, "MARKER_"));
    EXPECT_FALSE(contains(file_bytes(path), "changed"));
    ASSERT_EQ(exec(db.get(), "ROLLBACK;"), 0);
    EXPECT_EQ(text(db.get(), "SELECT v FROM t WHERE id=2999"),
              "MARKER_2999" + std::string(40, '*'));
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
}

// Temporary files that are open in this process (they are unlinked at once,
// so they are found through /proc/self/fd).
std::vector<std::vector<unsigned char>> open_temp_files() {
    std::vector<std::vector<unsigned char>> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.find("etilqs_") != std::string::npos)
            out.push_back(file_bytes(e.path().string()));
    }
    return out;
}

// A connection that asks for temporary files again still writes none in plain.
TEST_F(CodecTest, TemporaryFilesAreEnciphered) {
    auto db = open_db(path, "temp-key");
    fill(db.get(), 20000);
    ASSERT_EQ(exec(db.get(), "PRAGMA temp_store=FILE; PRAGMA temp.cache_size=5;"), 0);
    ASSERT_EQ(exec(db.get(), "CREATE TEMP TABLE x AS SELECT * FROM t ORDER BY v DESC;"), 0);
    auto temps = open_temp_files();
    ASSERT_FALSE(temps.empty());
    for (const auto& bytes : temps) {
        EXPECT_GT(bytes.size(), 100000u);
        EXPECT_FALSE(contains(bytes, "MARKER_"));
    }
    EXPECT_EQ(text(db.get(), "SELECT v FROM x LIMIT 1"), "MARKER_9999" + std::string(40, '*'));
    EXPECT_EQ(text(db.get(), "PRAGMA temp.integrity_check"), "ok");
}

TEST_F(CodecTest, PageSizeOfAKeyedFileCannotChangeAndMappingIsOff) {
    auto db = open_db(path, "size-key");
    fill(db.get(), 100);
    EXPECT_NE(exec(db.get(), "PRAGMA page_size=8192;"), SQLITE_OK);
    EXPECT_EQ(exec(db.get(), "PRAGMA page_size=4096; VACUUM;"), SQLITE_OK);
    EXPECT_EQ(number(db.get(), "PRAGMA page_size"), 4096);
    ASSERT_EQ(exec(db.get(), "PRAGMA mmap_size=10000000;"), SQLITE_OK);
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 100);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");

    auto fresh = open_db(dir.file("new.db"), "size-key");
    ASSERT_EQ(exec(fresh.get(), "PRAGMA page_size=8192;"), SQLITE_OK);
    fill(fresh.get(), 10);
    EXPECT_EQ(number(fresh.get(), "PRAGMA page_size"), 8192);
    EXPECT_EQ(file_bytes(dir.file("new.db"))[20], 12);
}

TEST_F(CodecTest, KeyFunctionsRefuseUnknownDatabases) {
    auto db = open_db(path, "");
    EXPECT_EQ(sqlite3_key_v2(db.get(), "nosuch", "k", 1), SQLITE_ERROR);
    EXPECT_EQ(sqlite3_rekey_v2(db.get(), "nosuch", "k", 1), SQLITE_ERROR);
    EXPECT_STREQ(kestrix_codec_style(), "kestrix-aes128-ofb");
}

// Re-key between the forms a file can take; each result reopens with the new
// key only, keeps its rows, and shows its header in plain or not.
TEST_F(CodecTest, RekeyMovesBetweenKeysAndPlain) {
    struct Case {
        std::string from, to;
        const char* journal_mode;
        bool old_key_fails;  // false when both keys derive the same bytes
    } cases[] = {
        {"old-key", "new-key", "wal", true}, {"old-key", "new-key", "delete", true},
        {"old-key", "", "wal", true},        {"", "new-key", "wal", true},
        {"", "new-key", "delete", true},     {"abc", "abcabcabcabcabca", "wal", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string p = dir.file("r" + std::to_string(n++) + ".db");
        SCOPED_TRACE(c.from + " -> " + c.to + " " + c.journal_mode);
        {
            auto db = open_db(p, c.from);
            ASSERT_EQ(text(db.get(), std::string("PRAGMA journal_mode=") + c.journal_mode),
                      c.journal_mode);
            fill(db.get(), 2000);
            ASSERT_EQ(sqlite3_rekey(db.get(), c.to.data(), static_cast<int>(c.to.size())),
                      SQLITE_OK);
            EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 2000);
            EXPECT_EQ(text(db.get(), "PRAGMA journal_mode"), c.journal_mode);
            fill(db.get(), 10);
        }
        int rc = -1;
        auto db = open_db(p, c.to, &rc);
        ASSERT_EQ(rc, SQLITE_OK);
        EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 2010);
        EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
        db.reset();
        auto bytes = file_bytes(p);
        EXPECT_EQ(memcmp(bytes.data(), "SQLite format 3", 16) == 0, c.to.empty());
        if (!c.to.empty()) {
            EXPECT_EQ(bytes[20], 12);  // a plain file takes the nonce reserve
        }
        EXPECT_EQ(contains(bytes, "MARKER_"), c.to.empty());
        if (c.old_key_fails) {
            open_db(p, c.from, &rc);
            EXPECT_EQ(rc, SQLITE_NOTADB);
        }
    }
}

TEST_F(CodecTest, RekeyOfAnEmptyDatabaseTakesTheKeyAtOnce) {
    {
        auto db = open_db(path, "");
        ASSERT_EQ(sqlite3_rekey(db.get(), "fresh", 5), SQLITE_OK);
        fill(db.get(), 5);
    }
    auto bytes = file_bytes(path);
    EXPECT_NE(memcmp(bytes.data(), "SQLite format 3", 16), 0);
    EXPECT_EQ(bytes[20], 12);
    int rc = -1;
    auto db = open_db(path, "fresh", &rc);
    EXPECT_EQ(rc, SQLITE_OK);
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 5);
}

TEST_F(CodecTest, FailedRekeyLeavesTheOldKeyAndAttachedRekeyByName) {
    auto db = open_db(path, "old-key");
    fill(db.get(), 500);
    {
        Stmt pending(db.get(), "SELECT v FROM t");
        ASSERT_EQ(pending.step(), SQLITE_ROW);  // a VACUUM cannot run now
        EXPECT_NE(sqlite3_rekey(db.get(), "new-key", 7), SQLITE_OK);
    }
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 500);
    fill(db.get(), 1);
    db.reset();
    int rc = -1;
    db = open_db(path, "old-key", &rc);
    ASSERT_EQ(rc, SQLITE_OK);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
    db.reset();

    auto host = open_db(dir.file("host.db"), "");
    Stmt attach(host.get(), "ATTACH ?1 AS Other");
    attach.bind(1, kestrix_key_uri(path.c_str(), "old-key"));
    ASSERT_EQ(attach.run(), SQLITE_DONE);
    ASSERT_EQ(sqlite3_rekey_v2(host.get(), "OTHER", "att-key", 7), SQLITE_OK);
    EXPECT_EQ(number(host.get(), "SELECT count(*) FROM other.t"), 501);
    host.reset();
    db = open_db(path, "att-key", &rc);
    EXPECT_EQ(rc, SQLITE_OK);
}

TEST_F(CodecTest, ReadOnlyDatabaseRefusesRekey) {
    {
        auto db = open_db(path, "ro-key");
        fill(db.get(), 5);
    }
    kestrix_codec_register();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    DbHandle db(raw);
    ASSERT_EQ(sqlite3_key(raw, "ro-key", 6), SQLITE_OK);
    EXPECT_EQ(number(raw, "SELECT count(*) FROM t"), 5);
    EXPECT_EQ(sqlite3_rekey(raw, "other", 5), SQLITE_READONLY);
}

}  // namespace
