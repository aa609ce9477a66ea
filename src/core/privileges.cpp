// privileges.cpp - the session's cached identity: user id, the comma-joined
// group ids (at most 47 characters, else empty), the administrator flag and
// the databases on which the user's groups hold DATABASE_ADMIN (code 20).
// Every value reaches SQL as a bound parameter.
#include "core/privileges.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/sqlite_raii.h"
#include "net/client.h"
#include "server/prefs.h"
#include "server/settings.h"

namespace {

constexpr int PRIVILEGE_DATABASE_ADMIN = 20;

}  // namespace

void get_user_group_id(client* c) {
    const int32_t generation = settings.privilege_generation;
    if (c->privilege_stamp >= generation) return;
    sqlite3* db = settings.settings_db;
    c->userid = get_userid(c->username.c_str());

    std::string groups;
    {
        Stmt st(db,
                "SELECT group_concat(Groups.groupid) FROM Groups, UserGroup WHERE "
                "UserGroup.userid=?1 AND Groups.groupid = UserGroup.groupid;");
        st.bind(1, c->userid);
        if (st.step() == SQLITE_ROW && !st.is_null(0)) groups = st.text_at(0);
    }
    if (groups.size() >= sizeof(c->group_ids)) groups.clear();
    snprintf(c->group_ids, sizeof(c->group_ids), "%s", groups.c_str());
    c->is_admin = is_admin_group(c->userid);

    c->db_admin_databases.clear();
    {
        // The group list is matched as a comma-joined text, never pasted.
        Stmt st(db,
                "SELECT databasename FROM Privileges WHERE (',' || ?1 || ',') LIKE ('%,' || "
                "groupid || ',%') AND privilege=?2;");
        st.bind(1, std::string(c->group_ids)).bind(2, PRIVILEGE_DATABASE_ADMIN);
        if (st.step() == SQLITE_ROW && !st.is_null(0)) c->db_admin_databases = st.text_at(0);
    }
    c->privilege_stamp = generation;
}
