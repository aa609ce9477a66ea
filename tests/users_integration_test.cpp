// Users, groups, grants and the SQL authorizer against the real server:
// the protected admin user and group, the Admin-group guard, grant scopes,
// rights that reach other sessions at their next statement, names with
// apostrophes, and the privilege matrix of the command table.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands/engine.h"
#include "core/digest.h"
#include "core/privileges.h"
#include "support/net_server.h"
#include "support/settings_db.h"

namespace {

using kestrix::Connection;

constexpr int kDenied = 23;  // SQLITE_AUTH

struct Outcome {
    int code = 0;
    std::string message;
};

// An SQL literal of `text`, for the test's own look-ups.
std::string quoted(const std::string& text) {
    char* q = sqlite3_mprintf("%Q", text.c_str());
    std::string out = q;
    sqlite3_free(q);
    return out;
}

class Accounts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        admin_conn.emplace(server.login());
    }
    Outcome run(Connection& c, const std::string& text) {
        try {
            c.execute(text);
        } catch (const kestrix::Error& e) {
            return {e.code(), e.what()};
        }
        return {};
    }
    int code(Connection& c, const std::string& text) { return run(c, text).code; }
    Connection& admin() { return *admin_conn; }
    void as_admin(const std::string& text) { ASSERT_EQ(code(admin(), text), 0) << text; }
    // A user with password "pw" in a group "<name>_g" of its own holding `grants`
    // (command tails after "GRANT x TO GROUP g", e.g. {"SELECT", " FOR DATABASE d"}).
    void add_user(const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& grants = {}) {
        as_admin("CREATE USER " + name + " WITH PASSWORD pw");
        as_admin("CREATE GROUP " + name + "_g");
        as_admin("ADD USER " + name + " TO GROUP " + name + "_g");
        for (const auto& [privilege, scope] : grants)
            as_admin("GRANT " + privilege + " TO GROUP " + name + "_g" + scope);
    }
    Connection login_as(const std::string& user, const std::string& password = "pw") {
        Connection c = server.connect();
        c.login({user, password, kestrix::KeyType::kNone, std::nullopt});
        return c;
    }
    int login_code(const std::string& user, const std::string& password) {
        return error_code_of([&] { login_as(user, password); });
    }
    std::string settings_text(const std::string& sql) {
        sqlite3* s = open_settings_file(server.dir().file("kestrix.settings"));
        std::string out = s ? query_text(s, sql) : "<no settings>";
        sqlite3_close_v2(s);
        return out;
    }
    int settings_int(const std::string& sql) { return std::stoi("0" + settings_text(sql)); }
    // A database "shop" with a table t of one row and an AUTOINCREMENT table s.
    void make_shop() {
        as_admin("CREATE DATABASE shop");
        as_admin("CREATE DATABASE other");
        as_admin("USE DATABASE shop");
        as_admin("ENABLE AUTOCOMMIT");
        as_admin("CREATE TABLE t (a)");
        as_admin("INSERT INTO t VALUES (1)");
        as_admin("CREATE TABLE s (id INTEGER PRIMARY KEY AUTOINCREMENT, v)");
    }
    Connection open_shop(const std::string& user) {
        Connection c = login_as(user);
        EXPECT_EQ(code(c, "USE DATABASE shop"), 0) << user;
        EXPECT_EQ(code(c, "ENABLE AUTOCOMMIT"), 0);
        return c;
    }

    struct SqlCase {
        const char* sql;
        bool allowed;
    };
    void expect_sql(Connection& c, std::initializer_list<SqlCase> cases, const char* who) {
        for (const auto& k : cases) {
            int rc = code(c, k.sql);
            if (k.allowed)
                EXPECT_NE(rc, kDenied) << who << ": " << k.sql;
            else
                EXPECT_EQ(rc, kDenied) << who << ": " << k.sql;
        }
    }
    struct CommandCase {
        std::string text;
        int code;
        const char* message;  // nullptr: not looked at
    };
    void expect_commands(Connection& c, const std::vector<CommandCase>& cases, const char* who) {
        for (const auto& k : cases) {
            Outcome o = run(c, k.text);
            EXPECT_EQ(o.code, k.code) << who << ": " << k.text << " -> " << o.message;
            if (k.message) {
                EXPECT_EQ(o.message, k.message) << who << ": " << k.text;
            }
        }
    }

    NetServer server;
    std::optional<Connection> admin_conn;
};

