// Re-key killed at random moments: a child process re-keys a database of
// several MB in-process and gets SIGKILL after a random delay. Afterwards the
// file opens with exactly one of the two keys, tried in either order (a hot
// journal is under the old key and must survive a try with the new one), and
// passes integrity_check with every row.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "codec/codec.h"
#include "support/codec_util.h"
#include "support/server_process.h"

using namespace codec_test;

namespace {

constexpr int kRows = 40000;

void build(const std::string& path, const std::string& key) {
    auto db = open_db(path, key);
    ASSERT_EQ(text(db.get(), "PRAGMA journal_mode=WAL"), "wal");
    ASSERT_EQ(exec(db.get(),
                   "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT); CREATE INDEX tv ON t(v);"
                   "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<40000) "
                   "INSERT INTO t(v) SELECT 'REKEYMARK' || x || hex(randomblob(30)) FROM c;"),
              0);
}

// Opens with `key`; the open's answer, and the file checked when it opened.
int open_and_check(const std::string& path, const std::string& key) {
    int rc = -1;
    auto db = open_db(path, key, &rc);
    if (rc != SQLITE_OK) return rc;
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), kRows);
    return rc;
}

TEST(CodecRekey, KilledRekeyLeavesExactlyOneWorkingKey) {
    TempDir dir;
    const std::string path = dir.file("rekey.db");
    std::string current = "first-key", other = "second-key";
    build(path, current);
    ASSERT_GT(file_bytes(path).size() + file_bytes(path + "-wal").size(), 4000000u);

    // One uninterrupted run gives the scale of the random delays.
    auto t0 = std::chrono::steady_clock::now();
    {
        auto db = open_db(path, current);
        ASSERT_EQ(sqlite3_rekey(db.get(), other.data(), static_cast<int>(other.size())), 0);
    }
    auto full_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::swap(current, other);

    std::mt19937 rng(std::random_device{}());
    int killed = 0;
    for (int run = 0; run < 6; ++run) {
        pid_t pid = fork();
        if (pid == 0) {
            auto db = open_db(path, current);
            _exit(sqlite3_rekey(db.get(), other.data(), static_cast<int>(other.size())));
        }
        usleep(static_cast<useconds_t>(rng() % (full_us + 1)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        killed += WIFSIGNALED(status) ? 1 : 0;
        if (WIFEXITED(status)) {
            ASSERT_EQ(WEXITSTATUS(status), 0);
        }

        SCOPED_TRACE("run " + std::to_string(run));
        // Either key may be tried first: a wrong key must leave a hot journal
        // alone, so the order does not matter.
        bool old_first = rng() % 2 == 0;
        const std::string& first = old_first ? current : other;
        const std::string& second = old_first ? other : current;
        int with_first = open_and_check(path, first);
        if (with_first == SQLITE_OK) {
            EXPECT_EQ(open_and_check(path, second), SQLITE_NOTADB);
        } else {
            EXPECT_EQ(with_first, SQLITE_NOTADB);
            EXPECT_EQ(open_and_check(path, second), SQLITE_OK);
        }
        if ((with_first == SQLITE_OK) != old_first) std::swap(current, other);
    }
    EXPECT_GT(killed, 0);
    EXPECT_FALSE(contains(file_bytes(path), "REKEYMARK"));
}

}  // namespace
