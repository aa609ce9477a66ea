// session.cpp - creation, registration and the ordered end of sessions.
//
// The registry maps live session ids to records and records to ids; it is the
// authority on whether a bare session pointer may be touched, and the Clients
// rows of the in-memory database mirror it for the administration commands.
// Both change only under settings.workers_mutex: a session enters at
// increase_connections and leaves first thing in client_disconnect, so a
// second disconnect of the same session finds nothing and returns.
//
// Teardown (closing the socket, the database and freeing the record) runs on
// the thread that disconnects, unless a worker is serving the session at that
// moment; then the worker finishes it when its request ends
// (client_serve_end).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "core/sqlite_raii.h"
#include "net/client.h"
#include "net/event.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

std::atomic<uint32_t> next_client_id{0};
std::unordered_map<uint32_t, client*> sessions_by_id;        // REQUIRES: workers_mutex held
std::unordered_map<const client*, uint32_t> ids_by_session;  // REQUIRES: workers_mutex held

std::string pointer_text(const client* c) {
    char text[32];
    snprintf(text, sizeof(text), "%p", static_cast<const void*>(c));
    return text;
}

// REQUIRES: workers_mutex held.
void registry_insert(client* c) {
    sessions_by_id[c->id] = c;
    ids_by_session[c] = c->id;
}

// REQUIRES: workers_mutex held.
void registry_remove(client* c) {
    sessions_by_id.erase(c->id);
    ids_by_session.erase(c);
    Stmt st(settings.inmemorydb, "DELETE FROM Clients WHERE id=?1;");
    st.bind(1, static_cast<int64_t>(c->id)).run();
}

// Closes everything the session owns and frees it. The session is no longer
// registered and no worker serves it.
void client_teardown(client* c) {
    for (int i = 0; i < 301 && c->backup_running; ++i) usleep(200 * 1000);
    for (int i = 0; i < 61 && c->busy; ++i) usleep(200 * 1000);
    if (c->transport && c->transport->close)
        c->transport->close(c);
    else
        client_closesocket(c);
    client_close_database(c);
    if (c->scratch_db) sqlite3_close_v2(c->scratch_db);
    if (c->tempdb) sqlite3_close_v2(c->tempdb);
    delete c;
    settings.current_connections.fetch_sub(1);
}

// Unregisters `c` and tears it down now or, while a worker serves it, when
// that worker is done. REQUIRES: workers_mutex held by `lk`; releases it.
void disconnect_locked(client* c, std::unique_lock<std::mutex>& lk) {
    registry_remove(c);
    c->no_rearm = 1;
    c->is_disconnecting = 1;
    if (c->serving) {
        c->teardown_deferred = 1;
        // Wake the serving worker out of a blocking read; it ends the request.
        if (c->fd >= 0 && !pthread_equal(c->serving_thread, pthread_self()))
            shutdown(c->fd, SHUT_RDWR);
        lk.unlock();
        return;
    }
    lk.unlock();
    client_teardown(c);
}

}  // namespace

client* client_init() {
    client* c = new (std::nothrow) client;
    if (!c) return nullptr;
    try {
        c->inbuf.resize(static_cast<size_t>(settings.min_buffer_size.load()));
    } catch (const std::bad_alloc&) {
        delete c;
        return nullptr;
    }
    c->id = ++next_client_id;
    client_resetstate(c);
    return c;
}

int client_accept(int fd, const char* address) {
    client* c = client_init();
    if (!c) {
        close(fd);
        return 0;
    }
    c->fd = fd;
    snprintf(c->address, sizeof(c->address), "%s", address ? address : "");
    increase_connections(c);
    if (!event_add(settings.epoll_fd, c->id, fd)) {
        log_system("Unable to add client to the event manager");
        client_disconnect(c);
        return 0;
    }
    return 1;
}

void increase_connections(client* c) {
    int32_t now = settings.current_connections.fetch_add(1) + 1;
    settings.total_connections.fetch_add(1);
    int32_t peak = settings.peak_connections.load();
    while (now > peak && !settings.peak_connections.compare_exchange_weak(peak, now)) {
    }
    std::lock_guard<std::mutex> g(settings.workers_mutex);
    registry_insert(c);
    Stmt st(settings.inmemorydb,
            "INSERT INTO Clients (id, address, username, client_version, client_type, "
            "connection_date, last_activity, connfd, ptr, ping_timeout) VALUES (?1, ?2, 'N/A', "
            "'N/A', 'N/A', datetime('now','localtime'), datetime('now','localtime'), ?3, ?4, ?5);");
    st.bind(1, static_cast<int64_t>(c->id))
        .bind(2, c->address)
        .bind(3, c->fd)
        .bind(4, pointer_text(c))
        .bind(5, c->ping_timeout)
        .run();
}

void client_resetstate(client* c) {
    c->nfields = 0;
    c->sql = nullptr;
    c->field_sizes.clear();
    c->field_offsets.clear();
    const size_t min_size = static_cast<size_t>(settings.min_buffer_size.load());
    if (c->inbuf.size() > min_size) {
        c->inbuf.resize(min_size);
        c->inbuf.shrink_to_fit();
    }
    c->inbuf_used = 0;
    c->body_len = 0;
    c->error_code = 0;
    c->error_msg[0] = 0;
    memset(c->req_header, 0, sizeof(c->req_header));
    if (c->reply_packet.capacity() > min_size) std::vector<unsigned char>().swap(c->reply_packet);
    tstart(&c->cmd_timer);
}

