// log_request.cpp - what a finished request contributes to the log.
//
// log_write runs for every reply, before it is written, while the log
// verbosity or the debug output is on. A request is described by its first
// field (the SQL or command text), by "Connect Phase 2" for the second phase
// of a login (never by its proof), or by "Client closed connection" once the
// socket is gone. Successful requests are logged only at SQL_COMMANDS; failed
// ones at SQL_ERRORS too, with the error text.
#include <cstdio>
#include <cstring>
#include <string>

#include "net/client.h"
#include "net/wire.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

ClientLogInfo log_info(client* c) {
    ClientLogInfo who;
    who.username = c->username;
    who.database = "N/A";  // database references come with the query path
    who.address = c->address;
    who.version = static_cast<int>(c->client_version);
    who.connection_id = static_cast<int>(c->id);
    return who;
}

bool is_login_phase2(const client* c) {
    return strcmp(c->cmd_label, "CONNECT (PHASE 2)") == 0 ||
           strcmp(c->cmd_label, "CONNECT ENCRYPTED (PHASE 2)") == 0;
}

std::string request_description(client* c) {
    if (is_login_phase2(c)) return "Connect Phase 2";
    if (c->fd == -1) return "Client closed connection";
    if (!c->is_json && c->nfields > 0) return client_getfield_text(c, 1);
    return std::string();
}

void debug_request(client* c, const std::string& description, const ClientLogInfo& who) {
    debug_write("CLIENT %d: %s (%s, %s, %s, %s)", static_cast<int>(c->id), description.c_str(),
                c->cmd_label, c->address, c->username.c_str(), who.database.c_str());
}

}  // namespace

void log_client(client* c, const char* description, const char* operation, int level,
                double seconds) {
    log_client_event(log_info(c), description, operation, level, seconds);
}

void log_write(client* c) {
    const int code = static_cast<int>(c->error_code);
    const bool debug = debugging();
    const int32_t verbosity = settings.log_verbosity;
    // The common case, a successful request below SQL_COMMANDS, logs nothing.
    if (!debug && verbosity != LOG_VERBOSITY_SQL_COMMANDS &&
        (code == 0 || code == REPLY_END_CHUNK || verbosity == LOG_VERBOSITY_NONE))
        return;
    tend(&c->cmd_timer);
    const double seconds = tval(&c->cmd_timer);
    const ClientLogInfo who = log_info(c);
    const std::string description = request_description(c);
    if (!description.empty()) {
        if (verbosity == LOG_VERBOSITY_SQL_COMMANDS)
            log_client_event(who, description.c_str(), c->cmd_label, 20, seconds);
        if (debug) debug_request(c, description, who);
    }
    if (code == REPLY_END_CHUNK) {
        if (debug) debug_write("CLIENT %d: End chunk sent", static_cast<int>(c->id));
        return;
    }
    if (code == 0 || verbosity == LOG_VERBOSITY_NONE) return;
    std::string error = c->error_msg;
    if (error.empty()) error = description;
    if (error.empty() && get_error_str(code)) error = get_error_str(code);
    if (error.empty()) {
        char text[64];
        snprintf(text, sizeof(text), "An unknown error %d occured.", code);
        error = text;
    }
    log_client_event(who, error.c_str(), "ERROR", 10, seconds);
    if (debug) debug_request(c, error, who);
}
