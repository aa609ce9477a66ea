// auth.cpp - the session's cached identity: user id, the comma-joined
// group ids (at most 47 characters, else empty), the administrator flag and
// the databases on which the user's groups hold DATABASE_ADMIN (code 20).
// Every value reaches SQL as a bound parameter.
#include "core/auth.h"
#include "core/privileges.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/dbref.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

constexpr int PRIVILEGE_DATABASE_ADMIN = PRIV_DATABASE_ADMIN;

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
    // A revoked DATABASE_ADMIN stops counting on the current database at once.
    c->is_db_admin = c->dbref >= 0 && !c->db_admin_databases.empty() &&
                     kestrix_strcmpi(c->db_admin_databases.c_str(), dbref_dbname(c->dbref)) == 0;
    c->auth_cache_used = 0;
    c->auth_cache_next = 0;
    c->privilege_stamp = generation;
}

bool privilege_row_exists(const client* c, std::initializer_list<int> codes, const char* database,
                          const char* table) {
    return privilege_row_exists(c, std::span<const int>(codes.begin(), codes.size()), database,
                                table);
}

bool privilege_row_exists(const client* c, std::span<const int> codes, const char* database,
                          const char* table) {
    std::string list;
    for (int code : codes) {
        if (!list.empty()) list += ',';
        list += std::to_string(code);
    }
    // The group list and the code list are matched as comma-joined texts.
    Stmt st(settings.settings_db,
            "SELECT 1 FROM Privileges WHERE (',' || ?1 || ',') LIKE ('%,' || groupid || ',%') AND "
            "(',' || ?2 || ',') LIKE ('%,' || privilege || ',%') AND (?3 = '' OR databasename='*' "
            "OR databasename=?3) AND (?4 = '' OR tablename='*' OR tablename=?4) LIMIT 1;");
    st.bind(1, std::string(c->group_ids)).bind(2, list).bind(3, database ? database : "");
    st.bind(4, table ? table : "");
    return st.step() == SQLITE_ROW;
}

int check_user_has_dbaccess(client* c, const char* name) {
    get_user_group_id(c);  // rights changed by another session count at once
    if (c->is_admin) return 1;
    if (!name || !name[0]) return 0;
    if (kestrix_strcmpi(c->db_admin_databases.c_str(), name) == 0) return 1;
    return privilege_row_exists(c, {7, 8, 9, 10, 11, 12, 13, 3}, name, "") ? 1 : 0;
}