client* registry_find(uint32_t id) {
    std::lock_guard<std::mutex> g(settings.workers_mutex);
    auto it = sessions_by_id.find(id);
    return it == sessions_by_id.end() ? nullptr : it->second;
}

client* client_id2ptr(uint32_t id) {
    return registry_find(id);
}

int client_is_disconnected(client* c, int remove) {
    if (!c) return 1;
    std::lock_guard<std::mutex> g(settings.workers_mutex);
    if (ids_by_session.find(c) == ids_by_session.end()) return 1;
    if (remove) registry_remove(c);
    return 0;
}

void client_reinsert(client* c) {
    std::lock_guard<std::mutex> g(settings.workers_mutex);
    registry_insert(c);
    Stmt st(settings.inmemorydb, "INSERT INTO Clients (id, ptr) VALUES (?1, ?2);");
    st.bind(1, static_cast<int64_t>(c->id)).bind(2, pointer_text(c)).run();
}

void client_disconnect(client* c) {
    if (!c) return;
    std::unique_lock<std::mutex> lk(settings.workers_mutex);
    if (ids_by_session.find(c) == ids_by_session.end()) return;
    disconnect_locked(c, lk);
}

void client_disconnect_id(uint32_t id, int drop) {
    std::unique_lock<std::mutex> lk(settings.workers_mutex);
    auto it = sessions_by_id.find(id);
    if (it == sessions_by_id.end()) return;
    client* c = it->second;
    if (drop) c->drop_requested = 1;
    disconnect_locked(c, lk);
}

client* client_serve_begin(client* c, uint32_t id) {
    std::unique_lock<std::mutex> lk(settings.workers_mutex);
    auto it = sessions_by_id.find(id);
    if (it == sessions_by_id.end() || it->second != c) return nullptr;
    if (c->drop_requested) {
        disconnect_locked(c, lk);
        return nullptr;
    }
    if (c->is_disconnecting || c->no_rearm || c->fd == -1) return nullptr;
    c->serving = 1;
    c->serving_thread = pthread_self();
    c->teardown_deferred = 0;
    return c;
}

void client_serve_end(client* c) {
    std::unique_lock<std::mutex> lk(settings.workers_mutex);
    c->serving = 0;
    if (c->teardown_deferred) {
        lk.unlock();
        client_teardown(c);
        return;
    }
    // The re-arm is the last touch of the record: once it is armed another
    // worker may take it.
    if (!c->no_rearm && c->fd >= 0) event_reenable(settings.epoll_fd, c->id, c->fd);
}

void client_closesocket(client* c) {
    if (c->fd < 0) return;
    shutdown(c->fd, SHUT_WR);
    // Unread request bytes would turn the close into a reset that can destroy
    // the last reply before the peer reads it: discard what has arrived.
    char sink[16384];
    for (size_t drained = 0; drained < (1u << 20);) {
        ssize_t n = recv(c->fd, sink, sizeof(sink), MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    close(c->fd);
    c->fd = -1;
}

void client_close_database(client* c) {
    if (!c->db || c->dbref == -1) return;
    c->is_db_admin = 0;
    c->pending_op = PENDING_NONE;
    if (c->vm) {
        sqlite3_finalize(c->vm);
        c->vm = nullptr;
    }
    sqlite3_close_v2(c->db);
    c->db = nullptr;
    c->ticket = 0;
    c->in_transaction = 0;
    c->dbref = -1;
    Stmt st(settings.inmemorydb, "UPDATE Clients SET database='' WHERE id=?1;");
    st.bind(1, static_cast<int64_t>(c->id)).run();
}

void client_update_time(client* c) {
    // The column has a resolution of one second: one update per second is
    // enough, and keeps the in-memory database off the request path.
    time_t now = time(nullptr);
    if (now == c->last_activity_stamp) return;
    c->last_activity_stamp = now;
    Stmt st(settings.inmemorydb,
            "UPDATE Clients SET last_activity=datetime('now','localtime') WHERE id=?1;");
    st.bind(1, static_cast<int64_t>(c->id)).run();
}

void client_setprotocol(client* c, char* buffer, size_t size) {
    const char* text = "";
    if (c->is_json)
        text = "JSON";
    else if (c->session_enc_type == 2)
        text = "AES 128";
    else if (c->session_enc_type == 3)
        text = "AES 192";
    else if (c->session_enc_type == 4)
        text = "AES 256";
    if (buffer) {
        snprintf(buffer, size, "%s", text);
        return;
    }
    Stmt st(settings.inmemorydb, "UPDATE Clients SET connection_type=?1 WHERE id=?2;");
    st.bind(1, text).bind(2, static_cast<int64_t>(c->id)).run();
}

void update_connection(client* c) {
    const char* version =
        c->client_version == 3 ? "2007" : (c->client_version == 4 ? "2011" : "N/A");
    Stmt st(settings.inmemorydb,
            "UPDATE Clients SET username=?1, client_version=?2, client_type='N/A' WHERE id=?3;");
    st.bind(1, c->username).bind(2, version).bind(3, static_cast<int64_t>(c->id)).run();
}