TEST_F(Accounts, StatementsNeedTheMatchingGrant) {
    make_shop();
    add_user("bob", {{"'INSERT, UPDATE or DELETE'", " FOR TABLE t IN DATABASE shop"},
                     {"INSERT", " FOR TABLE s IN DATABASE shop"}});
    Connection bob = open_shop("bob");  // rights on single tables open the database
    expect_sql(bob,
               {
                   {"INSERT INTO t VALUES (2)", true},
                   {"UPDATE t SET a = 5", true},
                   {"UPDATE t SET a = a + 1", false},    // reading the column needs SELECT
                   {"DELETE FROM t WHERE a = 2", true},  // its WHERE needs no SELECT
                   {"SELECT a FROM t", false},           // the combined code is no SELECT
                   {"PRAGMA table_info(t)", true},
                   {"PRAGMA cache_size = 100", false},
                   {"INSERT INTO s (v) VALUES (1)", true},  // writes sqlite_sequence too
                   {"SELECT name FROM sqlite_master", true},
                   {"SELECT seq FROM sqlite_sequence", true},
                   {"CREATE TABLE mine (a)", false},
                   {"DROP TABLE t", false},
               },
               "bob");
    EXPECT_EQ(code(bob, "USE DATABASE other"), 7022);
}

TEST_F(Accounts, AGrantReachesAnOpenSessionAtItsNextStatement) {
    make_shop();
    add_user("bob", {{"INSERT", " FOR TABLE t IN DATABASE shop"}});
    Connection bob = open_shop("bob");
    ASSERT_EQ(code(bob, "SELECT a FROM t"), kDenied);  // also fills bob's answer cache
    as_admin("GRANT SELECT TO GROUP bob_g FOR TABLE t IN DATABASE shop");
    EXPECT_NE(code(bob, "SELECT a FROM t"), kDenied);
    as_admin("REVOKE SELECT FROM GROUP bob_g FOR TABLE t IN DATABASE shop");
    EXPECT_EQ(code(bob, "SELECT a FROM t"), kDenied);
    as_admin("ADD USER bob TO GROUP Admin");
    EXPECT_NE(code(bob, "CREATE TABLE made_by_bob (a)"), kDenied);
    as_admin("REMOVE USER bob FROM GROUP Admin");
    EXPECT_EQ(code(bob, "DROP TABLE made_by_bob"), kDenied);
}

TEST_F(Accounts, AdminOnOneDatabaseAndDatabaseAdminPassEveryCheckThere) {
    make_shop();
    add_user("carol", {{"ADMIN", " FOR DATABASE shop"}});
    add_user("dave", {{"DATABASE_ADMIN", " FOR DATABASE shop"}});
    for (const char* user : {"carol", "dave"}) {
        Connection c = open_shop(user);
        expect_sql(c,
                   {
                       {"CREATE TABLE mine (a)", true},
                       {"INSERT INTO mine SELECT a FROM t", true},
                       {"PRAGMA cache_size = 100", true},
                       {"CREATE INDEX mi ON mine (a)", true},
                       {"DROP TABLE mine", true},
                   },
                   user);
        EXPECT_EQ(code(c, "USE DATABASE other"), 7022) << user;
    }
}

