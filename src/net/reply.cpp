// reply.cpp - the reply helpers every handler uses and the field access of
// the decoded request.
//
// One reply per request: the helpers build the header (and the encrypted or
// compressed packet) with wire_build_reply, log the finished request, and
// write the pieces with one vectored write. The session's error_code and
// error_msg describe the reply being sent, for the log.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/client.h"
#include "net/random.h"
#include "net/wire.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

const char* const UNKNOWN_ERROR = "An unknown error occured.";

}  // namespace

void client_reset_iov(client* c) {
    memset(c->iov, 0, sizeof(c->iov));
    c->iov_first = 0;
    c->iov_count = 0;
    c->to_write = 0;
    c->written = 0;
}

void client_seterror(client* c, int code, const char* format, ...) {
    c->error_code = static_cast<uint32_t>(code);
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(c->error_msg, sizeof(c->error_msg), format, ap);
    va_end(ap);
}

int client_senddata(client* c, int code, const void* buffer, size_t size, int flags) {
    client_reset_iov(c);
    unsigned char iv[WIRE_IV_SIZE];
    ReplyPlan plan;
    plan.code = code;
    plan.payload = buffer;
    plan.size = buffer ? size : 0;
    plan.flags = static_cast<uint8_t>(flags);
    plan.enc_type = c->enc_type;
    plan.key = c->session_key;
    plan.keylen = c->session_key_len;
    plan.compress = (c->request_flags & REQ_FLAG_COMPRESSED) != 0;
    if (plan.enc_type != 0 && plan.keylen != 0 && plan.size > 0 && code != REPLY_END_CHUNK) {
        rand_fill_16(iv);
        plan.iv = iv;
    }
    ReplyParts parts;
    if (!wire_build_reply(plan, &parts)) {
        client_disconnect(c);
        return 0;
    }
    memcpy(c->reply_header, parts.header, HEADER_SIZE);
    c->reply_packet = std::move(parts.packet);
    const unsigned char* payload = parts.uses_packet ? c->reply_packet.data() : parts.payload;
    c->iov[0] = {c->reply_header, HEADER_SIZE};
    c->iov_count = 1;
    if (parts.payload_len > 0) {
        c->iov[1] = {const_cast<unsigned char*>(payload), parts.payload_len};
        c->iov_count = 2;
    }
    c->to_write = HEADER_SIZE + parts.payload_len;
    c->error_code = static_cast<uint32_t>(code);
    if (settings.log_verbosity != 0 || debugging()) log_write(c);
    return socket_write(c);
}

void client_sendack(client* c, int code) {
    client_senddata(c, code, nullptr, 0, 0);
}

void client_sendreply(client* c, int code, const char* message) {
    if (code == 0) {
        client_sendack(c, 0);
        return;
    }
    if (message != c->error_msg) {
        if (!message) message = get_error_str(code);
        if (!message) message = UNKNOWN_ERROR;
        snprintf(c->error_msg, sizeof(c->error_msg), "%s", message);
    }
    c->error_code = static_cast<uint32_t>(code);
    client_senddata(c, code, c->error_msg, strlen(c->error_msg) + 1, 0);
}

void client_senderror(client* c) {
    client_sendreply(c, static_cast<int>(c->error_code), c->error_msg[0] ? c->error_msg : nullptr);
}

const unsigned char* client_getfield(client* c, uint32_t n, uint32_t* size) {
    if (n == 0 || n > c->nfields || n > c->field_sizes.size()) {
        if (size) *size = 0;
        return nullptr;
    }
    if (size) *size = c->field_sizes[n - 1];
    return c->inbuf.data() + c->field_offsets[n - 1];
}

std::string client_getfield_text(client* c, uint32_t n) {
    uint32_t size = 0;
    const unsigned char* p = client_getfield(c, n, &size);
    if (!p) return std::string();
    const void* nul = memchr(p, 0, size);
    size_t len = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) : size;
    return std::string(reinterpret_cast<const char*>(p), len);
}
