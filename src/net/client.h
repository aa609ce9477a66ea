// client.h - the client session record and the functions around it.
//
// One `client` exists per accepted connection, from accept to disconnect. It
// is created by client_accept, registered in the session registry and in the
// in-memory Clients table, and freed only by the teardown that ends
// client_disconnect. Any thread holding a bare session pointer checks the
// registry under `settings.workers_mutex` before touching the record.
//
// A session is served by at most one worker at a time (one-shot event
// registration). While a worker serves it, `serving` is set; a disconnect
// requested from another thread then only unregisters the session and shuts
// its socket down, and the serving worker completes the teardown when the
// request ends. The socket is re-armed by the worker as its very last touch
// of the record, so no other thread can free it under the worker; it is
// re-armed after every request that did not end the session, including the
// ones that get no reply (STEPVM), so the session stays usable.
//
// Bytes move through `transport`, a table of read/write/close functions:
// plain TCP today; a TLS transport plugs in beside it without touching the
// request path.
#pragma once

#include <pthread.h>
#include <sqlite3.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/dbref.h"
#include "server/stats.h"

struct client;
struct cursor;

// How a session's bytes move. Every function answers like read/writev.
struct Transport {
    const char* name;
    ssize_t (*read)(client* c, void* buf, size_t len);
    ssize_t (*writev)(client* c, const struct iovec* iov, int count);
    void (*close)(client* c);
};
extern const Transport tcp_transport;

// Operations spanning several requests (`pending_op`).
enum : uint32_t {
    PENDING_NONE = 666,
    PENDING_CURSOR = 2,
    PENDING_BINARY_PARAMS = 13,
    PENDING_CURSOR_DONE = 14,
    PENDING_UPLOAD = 15,
    PENDING_DOWNLOAD = 16,
    PENDING_VM_BLOB = 51,
};

// Request command codes (header byte 8).
enum : int {
    CMD_ENVELOPE = 1,
    CMD_SELECT = 2,
    CMD_EXECUTE = 3,
    CMD_CLOSE = 7,
    CMD_PING = 8,
    CMD_CHUNK = 9,
    CMD_CHUNK_2 = 10,
    CMD_STEPVM = 11,
    CMD_STEPVM_2 = 12,
    CMD_CHUNK_BIND = 19,
    CMD_CONNECT_1 = 20,
    CMD_CONNECT_2 = 21,
    CMD_CONNECT_ENC_1 = 22,
    CMD_CONNECT_ENC_2 = 23,
    CMD_TOKEN_CONNECT_1 = 40,
    CMD_TOKEN_CONNECT_2 = 41,
    CMD_TOKEN_CONNECT_ENC_1 = 42,
    CMD_TOKEN_CONNECT_ENC_2 = 43,
    CMD_VM_PREPARE = 50,
    CMD_VM_BIND = 51,
    CMD_VM_EXECUTE = 52,
    CMD_VM_SELECT = 53,
    CMD_VM_CLOSE = 54,
    CMD_VM_RESET = 55,
};

// Reply and error codes.
enum : int {
    REPLY_OK = 0,
    REPLY_END_CHUNK = 777,
    ERR_TIMEOUT = 7001,
    ERR_READ = 7002,
    ERR_MEMORY = 7003,
    ERR_FIELDS = 7005,
    ERR_FIELD_DATA = 7006,
    ERR_SQLITE = 7009,
    ERR_ZLIB = 7013,
    ERR_AES = 7014,
    ERR_GENERIC = 7015,
    ERR_WRONG_COMMAND = 7016,
    ERR_MAX_CONNECTIONS = 7020,
    ERR_BAD_LOGIN = 7056,
    ERR_CONNECTION_DISABLED = 7057,
    ERR_TOKEN = 7058,
    ERR_USER_DISABLED_TEMP = 7062,
    ERR_USER_DISABLED_PERM = 7063,
};

// Where the login handshake of a session stands.
enum : int {
    LOGIN_NONE = 0,
    LOGIN_CLEAR_PHASE1 = 1,    // challenge sent; pw_hash holds the expected response
    LOGIN_ENCRYPT_PHASE1 = 2,  // session key agreed; pw_hash holds the digest D
    LOGIN_DONE = 3,
};

constexpr size_t HEADER_SIZE = 32;
constexpr int AUTH_CACHE_SIZE = 50;
constexpr size_t ERROR_MSG_SIZE = 512;

// The fields the write-ticket queue shares with the session (id, dbref,
// timeout, is_waiting, is_disconnecting, ticket, lock_wait_time) come from
// dbref_session; `id` starts at 1 and is never reused, `timeout` is 12 seconds
// until a request header or SET TIMEOUT TO changes it.
struct client : dbref_session {
    client() { timeout = 12; }
    uint32_t transaction_id = 0;  // open transaction, 0 when none
    sqlite3* db = nullptr;        // current database
    sqlite3* scratch_db = nullptr;
    sqlite3* tempdb = nullptr;
    struct cursor* cursor = nullptr;  // pending chunked result (query/cursor.h)

    uint32_t protocol_known = 0;
    int fd = -1;
    const Transport* transport = &tcp_transport;
    struct tls* tls = nullptr;  // TLS connection context, NULL for plain TCP
    int tls_handshakes = 0;
    int tls_busy = 0;
    uint32_t is_json = 0;

