// users.cpp - the commands that change accounts: users, groups, membership,
// passwords, grants and disabled logins.
//
// Every account lives in the settings database. User 1 ("admin") and group 1
// (Admin) are protected: they cannot be dropped or renamed, and whatever
// touches a member of the Admin group, or puts someone into it, needs the
// Admin-group guard (the session is an administrator or one of its groups
// holds ADMIN); giving or taking ADMIN itself needs the guard too, or any
// holder of PRIVILEGES could grant itself past it. Every successful change
// raises the privilege generation, so other sessions reload their rights at
// their next check. Names and passwords from clients always reach SQL bound;
// lookups and protection rules fail before anything is written.
#include <string>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "core/auth.h"
#include "core/authorizer.h"
#include "core/digest.h"
#include "core/privileges.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

enum AccountCode {
    CREATE_USER = 25,
    CREATE_USER_PASSWORD = 26,
    CREATE_USER_HASH = 27,
    DROP_USER = 28,
    CREATE_GROUP = 29,
    DROP_GROUP = 30,
    ADD_USER = 31,
    MOVE_USER = 32,
    REMOVE_USER = 33,
    SET_PASSWORD = 34,
    SET_HASH_PASSWORD = 35,
    RENAME_USER = 36,
    RENAME_GROUP = 37,
    SET_MY_PASSWORD = 41,
    SET_MY_HASH_PASSWORD = 42,
};

enum GrantCode {
    GRANT_ALL_DATABASES = 13,
    GRANT_DATABASE = 14,
    GRANT_TABLE = 15,
    REVOKE_ALL_DATABASES = 16,
    REVOKE_DATABASE = 17,
    REVOKE_TABLE = 18,
};

constexpr int ADMIN_USER = 1;
constexpr int ADMIN_GROUP = 1;

int fail(client* c, int code, const char* message) {
    client_seterror(c, code, "%s", message);
    return CMD_FAILED;
}

// The guard for operations on Admin-group members and the Admin group.
bool holds_admin(client* c) {
    get_user_group_id(c);
    return c->is_admin || privilege_row_exists(c, {PRIV_ADMIN}, "", "");
}

// Runs the final statement of a change: OK and a new generation, or `error`.
int finish(client* c, Stmt& st, const char* error) {
    if (st.run() != SQLITE_DONE) return fail(c, 7015, error);
    privileges_changed();
    return CMD_DONE;
}

const char* const INTERNAL_ERROR = "Command cannot be completed due to an internal error.";

int run_final(client* c, const char* sql, const std::string& a, const std::string& b = {}) {
    Stmt st(settings.settings_db, sql);
    st.bind(1, a).bind(2, b);
    return finish(c, st, INTERNAL_ERROR);
}

int run_final_ids(client* c, const char* sql, int a, int b = 0) {
    Stmt st(settings.settings_db, sql);
    st.bind(1, a).bind(2, b);
    return finish(c, st, INTERNAL_ERROR);
}

int count_of(const char* sql, const char* name) {
    Stmt st(settings.settings_db, sql);
    st.bind(1, name);
    return st.step() == SQLITE_ROW ? st.int_at(0) : 0;
}

void delete_logins(const char* name) {
    for (sqlite3* db : {settings.inmemorydb, settings.settings_db})
        Stmt(db, "DELETE FROM Logins WHERE username=?1;").bind(1, name).run();
}

int create_user(client* c, char** args, int code) {
    if (count_of("SELECT count(userid) FROM Users WHERE username=?1;", args[0]) > 0)
        return fail(c, 7015, "Username name must be unique.");
    if (code == CREATE_USER)
        return run_final(c, "INSERT INTO Users (username) VALUES (?1)", args[0]);
    std::string stored = code == CREATE_USER_PASSWORD ? hash_password(args[1]) : args[1];
    return run_final(c, "INSERT INTO Users (username,password) VALUES (?1, ?2)", args[0], stored);
}

