// The privilege check and the SQL authorizer in process: accepted codes,
// the answer cache and its reload, and what each kind of statement needs;
// and the row copy behind the account listings.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "commands/users_show.h"
#include "core/authorizer.h"
#include "core/dbhelpers.h"
#include "core/privileges.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "server/settings.h"

namespace {

class AuthorizerTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = settings.settings_db;
        ASSERT_EQ(sqlite3_open(":memory:", &rights_), SQLITE_OK);
        ASSERT_EQ(kestrix_exec(rights_,
                               "CREATE TABLE Users (userid INTEGER PRIMARY KEY, username TEXT "
                               "UNIQUE COLLATE NOCASE, password TEXT);"
                               "CREATE TABLE Groups (groupid INTEGER PRIMARY KEY, groupname TEXT);"
                               "CREATE TABLE UserGroup (groupid INTEGER, userid INTEGER);"
                               "CREATE TABLE Privileges (groupid INTEGER, privilege INTEGER, "
                               "databasename TEXT, tablename TEXT);"
                               "INSERT INTO Users VALUES (1, 'admin', NULL), (2, 'boss', NULL), "
                               "(3, 'bob', NULL);"
                               "INSERT INTO Groups VALUES (1, 'Admin'), (2, 'staff');"
                               "INSERT INTO UserGroup VALUES (1, 2), (2, 3);"),
                  SQLITE_OK);
        settings.settings_db = rights_;
        ASSERT_EQ(sqlite3_open(":memory:", &user_db_), SQLITE_OK);
        ASSERT_EQ(kestrix_exec(user_db_,
                               "CREATE TABLE t (a); CREATE TABLE u (a);"
                               "CREATE TABLE s (id INTEGER PRIMARY KEY AUTOINCREMENT);"),
                  SQLITE_OK);
        bob_.username = "bob";
        sqlite3_set_authorizer(user_db_, kestrix_authorizer, &bob_);
        privileges_changed();
    }
    void TearDown() override {
        sqlite3_set_authorizer(user_db_, nullptr, nullptr);
        sqlite3_close(user_db_);
        settings.settings_db = saved_;
        sqlite3_close(rights_);
        privileges_changed();
    }
    void grant(int code, const char* table) {
        std::string sql = "INSERT INTO Privileges VALUES (2, " + std::to_string(code) + ", '*', '" +
                          table + "');";
        ASSERT_EQ(kestrix_exec(rights_, sql.c_str()), SQLITE_OK);
        privileges_changed();
    }
    // The result code of compiling `sql` as bob.
    int compile(const char* sql) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(user_db_, sql, -1, &st, nullptr);
        sqlite3_finalize(st);
        bob_.delete_authorized = 0;  // as statement execution does after each statement
        return rc;
    }

    sqlite3* saved_ = nullptr;
    sqlite3* rights_ = nullptr;
    sqlite3* user_db_ = nullptr;
    client bob_;
};

TEST_F(AuthorizerTest, AdminGroupMembersPassWithoutAnyPrivilegeQuery) {
    ASSERT_EQ(kestrix_exec(rights_, "DROP TABLE Privileges;"), SQLITE_OK);  // a query would fail
    client boss;
    boss.username = "boss";
    for (int code : {PRIV_SELECT, PRIV_DROP, PRIV_PRAGMA, PRIV_SERVER})
        EXPECT_EQ(check_sql_authorization(&boss, code, "t"), AUTH_ALLOWED) << code;
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_DENIED);
}

TEST_F(AuthorizerTest, AcceptedCodesOfEachPrivilege) {
    struct Case {
        int held;
        int asked;
        int answer;
    } cases[] = {
        {PRIV_INSERT_UPDATE_DELETE, PRIV_INSERT, AUTH_ALLOWED},
        {PRIV_INSERT_UPDATE_DELETE, PRIV_UPDATE, AUTH_ALLOWED},
        {PRIV_INSERT_UPDATE_DELETE, PRIV_DELETE, AUTH_ALLOWED},
        {PRIV_INSERT_UPDATE_DELETE, PRIV_SELECT, AUTH_DENIED},
        {101, PRIV_SELECT, AUTH_ALLOWED},
        {101, PRIV_INSERT, AUTH_DENIED},
        {102, PRIV_SELECT, AUTH_ALLOWED},
        {102, PRIV_DELETE, AUTH_ALLOWED},
        {102, PRIV_CREATE, AUTH_DENIED},
        {PRIV_ADMIN, PRIV_PRAGMA, AUTH_ALLOWED},
        {PRIV_ADMIN, PRIV_DROP, AUTH_ALLOWED},
        {PRIV_SELECT, PRIV_INSERT, AUTH_DENIED},
        {PRIV_CREATE, PRIV_CREATE, AUTH_ALLOWED},
    };
    for (const auto& k : cases) {
        ASSERT_EQ(kestrix_exec(rights_, "DELETE FROM Privileges;"), SQLITE_OK);
        grant(k.held, "t");
        EXPECT_EQ(check_sql_authorization(&bob_, k.asked, "t"), k.answer)
            << "held " << k.held << " asked " << k.asked;
        EXPECT_EQ(check_sql_authorization(&bob_, k.asked, "u"), AUTH_DENIED) << k.held;
    }
}

TEST_F(AuthorizerTest, AnswersAreCachedUntilTheGenerationMoves) {
    grant(PRIV_SELECT, "t");
    ASSERT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_ALLOWED);
    ASSERT_EQ(kestrix_exec(rights_, "DELETE FROM Privileges;"), SQLITE_OK);
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_ALLOWED);  // cached
    privileges_changed();
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_DENIED);
}