TEST_F(Accounts, TheAdminUserAndGroupAreProtected) {
    const int admin_rows = settings_int("SELECT count(*) FROM UserGroup WHERE userid=1;");
    expect_commands(
        admin(),
        {
            {"CREATE USER bob", 0, nullptr},
            {"CREATE USER Bob", 7015, "Username name must be unique."},
            {"CREATE GROUP staff", 0, nullptr},
            {"CREATE GROUP STAFF", 7015, "Group name must be unique."},
            {"DROP USER admin", 7036, "User Admin couldn't be dropped."},
            {"DROP USER ADMIN", 7036, "User Admin couldn't be dropped."},
            {"DROP GROUP Admin", 7044, "Group Admin couldn't be dropped."},
            {"RENAME USER admin TO boss", 7051, "User Admin couldn't be renamed."},
            {"RENAME GROUP admin TO boss", 7051, "Group Admin couldn't be renamed."},
            {"MOVE USER admin TO GROUP staff", 7015, "Admin user cannot be moved."},
            {"REMOVE USER admin FROM GROUP Admin", 7036,
             "User Admin couldn't be removed from the Admin group."},
            {"DISABLE LOGIN ADMIN", 7015, "Special admin user cannot be explicitly disabled."},
            {"ADD USER admin TO GROUP Admin", 0, nullptr},
            {"DROP USER ghost", 7033, "No such user."},
            {"DROP GROUP ghost", 7034, "No such group."},
            {"ADD USER ghost TO GROUP staff", 7033, "Unknown user."},
            {"ADD USER bob TO GROUP ghost", 7034, "Unknown group."},
            {"ADD USER bob TO GROUP staff", 0, nullptr},
            {"ADD USER BOB TO GROUP Staff", 7015,
             "Command cannot be completed due to an internal error."},
            {"RENAME USER ghost TO g2", 7033, "Unknown user."},
            {"RENAME GROUP ghost TO g2", 7034, "Unknown group."},
            {"SET PASSWORD x FOR USER ghost", 7033, "Unknown user."},
            {"GRANT ALL TO GROUP staff", 7045, "No such privilege."},
            {"GRANT SELECT TO GROUP Admin", 7022, "Admin group cannot be altered."},
            {"REVOKE ALL FROM GROUP Admin", 7022, "Admin group cannot be altered."},
            {"GRANT SELECT TO GROUP ghost", 7034, "No such group."},
            {"SHOW GROUPS FOR USER ghost", 7025, nullptr},  // a listing needs a SELECT request
        },
        "admin");
    EXPECT_EQ(settings_int("SELECT count(*) FROM UserGroup WHERE userid=1;"), admin_rows);
    EXPECT_EQ(settings_text("SELECT username FROM Users WHERE userid=1;"), "admin");
}

TEST_F(Accounts, TheAdminGroupGuard) {
    add_user("chief", {{"ADMIN", ""}});  // holds ADMIN, not in the Admin group
    add_user("clerk", {{"PRIVILEGES", ""}});
    add_user("pat");
    as_admin("CREATE USER member");
    as_admin("ADD USER member TO GROUP Admin");
    const char* const kAdd =
        "Admin privileges are required in order to add an user to the special Admin group.";
    Connection clerk = login_as("clerk");
    expect_commands(
        clerk,
        {
            {"ADD USER pat TO GROUP Admin", 7022, kAdd},
            {"MOVE USER pat TO GROUP Admin", 7022,
             "Admin privileges are required in order to move an user to the special Admin "
             "group."},
            {"REMOVE USER member FROM GROUP Admin", 7022,
             "Admin privileges are required in order to remove an user from the special Admin "
             "group."},
            {"DROP USER member", 7022,
             "Admin privileges are required in order to drop an user from the Admin group."},
            {"RENAME USER member TO m2", 7022,
             "Admin privileges are required in order to rename an user in the Admin group."},
            {"SET PASSWORD x FOR USER member", 7022,
             "Admin privileges are required in order to change password for an user in the "
             "Admin group."},
            {"DISABLE LOGIN member", 7022,
             "Admin privileges are required in order to disable an user in the Admin group."},
            {"ENABLE LOGIN member", 7022,
             "Admin privileges are required in order to enable an user in the Admin group."},
            {"MOVE USER member TO GROUP clerk_g", 7022,
             "Admin privileges are required in order to remove an user from the special Admin "
             "group."},
            {"GRANT ADMIN TO GROUP clerk_g", 7022,
             "Admin privileges are required in order to grant or revoke the ADMIN privilege."},
            {"REVOKE ADMIN FROM GROUP chief_g", 7022, nullptr},
            {"REVOKE ALL FROM GROUP chief_g", 7022, nullptr},
            {"GRANT SERVER TO GROUP clerk_g", 0, nullptr},
            {"REVOKE SERVER FROM GROUP clerk_g", 0, nullptr},
            {"REVOKE ALL FROM GROUP pat_g", 0, nullptr},    // holds no ADMIN
            {"ADD USER pat TO GROUP clerk_g", 0, nullptr},  // no Admin group involved
            {"SET PASSWORD pw2 FOR USER pat", 0, nullptr},
        },
        "clerk");
    Connection chief = login_as("chief");
    expect_commands(chief,
                    {
                        {"ADD USER pat TO GROUP Admin", 0, nullptr},
                        {"MOVE USER pat TO GROUP Admin", 0, nullptr},
                        {"SET PASSWORD x FOR USER member", 0, nullptr},
                        {"DISABLE LOGIN member", 0, nullptr},
                        {"ENABLE LOGIN member", 0, nullptr},
                        {"RENAME USER member TO m2", 0, nullptr},
                        {"MOVE USER m2 TO GROUP chief_g", 0, nullptr},
                        {"GRANT ADMIN TO GROUP pat_g", 0, nullptr},
                        {"DROP USER pat", 0, nullptr},
                    },
                    "chief");
    EXPECT_EQ(settings_int("SELECT count(*) FROM Users WHERE username IN ('pat', 'member');"), 0);
}

