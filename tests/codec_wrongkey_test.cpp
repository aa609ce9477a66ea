// A wrong key after a crash must not destroy what the crash left behind: a
// WAL with committed frames and a hot rollback journal both survive an open
// with another key (or none), and the right key then finds every committed row.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/codec_util.h"
#include "support/server_process.h"

using namespace codec_test;

namespace {

const std::string kKey = "the-right-key";

// Runs `body` on a keyed connection in a child that ends without closing it.
template <typename Body>
void crash_after(const std::string& path, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        auto db = open_db(path, kKey);
        body(db.get());
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void expect_refused(const std::string& path) {
    for (const std::string key : {"another-key", ""}) {
        int rc = -1;
        auto db = open_db(path, key, &rc);
        EXPECT_EQ(rc, SQLITE_NOTADB) << "key '" << key << "'";
    }
}

TEST(CodecWrongKey, WalFramesSurviveAnOpenWithAnotherKey) {
    TempDir dir;
    const std::string path = dir.file("w.db");
    crash_after(path, [](sqlite3* db) {
        exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE t(v);");
        exec(db,
             "INSERT INTO t SELECT x FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 "
             "FROM c WHERE x<500) SELECT x FROM c);");
    });
    ASSERT_GT(file_bytes(path + "-wal").size(), 0u);
    expect_refused(path);
    EXPECT_TRUE(path_exists(path + "-wal"));
    int rc = -1;
    auto db = open_db(path, kKey, &rc);
    ASSERT_EQ(rc, SQLITE_OK);
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 500);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
}

TEST(CodecWrongKey, HotJournalSurvivesAnOpenWithAnotherKey) {
    TempDir dir;
    const std::string path = dir.file("j.db");
    {
        auto db = open_db(path, kKey);
        exec(db.get(), "PRAGMA journal_mode=DELETE; CREATE TABLE t(id INTEGER PRIMARY KEY, v);");
        exec(db.get(),
             "INSERT INTO t(v) SELECT 'before' FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL "
             "SELECT x+1 FROM c WHERE x<3000) SELECT x FROM c);");
    }
    crash_after(path, [](sqlite3* db) {
        // A small cache spills changed pages into the file before commit.
        exec(db, "PRAGMA cache_size=5; BEGIN; UPDATE t SET v='after-crash';");
    });
    ASSERT_TRUE(path_exists(path + "-journal"));
    expect_refused(path);
    EXPECT_TRUE(path_exists(path + "-journal"));
    int rc = -1;
    auto db = open_db(path, kKey, &rc);
    ASSERT_EQ(rc, SQLITE_OK);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t WHERE v='before'"), 3000);
}

}  // namespace