TEST_F(AuthorizerTest, TheCacheHoldsFiftyAnswersRoundRobin) {
    grant(PRIV_SELECT, "t");
    ASSERT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_ALLOWED);
    ASSERT_EQ(kestrix_exec(rights_, "DELETE FROM Privileges;"), SQLITE_OK);
    for (int i = 0; i < AUTH_CACHE_SIZE - 1; ++i)
        check_sql_authorization(&bob_, PRIV_SELECT, ("other" + std::to_string(i)).c_str());
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_ALLOWED);  // 50th entry
    check_sql_authorization(&bob_, PRIV_SELECT, "one_more");  // overwrites the oldest
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_DENIED);
}

TEST_F(AuthorizerTest, WhatEachStatementNeeds) {
    grant(PRIV_INSERT, "t");
    grant(PRIV_DELETE, "u");
    struct Case {
        const char* sql;
        int rc;
    } cases[] = {
        {"INSERT INTO t VALUES (1)", SQLITE_OK},
        {"SELECT a FROM t", SQLITE_AUTH},
        {"UPDATE t SET a = 2", SQLITE_AUTH},
        {"CREATE INDEX ti ON t(a)", SQLITE_AUTH},
        {"CREATE TABLE n (a)", SQLITE_AUTH},
        {"DROP TABLE t", SQLITE_AUTH},
        {"CREATE VIEW v AS SELECT 1", SQLITE_AUTH},
        {"ALTER TABLE t ADD COLUMN b", SQLITE_AUTH},
        {"DELETE FROM u WHERE a = 1", SQLITE_OK},  // its WHERE reads u without SELECT
        {"DELETE FROM u WHERE a IN (SELECT a FROM t)", SQLITE_AUTH},
        {"DELETE FROM t", SQLITE_AUTH},
        {"PRAGMA table_info(t)", SQLITE_OK},
        {"PRAGMA TABLE_INFO(u)", SQLITE_OK},
        {"PRAGMA integrity_check", SQLITE_OK},
        {"PRAGMA cache_size = 100", SQLITE_AUTH},
        {"PRAGMA table_list", SQLITE_AUTH},
        {"SELECT * FROM sqlite_master", SQLITE_OK},
        {"SELECT * FROM SQLITE_SEQUENCE", SQLITE_OK},
        {"SELECT 1 + 1, abs(-1)", SQLITE_OK},
        {"BEGIN", SQLITE_OK},
    };
    for (const auto& k : cases) EXPECT_EQ(compile(k.sql), k.rc) << k.sql;
    grant(PRIV_PRAGMA, "*");
    EXPECT_EQ(compile("PRAGMA cache_size = 100"), SQLITE_OK);
    grant(PRIV_ADMIN, "*");
    for (const auto& k : cases) EXPECT_EQ(compile(k.sql), SQLITE_OK) << k.sql;
}

TEST_F(AuthorizerTest, TheDatabaseAdministratorOfTheCurrentDatabasePasses) {
    bob_.is_db_admin = 1;
    bob_.privilege_stamp = settings.privilege_generation;  // loaded, current database set
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_DROP, "t"), AUTH_ALLOWED);
    EXPECT_EQ(compile("DROP TABLE u"), SQLITE_OK);
}

TEST_F(AuthorizerTest, AUserWithoutGroupsIsDeniedEverything) {
    ASSERT_EQ(kestrix_exec(rights_, "DELETE FROM UserGroup WHERE userid=3;"), SQLITE_OK);
    grant(PRIV_ADMIN, "*");
    EXPECT_EQ(check_sql_authorization(&bob_, PRIV_SELECT, "t"), AUTH_DENIED);
    EXPECT_EQ(compile("SELECT * FROM sqlite_master"), SQLITE_OK);
}

}  // namespace

// Listings copy the rows of a bound query into a scratch table before they are
// sent; the copy keeps names, declared types, NULLs and quotes.
namespace {

TEST(ListingRows, CopiedWithNamesTypesAndValues) {
    sqlite3* source = nullptr;
    sqlite3* scratch = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &source), SQLITE_OK);
    ASSERT_EQ(sqlite3_open(":memory:", &scratch), SQLITE_OK);
    ASSERT_EQ(kestrix_exec(source,
                           "CREATE TABLE Users (userid INTEGER, username TEXT, password TEXT);"
                           "INSERT INTO Users VALUES (1, 'admin', 'h1'), (2, 'x'' OR ''1''=''1', "
                           "NULL), (3, 'carol', 'h3');"),
              SQLITE_OK);
    {
        Stmt rows(source,
                  "SELECT username, password AS \"pass\"\"word\", userid FROM Users WHERE userid "
                  ">= ?1 ORDER BY userid;");
        rows.bind(1, 2);
        ASSERT_EQ(copy_rows(scratch, "listing", rows.get()), 1);
    }
    Stmt check(scratch,
               "SELECT group_concat(quote(username) || '/' || quote(\"pass\"\"word\") || '/' || "
               "typeof(userid), ';') FROM listing;");
    ASSERT_EQ(check.step(), SQLITE_ROW);
    EXPECT_EQ(check.text_at(0), "'x'' OR ''1''=''1'/NULL/integer;'carol'/'h3'/integer");
    Stmt types(scratch, "SELECT group_concat(type) FROM pragma_table_info('listing');");
    ASSERT_EQ(types.step(), SQLITE_ROW);
    EXPECT_EQ(types.text_at(0), "TEXT,TEXT,INTEGER");
    sqlite3_close(scratch);
    sqlite3_close(source);
}

}  // namespace
