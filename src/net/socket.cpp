// socket.cpp - the transport of a session: protocol detection on the first
// request, reading exactly one request, and writing one reply.
//
// All socket I/O is blocking and goes through the session's Transport, so a
// TLS transport only has to provide its own read/write/close. A request is
// dispatched only when its header and its whole body have arrived: a peer that
// closes in the middle drops the request and the session. The input buffer is
// sized from the header before the body is read; bodies above the command
// limit are refused before any allocation.
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "net/client.h"
#include "net/wire.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

// Ceiling of the bodies exempt from MAX_COMMANDLEN (chunks and parameter
// transfers), so that no header can make the server reserve gigabytes.
constexpr uint32_t MAX_EXEMPT_BODY = 256u * 1024 * 1024;
// Consecutive failed reads or writes that make an error fatal anyway.
constexpr int MAX_FRUITLESS_CALLS = 100;

ssize_t tcp_read(client* c, void* buf, size_t len) {
    return read(c->fd, buf, len);
}

ssize_t tcp_writev(client* c, const struct iovec* iov, int count) {
    return writev(c->fd, iov, count);
}

void tcp_close(client* c) {
    client_closesocket(c);
}

enum ReadResult { READ_OK, READ_FAILED };

// Reads exactly `len` bytes. With `header` set, the first four bytes must be
// the signature.
ReadResult read_exact(client* c, unsigned char* buf, size_t len, bool header) {
    size_t got = 0;
    int fruitless = 0;
    while (got < len) {
        ssize_t n = c->transport->read(c, buf + got, len - got);
        if (c->is_disconnecting) return READ_FAILED;
        if (n < 0) {
            if (fatal_socket_error(c) || ++fruitless >= MAX_FRUITLESS_CALLS) return READ_FAILED;
            continue;
        }
        if (n == 0) return READ_FAILED;  // peer closed: what was read is dropped
        fruitless = 0;
        got += static_cast<size_t>(n);
        settings.bytes_received.fetch_add(static_cast<uint64_t>(n));
        if (header && got >= 4 && !wire_has_signature(buf, got)) {
            log_client(c, "Wrong header received from client", "ERROR", 10, 0);
            return READ_FAILED;
        }
    }
    return READ_OK;
}

// Checks the header just read and sizes the input buffer for the body.
// Answers 0 when the session was refused.
int client_checkheader(client* c) {
    if (!wire_has_signature(c->req_header, HEADER_SIZE)) {
        log_client(c, "Wrong header received from client", "ERROR", 10, 0);
        client_disconnect(c);
        return 0;
    }
    c->body_len = wire_be32(c->req_header + 4);
    const int command = c->req_header[8];
    const bool exempt = command == CMD_CHUNK || c->pending_op == PENDING_BINARY_PARAMS ||
                        c->pending_op == PENDING_VM_BLOB;
    const uint32_t limit =
        exempt ? MAX_EXEMPT_BODY : static_cast<uint32_t>(settings.max_commandlen.load());
    if (c->body_len > limit) {
        c->no_rearm = 1;
        client_sendreply(c, ERR_SQLITE, "Maximum size of allowed command reached.");
        client_disconnect(c);
        return 0;
    }
    if (c->body_len >= c->inbuf.size()) {
        size_t want = std::max<size_t>(static_cast<size_t>(c->body_len) + 1024,
                                       static_cast<size_t>(settings.min_buffer_size.load()));
        try {
            std::vector<unsigned char>(want).swap(c->inbuf);
        } catch (const std::bad_alloc&) {
            client_disconnect(c);
            return 0;
        }
        c->inbuf_used = 0;
    }
    return 1;
}

// The JSON protocol is answered by its own module; until then a JSON session
// is closed without a reply.
void socket_read_json(client* c) {
    c->is_json = 1;
    client_disconnect(c);
}

}  // namespace

const Transport tcp_transport = {"TCP", tcp_read, tcp_writev, tcp_close};

int detect_ssl_protocol(client*, const unsigned char*, size_t) {
    return 0;  // no TLS server context yet
}

int detect_protocol(client* c) {
    unsigned char bytes[9];
    ssize_t n = recv(c->fd, bytes, sizeof(bytes), MSG_PEEK);
    if (n < 4) return 0;
    if (wire_has_signature(bytes, static_cast<size_t>(n))) {
        c->protocol_known = 1;
        return 1;
    }
    if (bytes[0] == '{' && bytes[1] == '"' && (bytes[2] | 0x20) == 'c' &&
        (bytes[3] | 0x20) == 'o') {
        c->protocol_known = 1;
        c->is_json = 1;
        return 1;
    }
    if (bytes[0] == 0x16 && settings.tls_server &&
        detect_ssl_protocol(c, bytes, static_cast<size_t>(n))) {
        c->protocol_known = 1;
        return 1;
    }
    return 0;
}

int fatal_socket_error(client* c) {
    if (c->is_disconnecting) return 1;
    int err = errno;
    if (err == ENOENT || err == EBADF || err == EPIPE) return 1;
    int so_error = 0;
    socklen_t len = sizeof(so_error);
    if (c->fd < 0 || getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return 1;
    return !(so_error == 0 || so_error == EINTR || so_error == EAGAIN || so_error == EINPROGRESS);
}

void socket_read(client* c) {
    client_resetstate(c);
    client_update_time(c);
    if (!c->protocol_known) {
        if (!detect_protocol(c)) {
            log_client(c, "Unable to detect protocol.", "ERROR", 10, 0);
            client_disconnect(c);
            return;
        }
        if (settings.ssl_connections_only && settings.tls_enabled && !c->tls) {
            c->no_rearm = 1;
            client_sendreply(c, 7057, "Only SSL connections are currently allowed.");
            client_disconnect(c);
            return;
        }
    }
    if (c->is_json) {
        socket_read_json(c);
        return;
    }
    if (read_exact(c, c->req_header, HEADER_SIZE, true) != READ_OK) {
        client_disconnect(c);
        return;
    }
    if (!client_checkheader(c)) return;
    if (read_exact(c, c->inbuf.data(), c->body_len, false) != READ_OK) {
        client_disconnect(c);
        return;
    }
    c->inbuf_used = c->body_len;
    command_process(c);
}

int socket_write(client* c) {
    if (!c->protocol_known) return 0;
    c->written = 0;
    int fruitless = 0;
    while (c->fd >= 0 && c->iov_count > 0) {
        ssize_t n = c->transport->writev(c, c->iov + c->iov_first, c->iov_count);
        if (n < 0 && fatal_socket_error(c)) {
            client_disconnect(c);
            return 0;
        }
        size_t done = n > 0 ? static_cast<size_t>(n) : 0;
        c->written += done;
        settings.bytes_sent.fetch_add(done);
        if (c->written >= c->to_write) break;
        if (c->is_disconnecting) return 0;
        if (n <= 0 && ++fruitless >= MAX_FRUITLESS_CALLS) {
            if (debugging())
                debug_write(
                    "failed to write for more than %d times, client is forced to "
                    "disconnect.",
                    MAX_FRUITLESS_CALLS);
            client_disconnect(c);
            return 0;
        }
        // Drop the pieces written whole, then shorten the first partial one.
        while (done > 0 && c->iov_count > 0) {
            struct iovec& piece = c->iov[c->iov_first];
            if (done >= piece.iov_len) {
                done -= piece.iov_len;
                ++c->iov_first;
                --c->iov_count;
            } else {
                piece.iov_base = static_cast<char*>(piece.iov_base) + done;
                piece.iov_len -= done;
                done = 0;
            }
        }
    }
    return c->written >= c->to_write ? 1 : 0;
}
