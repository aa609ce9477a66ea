// dispatch.cpp - decoding a binary request and running it by command code.
//
// command_decode turns the raw header and body of the session into its
// request state (fields, encryption byte, client version, time-out, the
// command after the envelope). A body that cannot be decoded ends the
// session; a body whose field sizes run past its end is refused with 7005.
// Commands whose handlers are not part of this server yet are answered with
// a clean 7015 error so that the session stays usable.
#include <cstring>

#include "net/client.h"
#include "net/login.h"
#include "net/wire.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

enum DecodeOutcome { DECODE_OK = 1, DECODE_FAILED = 0, DECODE_BAD_FIELDS = -1 };

const char* command_label(int command) {
    switch (command) {
        case CMD_SELECT:
            return "SELECT";
        case CMD_EXECUTE:
        case CMD_VM_PREPARE:
            return "EXECUTE";
        case CMD_CLOSE:
            return "CLOSE";
        case CMD_CHUNK:
        case CMD_CHUNK_2:
        case CMD_CHUNK_BIND:
        case CMD_VM_BIND:
        case CMD_VM_EXECUTE:
        case CMD_VM_SELECT:
        case CMD_VM_CLOSE:
        case CMD_VM_RESET:
            return "CHUNK";
        case CMD_STEPVM:
        case CMD_STEPVM_2:
            return "STEPVM";
        case CMD_CONNECT_1:
        case CMD_TOKEN_CONNECT_1:
            return "CONNECT (PHASE 1)";
        case CMD_CONNECT_2:
        case CMD_TOKEN_CONNECT_2:
            return "CONNECT (PHASE 2)";
        case CMD_CONNECT_ENC_1:
        case CMD_TOKEN_CONNECT_ENC_1:
            return "CONNECT ENCRYPTED (PHASE 1)";
        case CMD_CONNECT_ENC_2:
        case CMD_TOKEN_CONNECT_ENC_2:
            return "CONNECT ENCRYPTED (PHASE 2)";
        case CMD_PING:
            return "PING";
        default:
            return "";
    }
}

int decode_request(client* c) {
    const RequestHeader h = wire_parse_header(c->req_header);
    if (h.body_len > 0) {
        c->enc_type = h.encryption;
        if (c->session_enc_type == -1) c->session_enc_type = c->enc_type;
    }
    DecodeLimits limits;
    limits.min_buffer_size = static_cast<size_t>(settings.min_buffer_size.load());
    limits.max_inflated = static_cast<size_t>(settings.max_commandlen.load());
    if (h.body_len > 0 && h.body_len > c->inbuf_used) return DECODE_FAILED;
    DecodedBody body;
    WireDecode rc =
        wire_decode_body(h, c->inbuf, c->session_key, c->session_key_len, limits, &body);
    if (rc == WIRE_FIELD_BOUNDS) return DECODE_BAD_FIELDS;
    if (rc != WIRE_OK) {
        if (rc == WIRE_BAD_NFIELDS && debugging())
            debug_write("client disconnected after a security check on nfields");
        return DECODE_FAILED;
    }
    if (h.body_len > 0) {
        c->nfields = body.nfields;
        c->field_sizes = std::move(body.sizes);
        c->field_offsets = std::move(body.offsets);
        c->inbuf_used = body.usable;
        c->timeout = static_cast<int32_t>(h.timeout);
    }
    c->client_version = h.client_version;
    c->client_type = h.client_type;
    c->command = h.command == CMD_ENVELOPE ? h.selector : h.command;
    c->selector = h.selector;
    c->request_flags = h.flags;
    c->server_side = (h.flags & REQ_FLAG_SERVER_SIDE) ? 1 : 0;
    tstart(&c->cmd_timer);
    return DECODE_OK;
}

void reply_not_available(client* c) {
    client_sendreply(c, ERR_GENERIC, "Command not supported by this server version.");
}

// Runs a login handshake; a successful phase 2 records the connection type.
void dispatch_login(client* c) {
    const int cmd = c->command;
    const bool token = cmd >= CMD_TOKEN_CONNECT_1;
    switch (cmd) {
        case CMD_CONNECT_1:
        case CMD_TOKEN_CONNECT_1:
            handle_clear_connect_phase1(c, token);
            return;
        case CMD_CONNECT_ENC_1:
        case CMD_TOKEN_CONNECT_ENC_1:
            handle_encrypt_connect_phase1(c, token);
            return;
        case CMD_CONNECT_2:
        case CMD_TOKEN_CONNECT_2:
            if (handle_clear_connect_phase2(c, token)) client_setprotocol(c, nullptr, 0);
            return;
        default:
            if (handle_encrypt_connect_phase2(c, token)) client_setprotocol(c, nullptr, 0);
            return;
    }
}

}  // namespace

int command_decode(client* c) {
    return decode_request(c) == DECODE_OK ? 1 : 0;
}

void command_ping(client* c) {
    client_update_time(c);
    client_sendack(c, 0);
}

void command_process(client* c) {
    int rc = decode_request(c);
    if (rc == DECODE_FAILED) {
        client_disconnect(c);
        return;
    }
    c->cmd_label = command_label(rc == DECODE_OK ? c->command : 0);
    if (rc == DECODE_BAD_FIELDS) {
        client_sendreply(c, ERR_FIELDS, nullptr);
        return;
    }
    switch (c->command) {
        case CMD_CLOSE:
            c->no_rearm = 1;
            client_sendack(c, 0);
            client_disconnect(c);
            return;
        case CMD_PING:
            command_ping(c);
            return;
        case CMD_STEPVM:
        case CMD_STEPVM_2:
            return;  // accepted and ignored: no effect, no reply
        case CMD_CONNECT_1:
        case CMD_CONNECT_2:
        case CMD_CONNECT_ENC_1:
        case CMD_CONNECT_ENC_2:
        case CMD_TOKEN_CONNECT_1:
        case CMD_TOKEN_CONNECT_2:
        case CMD_TOKEN_CONNECT_ENC_1:
        case CMD_TOKEN_CONNECT_ENC_2:
            dispatch_login(c);
            return;
        case CMD_VM_CLOSE:
            c->pending_op = PENDING_NONE;
            if (c->vm) {
                sqlite3_finalize(c->vm);
                c->vm = nullptr;
            }
            client_sendack(c, 0);
            return;
        case CMD_SELECT:
        case CMD_EXECUTE:
        case CMD_CHUNK:
        case CMD_CHUNK_2:
        case CMD_CHUNK_BIND:
        case CMD_VM_PREPARE:
        case CMD_VM_BIND:
        case CMD_VM_EXECUTE:
        case CMD_VM_SELECT:
        case CMD_VM_RESET:
            reply_not_available(c);
            return;
        default:
            client_sendreply(c, ERR_WRONG_COMMAND, nullptr);
            return;
    }
}