TEST_F(Accounts, GrantScopesAndRevokeAll) {
    as_admin("CREATE GROUP staff");
    as_admin("CREATE GROUP keep");
    as_admin("GRANT select TO GROUP keep");
    auto rows = [this] {
        return settings_text(
            "SELECT group_concat(r) FROM (SELECT privilege || ':' || databasename || ':' || "
            "tablename AS r FROM Privileges, Groups WHERE Privileges.groupid=Groups.groupid AND "
            "groupname='staff' ORDER BY r);");
    };
    for (const char* all : {"ALL", "all", "Allthings"}) {
        as_admin("GRANT SELECT TO GROUP staff");
        as_admin("GRANT Insert TO GROUP staff FOR DATABASE shop");
        as_admin("GRANT 'insert, update or delete' TO GROUP staff FOR TABLE t IN DATABASE shop");
        as_admin("GRANT INSERT TO GROUP staff FOR DATABASE shop");  // replaces, no second row
        EXPECT_EQ(rows(), "100:shop:t,7:*:*,8:shop:*");
        as_admin("REVOKE INSERT FROM GROUP staff FOR TABLE t IN DATABASE shop");  // no such row
        as_admin("REVOKE INSERT FROM GROUP staff FOR DATABASE shop");
        EXPECT_EQ(rows(), "100:shop:t,7:*:*");
        as_admin(std::string("REVOKE ") + all + " FROM GROUP staff");
        EXPECT_EQ(rows(), "") << all;
    }
    EXPECT_EQ(code(admin(), "REVOKE ALL FROM GROUP staff FOR DATABASE shop"), 7045);
    EXPECT_EQ(settings_int("SELECT count(*) FROM Privileges, Groups WHERE "
                           "Privileges.groupid=Groups.groupid AND groupname='keep';"),
              1);
}

TEST_F(Accounts, PasswordsOfOwnAndOtherAccounts) {
    as_admin("CREATE USER nopriv WITH PASSWORD old");  // in no group, holds nothing
    as_admin("CREATE USER hashed WITH HASH PASSWORD '" + hash_password("h-pw") + "'");
    EXPECT_EQ(login_code("hashed", "h-pw"), 0);
    Connection c = login_as("nopriv", "old");
    EXPECT_EQ(code(c, "SET MY PASSWORD TO new"), 0);
    EXPECT_NE(login_code("nopriv", "old"), 0);
    EXPECT_EQ(login_code("nopriv", "new"), 0);
    EXPECT_EQ(code(c, "SET MY HASH PASSWORD TO '" + hash_password("third") + "'"), 0);
    EXPECT_EQ(login_code("nopriv", "third"), 0);
    EXPECT_EQ(code(c, "SET PASSWORD x FOR USER nopriv"), 7022);  // needs PRIVILEGES
    as_admin("SET PASSWORD fourth FOR USER NOPRIV");
    EXPECT_EQ(login_code("nopriv", "fourth"), 0);
    as_admin("DROP USER nopriv");
    EXPECT_EQ(run(c, "SET MY PASSWORD TO fifth").message, "Unknown user.");
    EXPECT_NE(login_code("nopriv", "fourth"), 0);
}

TEST_F(Accounts, DisabledLoginsAreStoredAndCleared) {
    as_admin("CREATE USER pat WITH PASSWORD pw");
    as_admin("DISABLE LOGIN Pat");
    EXPECT_EQ(settings_text("SELECT username || ':' || times || ':' || lasttime FROM Logins;"),
              "Pat:0:1");
    as_admin("DISABLE LOGIN nobody_at_all");  // the name need not exist
    as_admin("ENABLE LOGIN pat");
    EXPECT_EQ(settings_text("SELECT group_concat(username) FROM Logins;"), "nobody_at_all");
    EXPECT_EQ(login_code("pat", "pw"), 0);
}

