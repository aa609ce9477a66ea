// execute.cpp - statement execution.
//
// A request text that does not begin with an SQL keyword is offered to the
// command engine first. SQL then runs on the session's own connection: a
// query goes on to the cursor builder; anything else runs under the
// database's write ticket inside a transaction the server opens implicitly
// ("BEGIN IMMEDIATE"). With autocommit on, the transaction is committed and
// the ticket released after every statement; with autocommit off (the
// default of binary sessions) the ticket is held until COMMIT or ROLLBACK,
// and a failing statement rolls the whole transaction back.
#include "query/execute.h"

#include <cctype>
#include <cstring>
#include <string>

#include "commands/engine.h"
#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/cursor.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

struct KindWord {
    const char* word;
    int kind;
};
const KindWord KIND_WORDS[] = {
    {"INSERT", STMT_INSERT},   {"SELECT", STMT_SELECT},   {"PRAGMA", STMT_PRAGMA},
    {"EXPLAIN", STMT_EXPLAIN}, {"ALTER", STMT_ALTER},     {"ANALYZE", STMT_ANALYZE},
    {"DELETE", STMT_DELETE},   {"REPLACE", STMT_REPLACE}, {"REINDEX", STMT_REINDEX},
    {"UPDATE", STMT_UPDATE},   {"WITH", STMT_WITH},
};

bool checks_triggers(int kind) {
    return kind == STMT_INSERT || kind == STMT_ALTER || kind == STMT_DELETE ||
           kind == STMT_REPLACE || kind == STMT_UPDATE;
}

// The request text of a binary request, terminated with ";" when it is not.
bool take_binary_text(client* c, std::string* text) {
    uint32_t size = 0;
    const unsigned char* field = client_getfield(c, 1, &size);
    if (!field || size == 0) return false;
    size_t len = strnlen(reinterpret_cast<const char*>(field), size);
    text->assign(reinterpret_cast<const char*>(field), len);
    return true;
}

// Offers the text to the command engine; true when it was claimed and answered.
bool run_as_command(client* c, const std::string& text) {
    if (!handle_custom_command(c, text.c_str(), text.size())) return false;
    ++settings.commands_count;
    return true;
}

void apply_busy_timeout(client* c) {
    if (c->db && settings.lock_db_time != c->busy_timeout_set) {
        sqlite3_busy_timeout(c->db, settings.lock_db_time);
        c->busy_timeout_set = settings.lock_db_time;
    }
}

// Statement text kept for the request (`sql` points into the session's input buffer).
thread_local std::string request_sql;

}  // namespace

int statement_kind(const char* text) {
    const char* p = text;
    while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
    size_t n = 0;
    while (isalpha(static_cast<unsigned char>(p[n]))) ++n;
    for (const KindWord& k : KIND_WORDS)
        if (n >= strlen(k.word) && kestrix_strncmpi(p, k.word, strlen(k.word)) == 0) return k.kind;
    return STMT_OTHER;
}

void command_select_execute(client* c, int is_select, int /*after_chunks*/, int prepare_only) {
    c->is_select = is_select;
    std::string text;
    if (!take_binary_text(c, &text)) {
        client_sendreply(c, 7023, "SELECT statement empty or badly formed.");
        return;
    }
    apply_busy_timeout(c);
    int kind = statement_kind(text.c_str());
    if ((text.size() <= 4 || kind == STMT_OTHER) && run_as_command(c, text)) return;
    if (!c->db || c->dbref == -1) {
        client_sendreply(c, 7030, nullptr);
        return;
    }
    if (is_select && c->nfields != 1) {
        client_sendreply(c, 7005, nullptr);
        return;
    }
    if (text.empty()) {
        client_sendreply(c, 7015, "An unknown error occured.");
        return;
    }
    if (text.back() != ';') text += ';';
    if (!sqlite3_complete(text.c_str())) {
        client_sendreply(c, 7046, "Incomplete SQL statement.");
        return;
    }
    request_sql = std::move(text);
    c->sql = request_sql.c_str();
    if (is_select) {
        command_select(c, 0);
    } else if (prepare_only) {
        client_sendreply(c, 7015, "Command not supported by this server version.");
    } else {
        command_execute(c, c->sql, checks_triggers(kind), 0, kind == STMT_PRAGMA);
    }
}

