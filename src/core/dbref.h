// dbref.h - shared references of open databases and their write-ticket queues.
//
// Every user database that a session has opened is represented once, by a
// slot of the fixed table `dbrefs` (sized by -o, default 2000). The slot
// carries what the sessions of that database share: its name, WAL mode, the
// restore-journal connection, statistics counters and the write lock.
// Writers of one database are served strictly in ticket order: a writer takes
// a ticket (a row of `wqueue` in the module's private in-memory database
// `memdb`), waits until its ticket is the lowest queued for the database,
// writes, and gives the ticket back. A wait ends with the session's time-out
// (or MAX_TIMEOUT), at shutdown, or when the session is being torn down; a
// waiter that gives up leaves no ticket behind.
//
// Lock order: a slot's write_mutex, then ticket_mutex or its value_mutex.
// global_mutex is taken alone.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// What a session contributes to the write queue; the session record extends it.
struct dbref_session {
    uint32_t id = 0;                       // client id, the ticket owner
    int dbref = -1;                        // slot of the current database, -1 none
    int timeout = 0;                       // write wait in seconds (0: MAX_TIMEOUT)
    std::atomic<int> is_waiting{0};        // 1 while blocked in the queue
    std::atomic<int> is_disconnecting{0};  // set when the session is torn down
    int64_t ticket = 0;                    // ticket held, 0 none
    double lock_wait_time = 0;             // seconds spent in the last wait
};

// Counter codes and operations of dbref_value.
enum DbrefField {
    DBREF_NCLIENTS = 1,
    DBREF_READERS = 2,
    DBREF_WRITERS = 3,
    DBREF_NREAD = 4,
    DBREF_NWRITE = 5,
    DBREF_LOCKOWNER = 6,
    DBREF_RESTORE = 7,
    DBREF_ISWAL = 8
};
enum DbrefOp {
    DBREF_INC = 10,
    DBREF_DEC = 20,
    DBREF_READ = 30,
    DBREF_SET_WAL = 35,
    DBREF_CLEAR = 40
};

void dbref_init();
void dbref_destroy();
int dbref_get(const char* name, int create);
void dbref_free_entry(int slot);
void dbref_reset_entry(int slot);
const char* dbref_dbname(int slot);  // valid until the slot is freed
sqlite3* dbref_restore(int slot);
void dbref_setrestore(int slot, sqlite3* db);
int dbref_value(int slot, int field, int op);
char* dbref_lockowner(int slot, char* buffer, size_t length);
int64_t dbref_newticket(int slot, uint32_t owner);
int64_t dbref_ticket_toserve(int slot);
int dbref_startwrite(dbref_session* s);
void dbref_endwrite(dbref_session* s);
void dbref_disconnect(dbref_session* s);
void dbref_forceunlock_ticket(int slot, int64_t ticket);
void dbref_forceunlock(int slot);
void dbref_wakeup(int slot);
void dbref_locktbl_insert(int slot, const char* table);
int64_t dbref_locktbl_get(int slot);
void dbref_stat_write(sqlite3_stmt* stmt);
void dbref_debug_list(sqlite3* db);
sqlite3* dbref_memdb();
int dbref_limit();