// Names that would widen a pasted WHERE clause: every one must be taken as
// the exact text it is.
TEST_F(Accounts, ApostrophesInNamesCannotChangeTheStatements) {
    make_shop();
    const std::string evil = "x' OR '1'='1";
    const std::string q = "'x'' OR ''1''=''1'";  // the same name quoted in a command
    const std::string evil2 = "y' OR '1'='1";
    const std::string q2 = "'y'' OR ''1''=''1'";
    as_admin("CREATE USER bystander WITH PASSWORD pw");
    const int users = settings_int("SELECT count(*) FROM Users;");
    as_admin("CREATE USER " + q + " WITH PASSWORD pw");
    as_admin("CREATE GROUP " + q);
    as_admin("ADD USER " + q + " TO GROUP " + q);
    as_admin("GRANT SELECT TO GROUP " + q + " FOR DATABASE " + q);
    as_admin("GRANT SELECT TO GROUP " + q + " FOR TABLE " + q + " IN DATABASE other");
    EXPECT_EQ(settings_int("SELECT count(*) FROM Users;"), users + 1);
    EXPECT_EQ(settings_int("SELECT count(*) FROM Privileges WHERE databasename=" + quoted(evil) +
                           " AND tablename='*';"),
              1);
    EXPECT_EQ(settings_int("SELECT count(*) FROM Privileges WHERE tablename=" + quoted(evil) + ";"),
              1);

    Connection e = login_as(evil);
    EXPECT_EQ(code(e, "USE DATABASE shop"), 7022);  // the grant names another database
    EXPECT_EQ(code(e, "USE DATABASE " + q), 7015);  // no such name is valid
    ASSERT_EQ(code(e, "USE DATABASE other"), 0);    // through the table grant
    as_admin("USE DATABASE other");
    as_admin("CREATE TABLE t (a)");
    EXPECT_EQ(code(e, "SELECT a FROM t"), kDenied);  // the table grant names another table

    expect_commands(admin(),
                    {
                        {"DROP USER 'admin'' --'", 7033, nullptr},
                        {"RENAME USER 'admin'' --' TO z", 7033, nullptr},
                        {"SET PASSWORD p FOR USER 'bystander'' --'", 7033, nullptr},
                        {"DROP GROUP 'Admin'' --'", 7034, nullptr},
                        {"GRANT SELECT TO GROUP 'staff'' OR groupid=1 --'", 7034, nullptr},
                        {"SET PASSWORD 'p''w' FOR USER " + q, 0, nullptr},
                        {"RENAME USER " + q + " TO " + q2, 0, nullptr},
                        {"DISABLE LOGIN " + q2, 0, nullptr},
                        {"ENABLE LOGIN " + q2, 0, nullptr},
                        {"REVOKE SELECT FROM GROUP " + q + " FOR DATABASE " + q, 0, nullptr},
                        {"RENAME GROUP " + q + " TO " + q2, 0, nullptr},
                        {"MOVE USER " + q2 + " TO GROUP " + q2, 0, nullptr},
                        {"REMOVE USER " + q2 + " FROM GROUP " + q2, 0, nullptr},
                    },
                    "admin");
    EXPECT_EQ(login_code(evil2, "p'w"), 0);
    EXPECT_EQ(settings_text("SELECT username FROM Users WHERE userid=1;"), "admin");
    EXPECT_EQ(settings_int("SELECT count(*) FROM Privileges WHERE groupid=1;"), 0);
    EXPECT_EQ(settings_int("SELECT count(*) FROM Privileges;"), 1);  // the table grant is left
    as_admin("DROP USER " + q2);
    as_admin("DROP GROUP " + q2);
    EXPECT_EQ(settings_int("SELECT count(*) FROM Users;"), users);
    EXPECT_EQ(login_code("bystander", "pw"), 0);
}

// Replies that only need the command, not a result cursor.
TEST_F(Accounts, ListingsRefuseUnknownNames) {
    Connection& c = admin();
    auto select_outcome = [](Connection& conn, const std::string& text) {
        try {
            conn.select(text);
        } catch (const kestrix::Error& e) {
            return Outcome{e.code(), e.what()};
        }
        return Outcome{};
    };
    Outcome user = select_outcome(c, "SHOW GROUPS FOR USER 'gh''ost'");
    EXPECT_EQ(user.code, 7033);
    EXPECT_EQ(user.message, "Unknown user 'gh'ost'.");
    for (const char* text :
         {"SHOW PRIVILEGES FOR GROUP ghost", "SHOW PRIVILEGES FOR GROUP 'Admin'' OR ''1''=''1'"}) {
        Outcome group = select_outcome(c, text);
        EXPECT_EQ(group.code, 7034) << text;
        EXPECT_EQ(group.message, "No such group.") << text;
    }
}