int drop_user(client* c, const char* name) {
    int userid = get_userid(name);
    if (userid == 0) return fail(c, 7033, "No such user.");
    if (userid == ADMIN_USER) return fail(c, 7036, "User Admin couldn't be dropped.");
    if (is_admin_group(userid) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to drop an user from the Admin group.");
    delete_logins(name);
    Stmt(settings.settings_db, "DELETE FROM UserGroup WHERE userid=?1;").bind(1, userid).run();
    return run_final_ids(c, "DELETE FROM Users WHERE userid=?1", userid);
}

int create_group(client* c, const char* name) {
    if (count_of("SELECT count(groupid) FROM Groups WHERE groupname=?1;", name) > 0)
        return fail(c, 7015, "Group name must be unique.");
    return run_final(c, "INSERT INTO Groups (groupname) VALUES (?1)", name);
}

int drop_group(client* c, const char* name) {
    int groupid = get_groupid(name);
    if (groupid == 0) return fail(c, 7034, "No such group.");
    if (groupid == ADMIN_GROUP) return fail(c, 7044, "Group Admin couldn't be dropped.");
    return run_final_ids(c, "DELETE FROM Groups WHERE groupid=?1", groupid);
}

// Looks up the user and group of a membership command; false after failing.
bool membership_ids(client* c, char** args, int* userid, int* groupid, int* result) {
    *userid = get_userid(args[0]);
    if (*userid == 0) {
        *result = fail(c, 7033, "Unknown user.");
        return false;
    }
    *groupid = get_groupid(args[1]);
    if (*groupid == 0) {
        *result = fail(c, 7034, "Unknown group.");
        return false;
    }
    return true;
}

int add_user(client* c, char** args) {
    int userid, groupid, result;
    if (!membership_ids(c, args, &userid, &groupid, &result)) return result;
    if (groupid == ADMIN_GROUP) {
        if (!holds_admin(c))
            return fail(c, 7022,
                        "Admin privileges are required in order to add an user to the special "
                        "Admin group.");
        if (userid == ADMIN_USER) return CMD_DONE;
    }
    return run_final_ids(c, "INSERT INTO UserGroup (userid,groupid) VALUES (?1, ?2)", userid,
                         groupid);
}

int move_user(client* c, char** args) {
    int userid, groupid, result;
    if (!membership_ids(c, args, &userid, &groupid, &result)) return result;
    if (userid == ADMIN_USER) return fail(c, 7015, "Admin user cannot be moved.");
    if (groupid == ADMIN_GROUP && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to move an user to the special Admin "
                    "group.");
    // Moving a member out of the Admin group removes it from there.
    if (groupid != ADMIN_GROUP && is_admin_group(userid) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to remove an user from the special "
                    "Admin group.");
    Stmt(settings.settings_db, "DELETE FROM UserGroup WHERE userid=?1;").bind(1, userid).run();
    return run_final_ids(c, "INSERT INTO UserGroup (userid,groupid) VALUES (?1, ?2)", userid,
                         groupid);
}

int remove_user(client* c, char** args) {
    int userid, groupid, result;
    if (!membership_ids(c, args, &userid, &groupid, &result)) return result;
    if (groupid == ADMIN_GROUP && userid == ADMIN_USER)
        return fail(c, 7036, "User Admin couldn't be removed from the Admin group.");
    if (groupid == ADMIN_GROUP && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to remove an user from the special "
                    "Admin group.");
    return run_final_ids(c, "DELETE FROM UserGroup WHERE userid=?1 AND groupid=?2", userid,
                         groupid);
}

int store_password(client* c, const std::string& username, const char* given, bool hashed) {
    std::string stored = hashed ? std::string(given) : hash_password(given);
    return run_final(c, "UPDATE Users SET password=?1 WHERE username=?2", stored, username);
}

int set_password(client* c, char** args, int code) {
    int userid = get_userid(args[1]);
    if (userid == 0) return fail(c, 7033, "Unknown user.");
    get_user_group_id(c);
    if (userid != c->userid && is_admin_group(userid) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to change password for an user in "
                    "the Admin group.");
    return store_password(c, args[1], args[0], code == SET_HASH_PASSWORD);
}

int set_my_password(client* c, char** args, int code) {
    get_user_group_id(c);
    if (c->userid == 0) return fail(c, 7033, "Unknown user.");
    return store_password(c, c->username, args[0], code == SET_MY_HASH_PASSWORD);
}

int rename_user(client* c, char** args) {
    int userid = get_userid(args[0]);
    if (userid == 0) return fail(c, 7033, "Unknown user.");
    if (userid == ADMIN_USER) return fail(c, 7051, "User Admin couldn't be renamed.");
    if (kestrix_strcmpi(args[0], "admin") == 0)
        return fail(c, 7051, "User Admin is protected and cannot be modified.");
    if (is_admin_group(userid) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to rename an user in the Admin "
                    "group.");
    return run_final(c, "UPDATE Users SET username=?1 WHERE username=?2", args[1], args[0]);
}

int rename_group(client* c, char** args) {
    int groupid = get_groupid(args[0]);
    if (groupid == 0) return fail(c, 7034, "Unknown group.");
    if (groupid == ADMIN_GROUP) return fail(c, 7051, "Group Admin couldn't be renamed.");
    if (kestrix_strcmpi(args[0], "admin") == 0)
        return fail(c, 7051, "Group Admin is protected and cannot be modified.");
    return run_final(c, "UPDATE Groups SET groupname=?1 WHERE groupname=?2", args[1], args[0]);
}

}  // namespace

