// session_cmds.cpp - transaction and session commands: BEGIN, COMMIT and
// ROLLBACK, VACUUM, ATTACH and DETACH, autocommit, time-outs, language and
// client type, and the small reports about the session.
//
// BEGIN takes the database's write lock and opens the transaction at once, so
// the lock is held until COMMIT or ROLLBACK. Reports are one-row queries run
// in the session's scratch database and sent as a cursor; values reach their
// SQL quoted by the engine's own formatter.
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/cursor.h"
#include "query/execute.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

// Sends a one-row report built with sqlite3_mprintf from the scratch database.
int send_report(client* c, char* sql) {
    sqlite3* scratch = client_scratch_db(c);
    if (!scratch || !sql) {
        sqlite3_free(sql);
        client_seterror(c, 7003,
                        "An error occured while trying to obtain in-memory database reference.");
        return CMD_FAILED;
    }
    int sent = kestrix_select_internal(c, scratch, sql);
    sqlite3_free(sql);
    return sent ? CMD_REPLIED : CMD_FAILED;
}

void update_client_column(client* c, const char* sql, const char* value) {
    Stmt st(settings.inmemorydb, sql);
    st.bind(1, value).bind(2, static_cast<int64_t>(c->id)).run();
}

}  // namespace

int DoBeginTransaction(client* c, char**, int) {
    if (c->in_transaction) {
        client_seterror(c, 7009, "Unable to start a transaction within a transaction");
        return CMD_FAILED;
    }
    if (dbref_startwrite(c) != 1) {
        client_seterror(
            c, 7055,
            "Database %s is currently locked for write operations. Try to increase timeout value.",
            dbref_dbname(c->dbref));
        return CMD_FAILED;
    }
    command_begintransaction(c);
    return CMD_DONE;
}

int DoCommitTransaction(client* c, char**, int) {
    command_commit(c);
    return CMD_DONE;
}

int DoRollbackTransaction(client* c, char**, int) {
    command_rollback(c);
    return CMD_DONE;
}

int DoSpecialCommand(client* c, char**, int code) {
    bool granted = dbref_startwrite(c) == 1;
    if (c->is_disconnecting) return CMD_DONE;
    int rc;
    if (code == 1) {
        c->skip_lock_check = 1;
        rc = kestrix_exec(c->db, "VACUUM;");
        c->skip_lock_check = 0;
    } else {
        rc = kestrix_exec(c->db, "ANALYZE;");
    }
    if (rc != SQLITE_OK) client_seterror(c, rc, "%s", sqlite3_errmsg(c->db));
    if (granted && !c->in_transaction) dbref_endwrite(c);
    return rc == SQLITE_OK ? CMD_DONE : CMD_FAILED;
}

int DoAttachDatabase(client* c, char** args, int code) {
    char* sql = code == 212 ? sqlite3_mprintf("ATTACH DATABASE '%q' AS '%q';", args[0], args[1])
                            : sqlite3_mprintf("DETACH DATABASE '%q';", args[0]);
    command_execute(c, sql, 0, 0, 1);
    sqlite3_free(sql);
    return CMD_REPLIED;
}

int DoShowAutocommitCommand(client* c, char**, int) {
    return send_report(c, sqlite3_mprintf("SELECT %d AS autocommit;", c->autocommit));
}

int DoSetAutocommitCommand(client* c, char** args, int code) {
    if (code == 117)
        c->autocommit = 1;
    else if (code == 118)
        c->autocommit = 0;
    else
        c->autocommit = kestrix_strbool(args[0]) ? 1 : 0;
    return CMD_DONE;
}

int DoShowMVCCCommand(client* c, char**, int) {
    return send_report(c, sqlite3_mprintf("SELECT 0 AS mvcc;"));
}

int DoEnableDisableMVCC(client*, char**, int) {
    return CMD_DONE;
}

int DoPing(client* c, char**, int) {
    command_ping(c);
    return CMD_REPLIED;
}

int DoSetTimeout(client* c, char** args, int code) {
    long n = strtol(args[0], nullptr, 10);
    if (n < 0) {
        client_seterror(c, 7015, "A negative value value can't be set.");
        return CMD_FAILED;
    }
    if (code == 124) {
        c->timeout = static_cast<int>(n);
        return CMD_DONE;
    }
    if (n >= 1 && n <= 59) {
        client_seterror(c, 7015, "A PING TIMEOUT can't be set to less than 60 seconds.");
        return CMD_FAILED;
    }
    c->ping_timeout = static_cast<int32_t>(n);
    Stmt st(settings.inmemorydb, "UPDATE Clients SET ping_timeout=?1 WHERE id=?2;");
    st.bind(1, static_cast<int>(n)).bind(2, static_cast<int64_t>(c->id)).run();
    return CMD_DONE;
}

int DoSetLanguage(client* c, char** args, int) {
    if (strlen(args[0]) != 2) {
        client_seterror(
            c, 7015,
            "Unable to set language to %s (probably invalid ISO 3166-1 alpha-2 country code).",
            args[0]);
        return CMD_FAILED;
    }
    snprintf(c->language, sizeof(c->language), "%s", args[0]);
    kestrix_struppercase(c->language);
    update_client_column(c, "UPDATE Clients SET language=?1 WHERE id=?2;", c->language);
    return CMD_DONE;
}

int DoSetClientType(client* c, char** args, int) {
    update_client_column(c, "UPDATE Clients SET client_type=?1 WHERE id=?2;", args[0]);
    return CMD_DONE;
}

int DoShowChangesLastRowId(client* c, char**, int code) {
    if (code == 145)
        return send_report(
            c, sqlite3_mprintf("SELECT %lld AS lastrowid;", static_cast<long long>(c->last_rowid)));
    return send_report(c, sqlite3_mprintf("SELECT %d AS changes;", c->changes));
}

int DoShowCurrentDatabase(client* c, char**, int) {
    return send_report(c, sqlite3_mprintf("SELECT %Q AS databasename;",
                                          c->dbref >= 0 ? dbref_dbname(c->dbref) : "N/A"));
}

int DoShowMyUsername(client* c, char**, int) {
    return send_report(c, sqlite3_mprintf("SELECT %Q AS username;", c->username.c_str()));
}

int DoAddLogEntry(client* c, char** args, int) {
    log_client(c, args[0], "COMMAND", 10, 0);
    return CMD_DONE;
}