// Listings answered with a cursor.
TEST_F(Accounts, ListingsOfUsersGroupsAndPrivileges) {
    try {
        admin().select("SHOW PRIVILEGES TABLE");
    } catch (const kestrix::Error& e) {
        if (e.code() == 7015) GTEST_SKIP() << "needs result cursors";
        throw;
    }
    as_admin("CREATE USER loner");
    as_admin("CREATE USER joiner");
    as_admin("CREATE GROUP crew");
    as_admin("ADD USER joiner TO GROUP crew");
    as_admin("GRANT SELECT TO GROUP crew FOR DATABASE shop");
    auto first_column = [](const kestrix::Cursor& cur) {
        size_t col = cur.has_rowid ? 1 : 0;
        std::string out;
        for (const auto& row : cur.rows)
            out += (out.empty() ? "" : ",") + row[col].value_or("NULL");
        return out;
    };
    // An unknown group lists the users without any group.
    EXPECT_EQ(first_column(admin().select("SHOW USERS IN GROUP ghost")), "loner");
    EXPECT_EQ(first_column(admin().select("SHOW USERS IN GROUP crew")), "joiner");
    EXPECT_EQ(first_column(admin().select("SHOW GROUPS FOR USER joiner")), "crew");
    EXPECT_EQ(first_column(admin().select("SHOW PRIVILEGES FOR GROUP crew")), "SELECT");
    kestrix::Cursor mine = admin().select("SHOW PRIVILEGES");
    ASSERT_EQ(mine.rows.size(), 1u);  // an administrator: ADMIN, *, *
    size_t col = mine.has_rowid ? 1 : 0;
    EXPECT_EQ(mine.rows[0][col], "ADMIN");
    EXPECT_EQ(mine.rows[0][col + 1], "*");
    EXPECT_EQ(mine.rows[0][col + 2], "*");
    EXPECT_EQ(admin().select("SHOW PRIVILEGES TABLE").rows.size(), 21u);
}

// For a user without privileges every privileged EXECUTE command of the table
// is refused; with the matching grant the gatekeeper lets it through.
TEST_F(Accounts, EveryPrivilegedCommandNeedsItsPrivilege) {
    std::vector<std::pair<std::string, int>> commands;  // text, privilege
    for (size_t i = 0; i < sActionsCount; ++i) {
        const command_record& r = sActions[i];
        if (!r.handler || r.privilege == 0 || r.kind != KIND_EXECUTE) continue;
        std::string text;
        for (const char* token : r.tokens) {
            if (!token) break;
            text += (text.empty() ? "" : " ") + std::string(token[0] == '%' ? "matrix_x" : token);
        }
        commands.emplace_back(text, r.privilege);
    }
    ASSERT_GT(commands.size(), 80u);

    add_user("nobody");
    Connection none = login_as("nobody");
    for (const auto& [text, privilege] : commands)
        EXPECT_EQ(code(none, text), 7022) << text << " (privilege " << privilege << ")";

    // One user per privilege; ADMIN commands are for Admin-group members only.
    std::map<int, std::string> holder;
    for (const auto& [text, privilege] : commands) {
        if (holder.count(privilege)) continue;
        std::string user = "holder" + std::to_string(privilege);
        holder[privilege] = user;
        if (privilege == PRIV_ADMIN) {
            as_admin("CREATE USER " + user + " WITH PASSWORD pw");
            as_admin("ADD USER " + user + " TO GROUP Admin");
        } else {
            add_user(user, {{"'" + std::string(privilege_name(privilege)) + "'", ""}});
        }
    }
    // Commands that would end the server or its clear logins run last, on open sessions.
    auto disruptive = [](const std::string& text) {
        return text == "QUIT SERVER" || text.rfind("DISABLE CONNECTION", 0) == 0;
    };
    std::vector<std::pair<std::string, int>> last;
    for (const auto& [text, privilege] : commands) {
        if (disruptive(text)) {
            last.emplace_back(text, privilege);
            continue;
        }
        Connection c = login_as(holder[privilege]);  // a fresh session: no state carries over
        EXPECT_NE(code(c, text), 7022) << text;
    }
    std::map<int, Connection> open;
    for (const auto& [text, privilege] : last)
        if (!open.count(privilege)) open.emplace(privilege, login_as(holder[privilege]));
    std::stable_partition(last.begin(), last.end(),
                          [](const auto& k) { return k.first != "QUIT SERVER"; });
    for (const auto& [text, privilege] : last)
        EXPECT_NE(code(open.at(privilege), text), 7022) << text;
}

}  // namespace