int DoExecPrivileges(client* c, char** args, int code) {
    switch (code) {
        case CREATE_USER:
        case CREATE_USER_PASSWORD:
        case CREATE_USER_HASH:
            return create_user(c, args, code);
        case DROP_USER:
            return drop_user(c, args[0]);
        case CREATE_GROUP:
            return create_group(c, args[0]);
        case DROP_GROUP:
            return drop_group(c, args[0]);
        case ADD_USER:
            return add_user(c, args);
        case MOVE_USER:
            return move_user(c, args);
        case REMOVE_USER:
            return remove_user(c, args);
        case SET_PASSWORD:
        case SET_HASH_PASSWORD:
            return set_password(c, args, code);
        case RENAME_USER:
            return rename_user(c, args);
        case RENAME_GROUP:
            return rename_group(c, args);
        case SET_MY_PASSWORD:
        case SET_MY_HASH_PASSWORD:
            return set_my_password(c, args, code);
        default:
            return fail(c, 7015, INTERNAL_ERROR);
    }
}

namespace {

struct GrantScope {
    const char* database = "*";
    const char* table = "*";
};

GrantScope grant_scope(char** args, int code) {
    GrantScope s;
    if (code == GRANT_DATABASE || code == REVOKE_DATABASE) s.database = args[2];
    if (code == GRANT_TABLE || code == REVOKE_TABLE) {
        s.table = args[2];
        s.database = args[3];
    }
    return s;
}

// Whether a grant change gives or takes the ADMIN privilege, which would
// let a group pass the Admin-group guard.
bool touches_admin(int groupid, int privilege, bool revoke_all) {
    if (!revoke_all) return privilege == PRIV_ADMIN;
    Stmt st(settings.settings_db, "SELECT 1 FROM Privileges WHERE groupid=?1 AND privilege=?2;");
    st.bind(1, groupid).bind(2, static_cast<int>(PRIV_ADMIN));
    return st.step() == SQLITE_ROW;
}

int run_grant(client* c, const char* sql, int groupid, int privilege, const GrantScope& s) {
    Stmt st(settings.settings_db, sql);
    st.bind(1, groupid).bind(2, privilege).bind(3, s.database).bind(4, s.table);
    return finish(c, st, "Privilege can't be set due to an internal error.");
}

}  // namespace

int DoGrantRevokePrivilege(client* c, char** args, int code) {
    const bool revoke_all =
        code == REVOKE_ALL_DATABASES && kestrix_strncmpi(args[0], "ALL", 3) == 0;
    int privilege = revoke_all ? -1 : privilege_code(args[0]);
    if (!revoke_all && privilege < 0) return fail(c, 7045, "No such privilege.");
    int groupid = get_groupid(args[1]);
    if (groupid == 0) return fail(c, 7034, "No such group.");
    if (groupid == ADMIN_GROUP) return fail(c, 7022, "Admin group cannot be altered.");
    if (touches_admin(groupid, privilege, revoke_all) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to grant or revoke the ADMIN "
                    "privilege.");
    GrantScope scope = grant_scope(args, code);
    if (revoke_all)
        return run_grant(c, "DELETE FROM Privileges WHERE groupid=?1;", groupid, 0, scope);
    if (code <= GRANT_TABLE)
        return run_grant(c,
                         "REPLACE INTO Privileges (groupid, privilege, databasename, tablename) "
                         "VALUES (?1, ?2, ?3, ?4);",
                         groupid, privilege, scope);
    return run_grant(c,
                     "DELETE FROM Privileges WHERE groupid=?1 AND privilege=?2 AND "
                     "databasename=?3 AND tablename=?4;",
                     groupid, privilege, scope);
}

int DoDisableLogin(client* c, char** args, int) {
    if (kestrix_strcmpi(args[0], "admin") == 0)
        return fail(c, 7015, "Special admin user cannot be explicitly disabled.");
    if (is_admin_group(get_userid(args[0])) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to disable an user in the Admin "
                    "group.");
    for (sqlite3* db : {settings.settings_db, settings.inmemorydb})
        Stmt(db, "REPLACE INTO Logins (username, lasttime, times) VALUES (?1, 1, 0);")
            .bind(1, args[0])
            .run();
    return CMD_DONE;
}

int DoEnableLogin(client* c, char** args, int) {
    if (is_admin_group(get_userid(args[0])) && !holds_admin(c))
        return fail(c, 7022,
                    "Admin privileges are required in order to enable an user in the Admin "
                    "group.");
    delete_logins(args[0]);
    return CMD_DONE;
}