void command_execute(client* c, const char* text, int /*check_triggers*/, int step_vm,
                     int no_transaction) {
    bool granted = dbref_startwrite(c) == 1;
    bool failed = !granted;
    if (!granted) {
        char owner[256];
        dbref_lockowner(c->dbref, owner, sizeof(owner));
        client_seterror(
            c, 7055,
            "Database %s is currently locked for write operations. Try to increase timeout value "
            "(%.4f). Lock owner: %s.",
            dbref_dbname(c->dbref), c->lock_wait_time, owner);
    } else {
        if (!no_transaction && !c->in_transaction) command_begintransaction(c);
        int rc = step_vm ? sqlite3_step(c->vm) : kestrix_exec(c->db, text);
        if (step_vm && rc == SQLITE_DONE) rc = SQLITE_OK;
        if (rc != SQLITE_OK) {
            failed = true;
            client_seterror(c, rc, "%s", sqlite3_errmsg(c->db));
        } else {
            c->last_rowid = sqlite3_last_insert_rowid(c->db);
            c->changes = sqlite3_changes(c->db);
        }
    }
    if (!no_transaction) {
        if (c->autocommit == 1 && granted)
            command_commit(c);
        else if (c->autocommit == 0 && failed)
            command_rollback(c);
    } else if (granted && !c->in_transaction) {
        dbref_endwrite(c);  // nothing of this statement stays open
    }
    dbref_value(c->dbref, DBREF_NWRITE, DBREF_INC);
    ++settings.exec_count;
    c->delete_authorized = 0;
    if (c->error_code)
        client_senderror(c);
    else
        client_sendack(c, 0);
}

void command_select(client* c, int use_vm) {
    kestrix_select(c, use_vm);
    dbref_value(c->dbref, DBREF_NREAD, DBREF_INC);
    ++settings.query_count;
}

void command_begintransaction(client* c) {
    if (c->in_transaction) return;
    kestrix_start_transaction(c->db);
    c->in_transaction = 1;
    c->transaction_id = unique_id();
}

namespace {

void end_transaction(client* c, bool commit) {
    if (c->in_transaction && c->transaction_id != 0) {
        if (commit)
            kestrix_commit(c->db);
        else
            kestrix_rollback(c->db);
    }
    c->in_transaction = 0;
    c->transaction_id = 0;
    dbref_endwrite(c);
}

}  // namespace

void command_commit(client* c) {
    end_transaction(c, true);
}
void command_rollback(client* c) {
    end_transaction(c, false);
}

sqlite3* client_scratch_db(client* c) {
    if (!c->scratch_db && sqlite3_open(":memory:", &c->scratch_db) != SQLITE_OK) {
        sqlite3_close(c->scratch_db);
        c->scratch_db = nullptr;
    }
    return c->scratch_db;
}

int client_open_database(client* c, const char* name, const char* path) {
    std::string key = getkey_for_database_text(name);
    sqlite3* db = nullptr;
    if (kestrix_open_key(path, &db, key.empty() ? nullptr : key.c_str()) != SQLITE_OK) {
        client_seterror(c, 7015, "An error occured while trying to open \"%s\".", name);
        if (db) sqlite3_close_v2(db);
        return 0;
    }
    if (dbref_value(c->dbref, DBREF_ISWAL, DBREF_READ) != 1) {
        std::string message;
        if (!kestrix_enable_wal(db, name, &message)) {
            client_seterror(c, 7015, "%s", message.c_str());
            sqlite3_close_v2(db);
            return 0;
        }
        dbref_value(c->dbref, DBREF_ISWAL, DBREF_SET_WAL);
    }
    kestrix_register_functions(db, c);
    c->db = db;
    return 1;
}
