// Database lifecycle, statement execution and transaction commands through
// the client library against the real server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "core/digest.h"
#include "support/net_server.h"
#include "support/settings_db.h"

namespace {

using kestrix::Connection;

std::string file_head(const std::string& path, size_t n) {
    return read_text_file(path).substr(0, n);
}

class DatabaseCommands : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()); }
    std::string db_file(const std::string& name) const { return server.dir().file("db/" + name); }
    // Every request header carries the session's write-lock wait.
    Connection login_waiting(uint32_t seconds) {
        kestrix::ConnectOptions o;
        o.timeout_s = seconds;
        Connection c = server.connect(o);
        c.login(admin_login());
        return c;
    }
    int exec_code(Connection& c, const std::string& sql) {
        return error_code_of([&] { c.execute(sql); });
    }
    NetServer server;
};

TEST_F(DatabaseCommands, CreateInEveryForm) {
    Connection c = server.login();
    EXPECT_EQ(exec_code(c, "CREATE DATABASE plain"), 0);
    EXPECT_EQ(file_head(db_file("plain"), 15), "SQLite format 3");
    EXPECT_EQ(exec_code(c, "CREATE DATABASE plain"), 7028);
    EXPECT_EQ(exec_code(c, "CREATE DATABASE plain IF NOT EXISTS"), 0);
    EXPECT_EQ(exec_code(c, "CREATE DATABASE secret WITH KEY 'k3y'"), 0);
    EXPECT_NE(file_head(db_file("secret"), 15), "SQLite format 3");
    EXPECT_EQ(exec_code(c, "CREATE DATABASE wide WITH ENCODING 'UTF-16be'"), 0);
    EXPECT_EQ(static_cast<unsigned char>(read_text_file(db_file("wide"))[59]),
              3);  // UTF-16be in the header
    EXPECT_EQ(exec_code(c, "CREATE DATABASE both WITH KEY 'k' WITH ENCODING 'UTF-8' IF NOT EXISTS"),
              0);
    for (const char* bad : {"CREATE DATABASE 'x''y'", "CREATE DATABASE 'a/b'",
                            "CREATE DATABASE x-wal", "CREATE DATABASE .hidden"})
        EXPECT_EQ(exec_code(c, bad), 7015) << bad;
    EXPECT_FALSE(std::filesystem::exists(db_file("x'y")));

    // A keyed database opens for any session through its stored key.
    EXPECT_EQ(exec_code(c, "USE DATABASE secret"), 0);
    EXPECT_EQ(exec_code(c, "CREATE TABLE t (a)"), 0);
    EXPECT_EQ(exec_code(c, "INSERT INTO t VALUES ('marker-text')"), 0);
    EXPECT_EQ(exec_code(c, "COMMIT"), 0);
    Connection other = server.login();
    EXPECT_EQ(exec_code(other, "USE DATABASE secret"), 0);
    EXPECT_EQ(exec_code(other, "DELETE FROM t"), 0);
    EXPECT_EQ(exec_code(other, "ROLLBACK"), 0);
}

TEST_F(DatabaseCommands, UseCloseDropAndTheirErrors) {
    Connection c = server.login();
    EXPECT_EQ(exec_code(c, "INSERT INTO t VALUES (1)"), 7030);
    EXPECT_EQ(exec_code(c, "BEGIN"), 7030);
    EXPECT_EQ(exec_code(c, "USE DATABASE missing"), 7007);
    EXPECT_FALSE(std::filesystem::exists(db_file("missing")));
    EXPECT_EQ(exec_code(c, "USE DATABASE 'bad/name'"), 7015);
    ASSERT_EQ(exec_code(c, "CREATE DATABASE shop"), 0);
    EXPECT_EQ(exec_code(c, "USE DATABASE shop"), 0);
    EXPECT_EQ(exec_code(c, "USE DATABASE shop"), 0);  // already current
    Connection other = server.login();
    EXPECT_EQ(exec_code(other, "USE DATABASE shop"), 0);
    EXPECT_EQ(exec_code(c, "DROP DATABASE shop"), 7029);  // the other session has it open
    EXPECT_EQ(exec_code(other, "CLEAR CURRENT DATABASE"), 0);
    EXPECT_EQ(exec_code(c, "DROP DATABASE shop"), 0);  // its own current database
    EXPECT_FALSE(std::filesystem::exists(db_file("shop")));
    EXPECT_EQ(exec_code(c, "INSERT INTO t VALUES (1)"), 7030);
    EXPECT_EQ(exec_code(c, "DROP DATABASE shop"), 7007);
    EXPECT_EQ(exec_code(c, "DROP DATABASE shop IF EXISTS"), 0);
    EXPECT_EQ(exec_code(c, "CLOSE DATABASE shop"), 0);
}