    uint32_t client_version = 3;  // 3 = "2007", 4 = "2011"
    uint32_t client_type = 0;
    int32_t ping_timeout = 300;  // seconds
    uint32_t pending_op = PENDING_NONE;
    std::atomic<uint32_t> drop_requested{0};
    std::atomic<int> no_rearm{0};
    int autocommit = 0;
    uint32_t in_transaction = 0;
    int is_select = 0;
    int busy_timeout_set = 0;   // SQLite busy time-out last applied to db
    int trace_installed = 0;    // the restore-journal trace hook is on db
    int64_t last_rowid = 0;     // of the last EXECUTE
    int changes = 0;            // of the last EXECUTE
    int delete_authorized = 0;  // the authorizer allowed a DELETE in this statement
    std::string delete_table;   // ... on this table
    int skip_lock_check = 0;    // record-lock triggers are off (VACUUM)
    char language[3] = {};      // SET LANGUAGE TO
    int busy = 0;
    int backup_running = 0;
    sqlite3_stmt* vm = nullptr;

    // Identity.
    std::string token;  // login token, empty when none
    int32_t userid = 0;
    char group_ids[48] = {};
    int32_t privilege_stamp = 0;
    int is_admin = 0;
    int is_db_admin = 0;
    std::string db_admin_databases;
    // Answers of recent privilege checks, keyed by the SHA-1 of the check's
    // group list, code list, database and table; emptied at every reload of
    // the rights and otherwise overwritten round robin.
    unsigned char auth_cache_keys[AUTH_CACHE_SIZE][20] = {};
    int auth_cache_results[AUTH_CACHE_SIZE] = {};
    int auth_cache_next = 0;
    int auth_cache_used = 0;  // filled entries, at most AUTH_CACHE_SIZE
    std::string username;     // at most 255 bytes
    char address[48] = {};

    // The reply being built.
    uint32_t error_code = 0;
    char error_msg[ERROR_MSG_SIZE] = {};

    // The request being read and decoded.
    unsigned char req_header[HEADER_SIZE] = {};
    unsigned char reply_header[HEADER_SIZE] = {};
    uint32_t body_len = 0;
    std::vector<unsigned char> inbuf;  // inbuf.size() is the buffer capacity
    size_t inbuf_used = 0;             // valid bytes (after decoding: the usable body)
    uint32_t nfields = 0;
    std::vector<uint32_t> field_sizes;
    std::vector<size_t> field_offsets;  // into inbuf
    int command = 0;                    // command code after the envelope is resolved
    int selector = 0;
    int request_flags = 0;
    const char* sql = nullptr;  // statement of the current request (points into inbuf)

    // Packet encryption.
    int32_t enc_type = 0;
    int32_t session_enc_type = -1;
    unsigned char session_key[32] = {};
    size_t session_key_len = 0;  // 0 until the encrypted handshake agreed a key

    // Login.
    int login_state = LOGIN_NONE;
    unsigned char challenge[20] = {};
    unsigned char pw_hash[20] = {};

    // The reply being written.
    struct iovec iov[3] = {};
    int iov_first = 0;
    int iov_count = 0;
    size_t to_write = 0;
    size_t written = 0;
    std::vector<unsigned char> reply_packet;  // IV + ciphertext, or a compressed copy

    const char* cmd_label = "";
    int server_side = 0;
    Timer cmd_timer;

    // Serving and teardown, guarded by settings.workers_mutex.
    int serving = 0;             // REQUIRES: workers_mutex held
    int teardown_deferred = 0;   // REQUIRES: workers_mutex held
    pthread_t serving_thread{};  // REQUIRES: workers_mutex held
    time_t last_activity_stamp = 0;
};

// Session life cycle (session.cpp).
client* client_init();
int client_accept(int fd, const char* address);
void increase_connections(client* c);
void client_resetstate(client* c);
void client_disconnect(client* c);
void client_closesocket(client* c);
void client_close_database(client* c);
int client_is_disconnected(client* c, int remove);
void client_reinsert(client* c);
client* client_id2ptr(uint32_t id);
void client_update_time(client* c);
void client_setprotocol(client* c, char* buffer, size_t size);
void update_connection(client* c);

// The session registry: live sessions by id and by address, mirrored by the
// Clients rows. registry_find answers the session of `id` or NULL (the
// pointer may only be used through client_serve_begin, which checks again).
client* registry_find(uint32_t id);
// Disconnects the session registered under `id`, if any; `drop` marks it
// as dropped by an error or hang-up event.
void client_disconnect_id(uint32_t id, int drop);

// Serving a session on a worker (session.cpp). client_serve_begin answers
// the session when `c` with `id` is still registered and may be read, after
// marking it served; client_serve_end re-arms or tears it down.
client* client_serve_begin(client* c, uint32_t id);
void client_serve_end(client* c);

// Reply helpers (reply.cpp).
void client_reset_iov(client* c);
void client_seterror(client* c, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void client_sendack(client* c, int code);
void client_sendreply(client* c, int code, const char* message);
void client_senderror(client* c);
int client_senddata(client* c, int code, const void* buffer, size_t size, int flags);
const unsigned char* client_getfield(client* c, uint32_t n, uint32_t* size);
// Field n as text: up to its first NUL, never past its size.
std::string client_getfield_text(client* c, uint32_t n);

// Request path (socket.cpp, dispatch.cpp).
void socket_read(client* c);
int socket_write(client* c);
int fatal_socket_error(client* c);
int detect_protocol(client* c);
int detect_ssl_protocol(client* c, const unsigned char* bytes, size_t n);
int command_decode(client* c);
void command_process(client* c);
void command_ping(client* c);

// A client event in the log for this session (log_request.cpp).
void log_client(client* c, const char* description, const char* operation, int level,
                double seconds);
