// users_show.cpp - the listings of users, groups, privileges and disabled
// logins.
//
// Each listing runs one query with bound values on the settings (or the
// in-memory bookkeeping) database, copies its rows into a scratch table of
// the session's private in-memory database, sends that table as a cursor and
// drops it, so no client value is ever pasted into SQL text.
#include <sqlite3.h>

#include <string>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "commands/users_show.h"
#include "core/auth.h"
#include "core/dbhelpers.h"
#include "core/privileges.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/cursor.h"
#include "query/execute.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

enum ShowCode {
    SHOW_USERS = 20,
    SHOW_GROUPS = 21,
    SHOW_GROUPS_FOR_USER = 22,
    SHOW_USERS_IN_GROUP = 23,
    SHOW_PRIVILEGES_FOR_GROUP = 24,
    SHOW_MY_PRIVILEGES = 38,
    SHOW_ALL_PRIVILEGES = 39,
    SHOW_MY_GROUPS = 40,
};

constexpr const char* RESULT_TABLE = "kestrix_temp_listing";

int fail(client* c, int code, const char* message) {
    client_seterror(c, code, "%s", message);
    return CMD_FAILED;
}

int no_scratch(client* c) {
    return fail(c, 7003, "An error occured while trying to obtain in-memory database reference.");
}

// Sends the scratch table `table` as a cursor and drops it.
int send_and_drop(client* c, sqlite3* scratch, const char* table) {
    std::string select = std::string("SELECT * FROM ") + table + ";";
    kestrix_select_internal(c, scratch, select.c_str());
    kestrix_exec(scratch, (std::string("DROP TABLE IF EXISTS ") + table + ";").c_str());
    return CMD_REPLIED;
}

std::string groups_query(const char* where) {
    return std::string("SELECT groupname FROM Groups, Users, UserGroup WHERE Users.userid=") +
           where +
           " AND Users.userid=UserGroup.userid AND Groups.groupid=UserGroup.groupid ORDER BY "
           "groupname;";
}

std::string privileges_query(const char* where) {
    return std::string("SELECT ") + PRIVILEGE_CASE_SQL +
           " as privilege, databasename, tablename FROM Privileges WHERE " + where + ";";
}

// The session's group list, matched as a comma-joined text.
constexpr const char* IN_SESSION_GROUPS = "(',' || ?1 || ',') LIKE ('%,' || groupid || ',%')";

int send_groups_of(client* c, int userid) {
    Stmt st(settings.settings_db, groups_query("?1").c_str());
    st.bind(1, userid);
    return send_rows(c, st);
}

}  // namespace

int copy_rows(sqlite3* scratch, const char* table, sqlite3_stmt* rows) {
    const int n = sqlite3_column_count(rows);
    if (n == 0) return 0;
    std::string create = std::string("CREATE TABLE ") + table + " (";
    std::string insert = std::string("INSERT INTO ") + table + " VALUES (";
    for (int i = 0; i < n; ++i) {
        const char* type = sqlite3_column_decltype(rows, i);
        char* column = sqlite3_mprintf("\"%w\" %s", sqlite3_column_name(rows, i), type ? type : "");
        create += std::string(i ? ", " : "") + column;
        sqlite3_free(column);
        insert += i ? ", ?" : "?";
    }
    create += ");";
    insert += ");";
    kestrix_exec(scratch, (std::string("DROP TABLE IF EXISTS ") + table + ";").c_str());
    if (kestrix_exec(scratch, create.c_str()) != SQLITE_OK) return 0;
    Stmt ins(scratch, insert.c_str());
    int rc;
    while ((rc = sqlite3_step(rows)) == SQLITE_ROW) {
        for (int i = 0; i < n; ++i)
            sqlite3_bind_value(ins.get(), i + 1, sqlite3_column_value(rows, i));
        if (ins.run() != SQLITE_DONE) return 0;
        ins.reset();
    }
    return rc == SQLITE_DONE ? 1 : 0;
}

int send_rows(client* c, Stmt& rows) {
    sqlite3* scratch = client_scratch_db(c);
    if (!scratch) return no_scratch(c);
    if (!rows.ok() || !copy_rows(scratch, RESULT_TABLE, rows.get())) {
        kestrix_exec(scratch, (std::string("DROP TABLE IF EXISTS ") + RESULT_TABLE + ";").c_str());
        return fail(c, 7015, "Command cannot be completed due to an internal error.");
    }
    return send_and_drop(c, scratch, RESULT_TABLE);
}