TEST_F(DatabaseCommands, StoppedDatabasesCannotBeOpened) {
    Connection c = server.login();
    ASSERT_EQ(exec_code(c, "CREATE DATABASE s1"), 0);
    EXPECT_EQ(exec_code(c, "STOP DATABASE s1"), 0);
    EXPECT_EQ(exec_code(c, "USE DATABASE s1"), 7027);
    EXPECT_EQ(exec_code(c, "START DATABASE s1"), 0);
    EXPECT_EQ(exec_code(c, "USE DATABASE s1"), 0);
    EXPECT_EQ(exec_code(c, "STOP DATABASE nothing"), 7007);
}

TEST_F(DatabaseCommands, EngineRepliesForMatchingContextAndSyntax) {
    Connection c = server.login();
    struct Case {
        const char* text;
        int code;
    } cases[] = {
        {"show databases;", 7025},  // needs a SELECT request
        {"DROP DA", 7026},          // passes the quick scan, fits no command
        {"SAVEPOINT sp1", 7030},    // needs a database first
        {"SHOW SERVER STATS", 7025}, {"QUIT SERVER junk", 7026},
    };
    for (const auto& k : cases) EXPECT_EQ(exec_code(c, k.text), k.code) << k.text;
    ASSERT_EQ(exec_code(c, "CREATE DATABASE e1"), 0);
    ASSERT_EQ(exec_code(c, "USE DATABASE e1"), 0);
    try {
        c.execute("SAVEPOINT sp1");
        FAIL() << "SAVEPOINT was accepted";
    } catch (const kestrix::Error& e) {
        EXPECT_EQ(e.code(), 7015);
        EXPECT_NE(std::string(e.what()).find("SAVEPOINT sp1"), std::string::npos) << e.what();
    }
    EXPECT_EQ(exec_code(c, "  VACUUM"), 0);
    EXPECT_EQ(exec_code(c, "INSERT INTO nowhere VALUES ('open"), 7046);
    EXPECT_EQ(exec_code(c, "INSERT INTO nowhere VALUES (1)"), 1);  // SQLITE_ERROR: no such table
}

