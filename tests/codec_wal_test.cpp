// Page codec in WAL mode: one writer with concurrent readers on their own
// connections and checkpoints, a writer killed with SIGKILL in the middle of a
// transaction, and frames written in pieces (powersafe overwrite off).
// Committed rows survive, files hold no plain text.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "support/codec_util.h"
#include "support/server_process.h"

using namespace codec_test;

namespace {

const std::string kKey = "wal-test-key";
constexpr int kRowsPerCommit = 20;
constexpr int kCommits = 40;  // the killed writer's commits before its open transaction

DbHandle open_busy(const std::string& path) {
    auto db = open_db(path, kKey);
    sqlite3_busy_timeout(db.get(), 5000);
    return db;
}

// One transaction of kRowsPerCommit marker rows; `commit` false leaves it open.
int write_batch(sqlite3* db, int batch, bool commit) {
    char* sql = sqlite3_mprintf(
        "BEGIN IMMEDIATE; WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE "
        "x<%d) INSERT INTO t(batch, v) SELECT %d, 'PLAINMARK' || x || zeroblob(200) FROM c;%s",
        kRowsPerCommit, batch, commit ? " COMMIT;" : "");
    int rc = exec(db, sql);
    sqlite3_free(sql);
    return rc;
}

void create_table(const std::string& path) {
    auto db = open_busy(path);
    ASSERT_EQ(text(db.get(), "PRAGMA journal_mode=WAL"), "wal");
    ASSERT_EQ(exec(db.get(), "CREATE TABLE t(id INTEGER PRIMARY KEY, batch INT, v BLOB);"), 0);
}

void expect_no_plain_text(const std::string& path) {
    EXPECT_FALSE(contains(file_bytes(path), "PLAINMARK")) << path;
    EXPECT_FALSE(contains(file_bytes(path + "-wal"), "PLAINMARK")) << path << "-wal";
}

TEST(CodecWal, WriterWithConcurrentReadersAndCheckpoints) {
    TempDir dir;
    const std::string path = dir.file("wal.db");
    create_table(path);
    constexpr int kBatches = 150;
    std::atomic<bool> done{false};
    std::atomic<int> reader_errors{0};
    auto reader = [&](bool checkpoints) {
        auto db = open_busy(path);
        int64_t last = 0;
        while (!done) {
            int64_t n = number(db.get(), "SELECT count(*) FROM t");
            int64_t batches = number(db.get(), "SELECT count(DISTINCT batch) FROM t");
            // Each read sees whole transactions, never fewer rows than before.
            if (n < last || n % kRowsPerCommit != 0 || (n > 0 && batches < 1)) ++reader_errors;
            last = n;
            if (checkpoints) exec(db.get(), "PRAGMA wal_checkpoint(PASSIVE);");
        }
    };
    std::thread r1(reader, false), r2(reader, true);
    {
        auto db = open_busy(path);
        for (int b = 0; b < kBatches; ++b) ASSERT_EQ(write_batch(db.get(), b, true), 0);
        expect_no_plain_text(path);
    }
    done = true;
    r1.join();
    r2.join();
    EXPECT_EQ(reader_errors, 0);
    auto db = open_busy(path);
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), kBatches * kRowsPerCommit);
    EXPECT_EQ(exec(db.get(), "PRAGMA wal_checkpoint(TRUNCATE);"), 0);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
    expect_no_plain_text(path);
}

// Child: commits batches, reporting each on `fd`, then writes without commit
// until it is killed.
[[noreturn]] void killed_writer(const std::string& path, int fd) {
    auto db = open_busy(path);
    exec(db.get(), "PRAGMA cache_size=5;");  // spill uncommitted pages into the WAL
    for (int b = 0;; ++b) {
        bool commit = b < kCommits;
        if (write_batch(db.get(), b, commit) != 0) _exit(2);
        if (commit && write(fd, &b, sizeof(b)) != sizeof(b)) _exit(3);
        if (!commit) {
            for (;;) exec(db.get(), "INSERT INTO t(batch, v) SELECT -1, v FROM t LIMIT 50;");
        }
    }
}

TEST(CodecWal, KilledWriterRecoversEveryCommittedRow) {
    std::mt19937 rng(std::random_device{}());
    for (int run = 0; run < 3; ++run) {
        TempDir dir;
        const std::string path = dir.file("killed.db");
        create_table(path);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            killed_writer(path, fds[1]);
        }
        close(fds[1]);
        int reported = -1, b = 0;
        // Kill after a random number of commits, at a random point after it
        // (late kills land in the open transaction).
        int wait_for = static_cast<int>(rng() % kCommits);
        while (reported < wait_for && read(fds[0], &b, sizeof(b)) == sizeof(b)) reported = b;
        usleep(static_cast<useconds_t>(rng() % 30000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (read(fds[0], &b, sizeof(b)) == sizeof(b)) reported = b;
        close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself: " << status;

        expect_no_plain_text(path);
        auto db = open_busy(path);
        EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
        int64_t rows = number(db.get(), "SELECT count(*) FROM t WHERE batch >= 0");
        EXPECT_GE(rows, int64_t{reported + 1} * kRowsPerCommit) << "run " << run;
        EXPECT_EQ(rows % kRowsPerCommit, 0);
        EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t WHERE batch < 0"), 0);
    }
}

}  // namespace

namespace {

// With powersafe overwrite off, frames reach the WAL split at sync points.
// A child commits and ends without closing; recovery must find every frame.
TEST(CodecWal, SplitFrameWritesRecover) {
    TempDir dir;
    const std::string path = dir.file("psow.db");
    const std::string uri = "file:" + path + "?psow=0&key=" + kKey;
    pid_t pid = fork();
    if (pid == 0) {
        kestrix_codec_register();
        sqlite3* db = nullptr;
        sqlite3_open_v2(uri.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
        int rc = exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
        rc = rc ? rc : exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, batch INT, v BLOB);");
        for (int b = 0; b < 30 && rc == 0; ++b) rc = write_batch(db, b, true);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    expect_no_plain_text(path);
    auto db = open_busy(path);
    EXPECT_EQ(number(db.get(), "SELECT count(*) FROM t"), 30 * kRowsPerCommit);
    EXPECT_EQ(text(db.get(), "PRAGMA integrity_check"), "ok");
}

}  // namespace