int DoShowUserGroup(client* c, char** args, int code) {
    sqlite3* s = settings.settings_db;
    if (code == SHOW_USERS) {
        Stmt st(s,
                "SELECT username,password,groupname FROM Users left outer join usergroup on "
                "(UserGroup.userid=Users.userid) left join groups on (groups.groupid = "
                "usergroup.groupid) GROUP BY username ORDER BY username;");
        return send_rows(c, st);
    }
    if (code == SHOW_GROUPS) {
        Stmt st(s, "SELECT groupname FROM Groups ORDER BY groupname;");
        return send_rows(c, st);
    }
    if (code == SHOW_GROUPS_FOR_USER) {
        int userid = get_userid(args[0]);
        if (userid > 0) return send_groups_of(c, userid);
        client_seterror(c, 7033, "Unknown user '%s'.", args[0]);
        return CMD_FAILED;
    }
    if (code == SHOW_MY_GROUPS) {
        get_user_group_id(c);
        return send_groups_of(c, c->userid);
    }
    int groupid = get_groupid(args[0]);
    if (groupid > 0) {
        Stmt st(s,
                "SELECT username,password FROM Users, Groups, UserGroup WHERE Groups.groupid=?1 "
                "AND Users.userid=UserGroup.userid AND Groups.groupid=UserGroup.groupid ORDER BY "
                "username;");
        st.bind(1, groupid);
        return send_rows(c, st);
    }
    Stmt st(s,
            "SELECT username,password FROM Users WHERE NOT EXISTS (SELECT UserGroup.userid FROM "
            "UserGroup WHERE UserGroup.userid=Users.userid);");
    return send_rows(c, st);
}

int DoShowPrivileges(client* c, char** args, int code) {
    sqlite3* s = settings.settings_db;
    if (code == SHOW_ALL_PRIVILEGES) {
        std::string sql = std::string("SELECT databasename, groupname, ") + PRIVILEGE_CASE_SQL +
                          " as privilege, tablename FROM Privileges, Groups WHERE  "
                          "Privileges.groupid=Groups.groupid ORDER BY databasename, "
                          "Privileges.groupid, privilege, tablename;";
        Stmt st(s, sql.c_str());
        return send_rows(c, st);
    }
    if (code == SHOW_PRIVILEGES_FOR_GROUP) {
        int groupid = get_groupid(args[0]);
        if (groupid == 0) return fail(c, 7034, "No such group.");
        Stmt st(s, privileges_query("groupid=?1").c_str());
        st.bind(1, groupid);
        return send_rows(c, st);
    }
    get_user_group_id(c);
    if (c->is_admin) {
        Stmt st(s, "SELECT 'ADMIN' AS privilege, '*' AS databasename, '*' AS tablename;");
        return send_rows(c, st);
    }
    Stmt st(s, privileges_query(IN_SESSION_GROUPS).c_str());
    st.bind(1, std::string(c->group_ids));
    return send_rows(c, st);
}

int DoShowPrivilegesTable(client* c, char**, int) {
    sqlite3* scratch = client_scratch_db(c);
    if (!scratch) return no_scratch(c);
    if (kestrix_exec(scratch, "CREATE TABLE Privileges (name TEXT, value INTEGER);") != SQLITE_OK) {
        client_seterror(c, 7009, "%s", sqlite3_errmsg(scratch));
        kestrix_exec(scratch, "DROP TABLE Privileges;");
        return CMD_FAILED;
    }
    Stmt ins(scratch, "INSERT INTO Privileges (name, value) VALUES (?1, ?2);");
    for (const privilege_entry* p = privileges; p->name; ++p) {
        if (p->code == PRIV_INSERT_UPDATE_DELETE) continue;
        ins.bind(1, p->name).bind(2, p->code).run();
        ins.reset();
    }
    return send_and_drop(c, scratch, "Privileges");
}

int DoShowDisabledLogin(client* c, char**, int) {
    Stmt st(settings.inmemorydb,
            "SELECT * FROM Logins WHERE ((times>=?1) AND (lasttime > ?2)) OR lasttime=1 ORDER BY "
            "username;");
    st.bind(1, static_cast<int>(settings.disabled_login_attempts));
    st.bind(2, get_current_inttime() - settings.disabled_login_hours * 60);
    return send_rows(c, st);
}