TEST_F(DatabaseCommands, WritersOfOneDatabaseWaitForTheOpenTransaction) {
    Connection a = server.login();
    ASSERT_EQ(exec_code(a, "CREATE DATABASE shared"), 0);
    ASSERT_EQ(exec_code(a, "USE DATABASE shared"), 0);
    ASSERT_EQ(exec_code(a, "CREATE TABLE t (a)"), 0);
    ASSERT_EQ(exec_code(a, "COMMIT"), 0);

    Connection b = login_waiting(1);
    ASSERT_EQ(exec_code(b, "USE DATABASE shared"), 0);
    // Autocommit is off: a's insert keeps the write ticket until COMMIT.
    ASSERT_EQ(exec_code(a, "INSERT INTO t VALUES (1)"), 0);
    ASSERT_EQ(exec_code(a, "INSERT INTO t VALUES (2)"), 0);
    EXPECT_EQ(exec_code(b, "INSERT INTO t VALUES (3)"), 7055);
    EXPECT_EQ(exec_code(a, "BEGIN"), 7009);  // a transaction is open already

    Connection patient = server.login();  // waits up to 12 seconds
    ASSERT_EQ(exec_code(patient, "USE DATABASE shared"), 0);
    std::thread waiter([&] {
        EXPECT_EQ(exec_code(patient, "INSERT INTO t VALUES (3)"), 0);
        EXPECT_EQ(exec_code(patient, "COMMIT"), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(exec_code(a, "COMMIT"), 0);
    waiter.join();

    // A failing statement rolls the open transaction back; autocommit commits each one.
    ASSERT_EQ(exec_code(a, "INSERT INTO t VALUES (4)"), 0);
    EXPECT_EQ(exec_code(a, "INSERT INTO missing VALUES (5)"), 1);
    EXPECT_EQ(exec_code(a, "ENABLE AUTOCOMMIT"), 0);
    EXPECT_EQ(exec_code(a, "INSERT INTO t VALUES (6)"), 0);
    EXPECT_EQ(exec_code(b, "INSERT INTO t VALUES (7)"), 0);  // the ticket was released
    EXPECT_EQ(exec_code(b, "COMMIT"), 0);
    a.close();
    b.close();
    patient.close();

    sqlite3* db = open_with_key(db_file("shared"), nullptr);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(query_text(db, "SELECT group_concat(a) FROM (SELECT a FROM t ORDER BY a)"),
              "1,2,3,6,7");
    sqlite3_close_v2(db);
}

TEST_F(DatabaseCommands, SessionSettingsCommands) {
    Connection c = server.login();
    struct Case {
        const char* text;
        int code;
    } cases[] = {
        {"SET PING TIMEOUT TO 0", 0},
        {"SET PING TIMEOUT TO 30", 7015},
        {"SET PING TIMEOUT TO 60", 0},
        {"SET TIMEOUT TO -1", 7015},
        {"SET LANGUAGE TO it", 0},
        {"SET LANGUAGE TO ita", 7015},
        {"SET AUTOCOMMIT TO on", 0},
        {"SET CLIENT TYPE TO 'cli'", 0},
        {"PING", 0},
        {"ADD LOG ENTRY 'hello'", 0},
        {"ENABLE MVCC", 0},
    };
    for (const auto& k : cases) EXPECT_EQ(exec_code(c, k.text), k.code) << k.text;
}

}  // namespace

namespace {

// Adds a user in a group of its own to the running server's settings file.
void add_user(const NetServer& server, const std::string& user, const std::string& password,
              const std::vector<std::string>& grants) {
    sqlite3* s = open_settings_file(server.dir().file("kestrix.settings"));
    ASSERT_NE(s, nullptr);
    std::string sql = "INSERT INTO Users (userid, username, password) VALUES (2, '" + user +
                      "', '" + hash_password(password) +
                      "');INSERT INTO Groups (groupid, groupname) VALUES (2, 'staff');"
                      "INSERT INTO UserGroup (groupid, userid) VALUES (2, 2);";
    for (const auto& g : grants) sql += "INSERT INTO Privileges VALUES (2, " + g + ");";
    ASSERT_TRUE(exec_ok(s, sql)) << sqlite3_errmsg(s);
    sqlite3_close_v2(s);
}

TEST_F(DatabaseCommands, CommandsAndDatabasesFollowTheGroupsGrants) {
    Connection admin = server.login();
    ASSERT_EQ(exec_code(admin, "CREATE DATABASE shop"), 0);
    ASSERT_EQ(exec_code(admin, "CREATE DATABASE hidden"), 0);
    add_user(server, "bob", "pw", {"6, 'bob_db', '*'", "7, 'shop', '*'"});

    Connection bob = server.connect();
    kestrix::LoginOptions o;
    o.user = "bob";
    o.password = "pw";
    bob.login(o);
    struct Case {
        const char* text;
        int code;
    } cases[] = {
        {"CREATE DATABASE bob_db", 0},    // DATABASES on bob_db
        {"CREATE DATABASE other", 7022},  // ... and nowhere else
        {"CREATE DATABASE 'x'' OR ''1''=''1'", 7022},
        {"QUIT SERVER", 7022},          // ADMIN only
        {"STOP DATABASE shop", 7022},   // SERVER
        {"USE DATABASE hidden", 7022},  // no right on it at all
        {"USE DATABASE shop", 0},       // SELECT there opens it
        {"PING", 0},                    // no privilege needed
    };
    for (const auto& k : cases) EXPECT_EQ(exec_code(bob, k.text), k.code) << k.text;
    EXPECT_FALSE(std::filesystem::exists(db_file("other")));
}

}  // namespace

namespace {

TEST_F(DatabaseCommands, RenameTakesSettingsAndBackupsAlong) {
    Connection c = server.login();
    ASSERT_EQ(exec_code(c, "CREATE DATABASE r1"), 0);
    ASSERT_EQ(exec_code(c, "CREATE DATABASE taken"), 0);
    ASSERT_EQ(exec_code(c, "STOP DATABASE r1"), 0);
    write_text_file(server.dir().file("backups/r1_20260101_000000"), "backup");
    EXPECT_EQ(exec_code(c, "RENAME DATABASE r1 TO taken"), 7015);
    EXPECT_EQ(exec_code(c, "RENAME DATABASE nothing TO fresh"), 7007);
    EXPECT_EQ(exec_code(c, "RENAME DATABASE r1 TO 'bad/name'"), 7015);
    EXPECT_EQ(exec_code(c, "RENAME DATABASE r1 TO r2"), 0);
    EXPECT_FALSE(std::filesystem::exists(db_file("r1")));
    EXPECT_TRUE(std::filesystem::exists(db_file("r2")));
    EXPECT_TRUE(std::filesystem::exists(server.dir().file("backups/r2_20260101_000000")));
    EXPECT_EQ(exec_code(c, "USE DATABASE r2"), 7027);  // still stopped under its new name
    EXPECT_EQ(exec_code(c, "START DATABASE r2"), 0);
    EXPECT_EQ(exec_code(c, "USE DATABASE r2"), 0);
    Connection other = server.login();
    EXPECT_EQ(exec_code(other, "RENAME DATABASE r2 TO r3"), 7029);
}

}  // namespace

namespace {

// First column of every row, NULL as "<null>".
std::vector<std::string> first_column(const kestrix::Cursor& cur) {
    std::vector<std::string> out;
    size_t col = cur.has_rowid ? 1 : 0;
    for (const auto& row : cur.rows) out.push_back(row[col].value_or("<null>"));
    return out;
}

std::string single_value(Connection& c, const std::string& sql) {
    auto values = first_column(c.select(sql));
    return values.size() == 1 ? values[0] : "<" + std::to_string(values.size()) + " rows>";
}

TEST_F(DatabaseCommands, ListingsAndReportsAnswerWithCursors) {
    Connection c = server.login();
    for (const char* name : {"beta", "alpha", "gamma"})
        ASSERT_EQ(exec_code(c, std::string("CREATE DATABASE ") + name), 0);
    ASSERT_EQ(exec_code(c, "STOP DATABASE gamma"), 0);
    write_text_file(db_file("not'listed"), "x");
    using V = std::vector<std::string>;
    EXPECT_EQ(first_column(c.select("SHOW DATABASES")), (V{"alpha", "beta"}));
    kestrix::Cursor details = c.select("show databases with details;");
    EXPECT_EQ(first_column(details), (V{"alpha", "beta", "gamma"}));
    ASSERT_EQ(details.columns.size(), 8u);
    EXPECT_EQ(details.rows[2][1], "1");  // gamma is stopped

    EXPECT_EQ(single_value(c, "SHOW CURRENT DATABASE"), "N/A");
    EXPECT_EQ(single_value(c, "SHOW MY USERNAME"), "admin");
    EXPECT_EQ(single_value(c, "SHOW AUTOCOMMIT"), "0");
    ASSERT_EQ(exec_code(c, "USE DATABASE alpha"), 0);
    ASSERT_EQ(exec_code(c, "CREATE TABLE t (a)"), 0);
    ASSERT_EQ(exec_code(c, "INSERT INTO t VALUES (1), (2), (3)"), 0);
    EXPECT_EQ(single_value(c, "SHOW CHANGES"), "3");
    EXPECT_EQ(single_value(c, "SHOW LASTROWID"), "3");
    EXPECT_EQ(single_value(c, "SHOW CURRENT DATABASE"), "alpha");
    EXPECT_EQ(single_value(c, "SELECT count(*) FROM t"), "3");
    ASSERT_EQ(exec_code(c, "COMMIT"), 0);

    kestrix::Cursor info = c.select("SHOW DATABASE INFO alpha");
    EXPECT_EQ(first_column(info), (V{"databasename", "nconnections", "nwrite", "nread", "dbsize"}));
    EXPECT_EQ(info.rows[1][1], "1");
    EXPECT_EQ(error_code_of([&] { c.select("SHOW DATABASE INFO missing"); }), 7007);
}

}  // namespace

namespace {

kestrix::Request request(uint8_t command, std::vector<std::string> fields) {
    kestrix::Request r;
    r.command = command;
    r.fields = std::move(fields);
    return r;
}

TEST_F(DatabaseCommands, RequestChecksAndStatementKinds) {
    Connection c = server.login();
    ASSERT_EQ(exec_code(c, "CREATE DATABASE 'my db'"),
              0);  // a quoted name with a blank is one argument
    ASSERT_EQ(exec_code(c, "USE DATABASE \"my db\""), 0);
    ASSERT_EQ(exec_code(c, "CREATE TABLE t (a)"), 0);  // declined by the engine, run as SQL
    ASSERT_EQ(exec_code(c, "COMMIT"), 0);
    using kestrix::cmd::kExecute;
    using kestrix::cmd::kSelect;
    EXPECT_EQ(c.roundtrip(request(kExecute, {})).header.code, 7023);
    EXPECT_EQ(c.roundtrip(request(kSelect, {std::string("SELECT 1", 9), std::string("x", 2)}))
                  .header.code,
              7005);
    EXPECT_EQ(
        c.roundtrip(request(kExecute, {std::string("INSERT INTO t VALUES ('x", 25)})).header.code,
        7046);
    // No semicolon: one is appended.
    EXPECT_EQ(
        c.roundtrip(request(kExecute, {std::string("INSERT INTO t VALUES (1)", 25)})).header.code,
        0);
    EXPECT_EQ(single_value(c, "  select 1"), "1");
    ASSERT_EQ(exec_code(c, "COMMIT"), 0);

    // PRAGMA holds no transaction: another session writes at once afterwards.
    Connection b = login_waiting(1);
    ASSERT_EQ(exec_code(b, "USE DATABASE 'my db'"), 0);
    EXPECT_EQ(exec_code(c, "PRAGMA user_version=7"), 0);
    EXPECT_EQ(exec_code(b, "INSERT INTO t VALUES (2)"), 0);
    EXPECT_EQ(exec_code(b, "COMMIT"), 0);
    EXPECT_EQ(single_value(c, "PRAGMA user_version"), "7");
}

TEST_F(DatabaseCommands, LockedDatabaseNamesTheOwnerAndTheMeasuredWait) {
    Connection a = server.login();
    ASSERT_EQ(exec_code(a, "CREATE DATABASE locked"), 0);
    ASSERT_EQ(exec_code(a, "USE DATABASE locked"), 0);
    ASSERT_EQ(exec_code(a, "CREATE TABLE t (a)"), 0);
    ASSERT_EQ(exec_code(a, "COMMIT"), 0);
    EXPECT_EQ(exec_code(a, "LOCK DATABASE locked"), 0);

    Connection b = login_waiting(1);
    ASSERT_EQ(exec_code(b, "USE DATABASE locked"), 0);
    try {
        b.execute("INSERT INTO t VALUES (1)");
        FAIL() << "the insert did not wait";
    } catch (const kestrix::Error& e) {
        EXPECT_EQ(e.code(), 7055);
        std::string m = e.what();
        EXPECT_NE(m.find("Database locked is currently locked for write operations. Try to "
                         "increase timeout value "
                         "(1."),
                  std::string::npos)
            << m;
        EXPECT_NE(m.find("). Lock owner: admin."), std::string::npos) << m;
    }
    // A waiter whose connection drops leaves no ticket behind it.
    Connection waiter = server.login();
    ASSERT_EQ(exec_code(waiter, "USE DATABASE locked"), 0);
    waiter.send(request(kestrix::cmd::kExecute, {std::string("INSERT INTO t VALUES (3)", 25)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    waiter.socket() = kestrix::Socket();  // gone without a word
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(exec_code(a, "UNLOCK DATABASE locked"), 0);
    EXPECT_EQ(exec_code(b, "INSERT INTO t VALUES (1)"), 0);  // next in line: b, within its 1 second
    EXPECT_EQ(exec_code(b, "COMMIT"), 0);

    // FORCE UNLOCK takes the lock away from its holder.
    EXPECT_EQ(exec_code(a, "LOCK DATABASE locked"), 0);
    EXPECT_EQ(exec_code(b, "FORCE UNLOCK DATABASE locked"), 0);
    EXPECT_EQ(exec_code(b, "INSERT INTO t VALUES (2)"), 0);
    EXPECT_EQ(exec_code(b, "COMMIT"), 0);
    EXPECT_EQ(exec_code(a, "LOCK DATABASE missing"), 7015);
}

TEST_F(DatabaseCommands, PathsPerDatabase) {
    Connection c = server.login();
    std::string elsewhere = server.dir().file("elsewhere");
    std::filesystem::create_directories(elsewhere);
    EXPECT_EQ(exec_code(c, "SET PATH '" + elsewhere + "' FOR DATABASE far"), 0);
    EXPECT_EQ(exec_code(c, "CREATE DATABASE far"), 0);
    EXPECT_TRUE(std::filesystem::exists(elsewhere + "/far"));
    EXPECT_EQ(exec_code(c, "USE DATABASE far"), 0);
    std::string temp = server.dir().file("temporary");
    std::filesystem::create_directories(temp);
    EXPECT_EQ(exec_code(c, "SET TEMP PATH '" + temp + "' FOR DATABASE near"), 0);
    EXPECT_EQ(exec_code(c, "CREATE DATABASE near"), 0);
    EXPECT_TRUE(std::filesystem::exists(temp + "/near"));
    using V = std::vector<std::string>;
    EXPECT_EQ(first_column(c.select("SHOW DATABASES")),
              (V{"far"}));  // temporary paths are not listed
}

}  // namespace

namespace {

TEST_F(DatabaseCommands, AttachAndDetachRunWithoutATransaction) {
    Connection c = server.login();
    ASSERT_EQ(exec_code(c, "CREATE DATABASE main1"), 0);
    ASSERT_EQ(exec_code(c, "CREATE DATABASE side"), 0);
    ASSERT_EQ(exec_code(c, "USE DATABASE side"), 0);
    ASSERT_EQ(exec_code(c, "CREATE TABLE s (a)"), 0);
    ASSERT_EQ(exec_code(c, "INSERT INTO s VALUES (1), (2)"), 0);
    ASSERT_EQ(exec_code(c, "COMMIT"), 0);
    ASSERT_EQ(exec_code(c, "USE DATABASE main1"), 0);
    EXPECT_EQ(exec_code(c, "ATTACH DATABASE '" + db_file("side") + "' AS other"), 0);
    EXPECT_EQ(single_value(c, "SELECT count(*) FROM other.s"), "2");
    EXPECT_EQ(exec_code(c, "DETACH DATABASE other"), 0);
    EXPECT_NE(error_code_of([&] { c.select("SELECT count(*) FROM other.s"); }), 0);
}

}  // namespace
