// dispatch.cpp - claiming a request text as a server command and running it.
//
// handle_custom_command is the one gatekeeper every command passes: the
// quick scan, the exact match, the request kind, the privilege and the
// current-database checks all run here, in that order, before any handler.
// Handlers answer CMD_DONE (acknowledged here), CMD_REPLIED, CMD_FAILED (the
// session error is sent here) or CMD_DECLINED (the text then runs as SQL).
#include <cstring>
#include <string>

#include "commands/engine.h"
#include "core/auth.h"
#include "core/privileges.h"
#include "net/client.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

// The text of the command being run on this thread, for handlers that quote it.
thread_local const char* current_command_text = nullptr;

// The database a command acts on, for the DATABASE_ADMIN exceptions.
const char* target_database(int code, char** args) {
    auto arg = [args](int i) -> const char* {
        for (int k = 0; k < i; ++k)
            if (!args[k]) return nullptr;
        return args[i];
    };
    if ((code >= 59 && code <= 63) || (code >= 72 && code <= 78) || code == 82 || code == 83 ||
        code == 99 || (code >= 126 && code <= 139) || code == 160 || code == 161 ||
        (code >= 172 && code <= 175) || (code >= 180 && code <= 185) || code == 187)
        return arg(0);
    if (code == 97 || code == 98) return arg(1);
    if (code == 14 || code == 17) return arg(2);
    if (code == 15 || code == 18) return arg(3);
    return nullptr;
}

bool same_name(const char* a, const std::string& b) {
    return a && kestrix_strcmpi(a, b.c_str()) == 0;
}

// Decides the DATABASE_ADMIN exceptions: 1 allowed, 0 not decided here.
int database_admin_exception(client* c, const command_record& r, char** args) {
    const int p = r.privilege, code = r.code;
    const std::string& d = c->db_admin_databases;
    const char* target = target_database(code, args);
    if ((p >= 7 && p <= 13) || p == 21 || p == 22 || p == 100 || p == 101 || p == 102) return 1;
    if (p == 6 && (code == 61 || code == 62 || code == 63) && same_name(target, d)) return 1;
    if ((p == 15 || p == 17 || p == 18 || p == 20) && same_name(target, d)) return 1;
    if (p == 16 &&
        (code == 94 || ((code == 59 || code == 60 || code == 97 || code == 98 || code == 99) &&
                        same_name(target, d))))
        return 1;
    if (p == 4 && (code == 14 || code == 15 || code == 17 || code == 18) && target && args[0]) {
        std::string prefix = std::string(target) + "_";
        if (kestrix_strncmpi(args[0], prefix.c_str(), prefix.size()) == 0) return 1;
    }
    return 0;
}

bool command_allowed(client* c, const command_record& r, char** args) {
    get_user_group_id(c);
    if (c->is_admin || r.privilege == 0) return true;
    if (r.privilege == PRIV_ADMIN) return false;
    if (!c->db_admin_databases.empty() && database_admin_exception(c, r, args)) return true;
    const int p = r.privilege;
    if (p == PRIV_DATABASES || p == PRIV_RESTORE || p == PRIV_BACKUP) {
        const char* db = r.code == 137 ? (args[0] ? args[1] : nullptr) : args[0];
        return privilege_row_exists(c, {p, PRIV_ADMIN}, db ? db : "", "");
    }
    if (p == PRIV_INSERT_UPDATE_DELETE) {
        const char* table = "*";
        if ((r.code == 140 || r.code == 141) && args[0] && args[1]) table = args[1];
        if ((r.code == 143 || r.code == 144) && args[0]) table = args[0];
        const char* db = c->dbref >= 0 ? dbref_dbname(c->dbref) : "*";
        return privilege_row_exists(c, {8, 9, 10, 100, 3}, db, table);
    }
    return privilege_row_exists(c, {p, PRIV_ADMIN}, "", "");
}

// Whether the text is worth matching: short enough, one field, not blank.
bool offered(const client* c, const char* text, size_t length) {
    if (!text || length >= COMMAND_MAX_TEXT || c->nfields != 1) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return *p && *p != ';';
}

int run_handler(client* c, command_record& r, char** args, const char* text) {
    if (debugging()) debug_write("Custom command: %s", text);
    current_command_text = text;
    int result = r.handler(c, args, r.code);
    current_command_text = nullptr;
    if (result == CMD_DECLINED) return 0;
    ++r.use_count;
    if (result == CMD_DONE)
        client_sendack(c, 0);
    else if (result == CMD_FAILED)
        client_senderror(c);
    return 1;
}

}  // namespace

int handle_custom_command(client* c, const char* text, size_t length) {
    if (!offered(c, text, length) || !command_quick_scan(text)) return 0;
    char copy[COMMAND_MAX_TEXT];
    snprintf(copy, sizeof(copy), "%s", text);
    CommandMatch m = command_match(copy);
    if (!m.record) {
        char msg[COMMAND_MAX_TEXT + 64];
        snprintf(msg, sizeof(msg), "Custom command syntax error: %s (token count: %d)", text,
                 m.ntokens);
        log_system(msg);
        client_sendreply(c, 7026, msg);
        return 1;
    }
    command_record& r = *m.record;
    if (!c->is_json && c->command != r.kind) {
        client_sendreply(c, 7025, "Command doesn't make sense in current context.");
        return 1;
    }
    if (!command_allowed(c, r, m.args)) {
        client_sendreply(c, 7022, "Insufficient privileges to execute the custom command.");
        return 1;
    }
    if (r.needs_database && !c->db) {
        client_sendreply(c, 7030,
                         "A valid database reference must be set with the USE DATABASE command.");
        return 1;
    }
    return run_handler(c, r, m.args, text);
}

int command_not_built(client* c, char**, int) {
    client_seterror(c, 7015, "Command \"%s\" not supported in this version.",
                    current_command_text ? current_command_text : "");
    return CMD_FAILED;
}
