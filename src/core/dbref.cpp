// dbref.cpp - the reference table and the write-ticket queue.
#include "core/dbref.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/dbhelpers.h"
#include "core/sqlite_raii.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

struct dbref {
    std::string dbname;             // empty while the slot is free
    sqlite3* restore_db = nullptr;  // restore-journal connection, when restore is on
    int iswal = 0;
    std::mutex write_mutex;              // guards lockowner and the ticket wait
    std::condition_variable write_cond;  // broadcast when the lock may have changed hands
    uint32_t lockowner = 0;              // client id holding the write lock, 0 none
    std::mutex value_mutex;              // guards the counters and locktbl_id
    int nclients = 0, readers = 0, writers = 0, nread = 0, nwrite = 0;
    int64_t locktbl_id = 0;
};

std::unique_ptr<dbref[]> dbrefs;  // the slots
std::unique_ptr<int[]> state;     // 0 free, 1 in use; REQUIRES: global_mutex held
int nslots = 0;
sqlite3* memdb = nullptr;
std::mutex global_mutex;  // slot allocation, state, locked_tables
std::mutex ticket_mutex;  // every statement on wqueue
bool inited = false;

bool valid(int slot) {
    return slot >= 0 && slot < nslots;
}

// REQUIRES: ticket_mutex not held.
void delete_tickets(const char* sql, int64_t value) {
    std::lock_guard<std::mutex> g(ticket_mutex);
    Stmt(memdb, sql).bind(1, value).run();
}

void close_restore(dbref& r) {
    if (r.restore_db) sqlite3_close_v2(r.restore_db);
    r.restore_db = nullptr;
}

// Opens the database once to learn (and set) its journal mode; a failed open
// leaves iswal 0.
int probe_wal(const char* name) {
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    std::string key = getkey_for_database_text(name);
    sqlite3* db = nullptr;
    int iswal = 0;
    if (kestrix_open_key(path, &db, key.empty() ? nullptr : key.c_str()) == SQLITE_OK) {
        kestrix_exec(db, "DROP TRIGGER IF EXISTS __LOCK_UPDATE__;");
        kestrix_exec(db, "DROP TRIGGER IF EXISTS __LOCK_DELETE__;");
        iswal = kestrix_enable_wal(db, name, nullptr);
    }
    if (db) sqlite3_close_v2(db);
    return iswal;
}

sqlite3* open_restore_journal(const char* name) {
    char path[KESTRIX_PATH_MAX];
    std::string file = std::string("kestrix_restore_") + name;
    get_path_to_restore(path, file.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path, &db) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, settings.lock_db_time);
    return db;
}

// Ends a wait without the lock. REQUIRES: r.write_mutex held (by `lock`).
int give_up(dbref& r, dbref_session* s, int64_t ticket) {
    delete_tickets("DELETE FROM wqueue WHERE ticket=?1;", ticket ? ticket : s->ticket);
    s->ticket = 0;
    r.write_cond.notify_all();
    s->is_waiting = 0;
    return 0;
}

}  // namespace

void dbref_init() {
    nslots = settings.max_databases > 0 ? settings.max_databases.load() : 0;
    dbrefs = std::make_unique<dbref[]>(static_cast<size_t>(nslots));
    state = std::make_unique<int[]>(static_cast<size_t>(nslots));
    sqlite3_open(":memory:", &memdb);
    kestrix_exec(memdb,
                 "CREATE TABLE wqueue (ticket INTEGER PRIMARY KEY AUTOINCREMENT, dbref INTEGER, "
                 "lock_date TEXT, owner INTEGER);");
    kestrix_exec(memdb,
                 "CREATE TABLE locked_tables (id INTEGER PRIMARY KEY AUTOINCREMENT, dbref INTEGER, "
                 "tablename TEXT COLLATE NOCASE, UNIQUE(dbref, tablename));");
    if (settings.shared_cache) sqlite3_enable_shared_cache(1);
    inited = true;
}

void dbref_destroy() {
    if (!inited) return;
    for (int i = 0; i < nslots; ++i) {
        bool used;
        {
            std::lock_guard<std::mutex> g(global_mutex);
            used = state[i] != 0;
        }
        if (used) dbref_free_entry(i);
    }
    sqlite3_close_v2(memdb);
    memdb = nullptr;
    dbrefs.reset();
    state.reset();
    nslots = 0;
    inited = false;
}

int dbref_get(const char* name, int create) {
    if (!name || !inited) return -1;
    std::lock_guard<std::mutex> g(global_mutex);
    for (int i = 0; i < nslots; ++i)
        if (state[i] == 1 && kestrix_strcmpi(dbrefs[i].dbname.c_str(), name) == 0) return i;
    if (!create) return -1;
    char path[KESTRIX_PATH_MAX];
    get_path_to_database(path, name);
    if (!file_exists(path)) return -1;
    int slot = -1;
    for (int i = 0; i < nslots && slot < 0; ++i)
        if (state[i] == 0) slot = i;
    if (slot < 0) return -1;
    dbref& r = dbrefs[slot];
    state[slot] = 1;
    r.dbname = name;
    r.lockowner = 0;
    r.nclients = r.readers = r.writers = r.nread = r.nwrite = 0;
    r.locktbl_id = 0;
    r.iswal = probe_wal(name);
    if (getrestore_for_database(name)) r.restore_db = open_restore_journal(name);
    return slot;
}

void dbref_free_entry(int slot) {
    if (!valid(slot)) return;
    std::lock_guard<std::mutex> g(global_mutex);
    dbref& r = dbrefs[slot];
    r.dbname.clear();
    close_restore(r);
    r.iswal = 0;
    r.lockowner = 0;
    r.nclients = r.readers = r.writers = r.nread = r.nwrite = 0;
    r.locktbl_id = 0;
    delete_tickets("DELETE FROM wqueue WHERE dbref=?1;", slot);
    state[slot] = 0;
}

void dbref_reset_entry(int slot) {
    if (!valid(slot)) return;
    std::lock_guard<std::mutex> g(global_mutex);
    dbref& r = dbrefs[slot];
    r.dbname.clear();
    close_restore(r);
    r.lockowner = 0;
    r.nclients = r.readers = r.writers = r.nread = r.nwrite = 0;
    r.iswal = 1;
    state[slot] = 0;
}

const char* dbref_dbname(int slot) {
    if (slot == -1) return "N/A";
    if (!valid(slot)) {
        log_system("*** invalid index inside dbref_dbname ***");
        return "N/A";
    }
    return dbrefs[slot].dbname.c_str();
}

sqlite3* dbref_restore(int slot) {
    return valid(slot) ? dbrefs[slot].restore_db : nullptr;
}

void dbref_setrestore(int slot, sqlite3* db) {
    if (valid(slot)) dbrefs[slot].restore_db = db;
}

int dbref_value(int slot, int field, int op) {
    if (!valid(slot)) return 0;
    dbref& r = dbrefs[slot];
    std::lock_guard<std::mutex> g(r.value_mutex);
    int* counter = nullptr;
    switch (field) {
        case DBREF_NCLIENTS:
            counter = &r.nclients;
            break;
        case DBREF_READERS:
            counter = &r.readers;
            break;
        case DBREF_WRITERS:
            counter = &r.writers;
            break;
        case DBREF_NREAD:
            counter = &r.nread;
            break;
        case DBREF_NWRITE:
            counter = &r.nwrite;
            break;
        case DBREF_LOCKOWNER:
            return static_cast<int>(r.lockowner);
        case DBREF_RESTORE:
            if (op == DBREF_CLEAR) r.restore_db = nullptr;
            return -1;
        case DBREF_ISWAL:
            if (op == DBREF_SET_WAL) r.iswal = 1;
            return r.iswal;
        default:
            return -1;
    }
    if (op == DBREF_INC) return ++*counter;
    if (op == DBREF_DEC) return --*counter;
    return *counter;
}

char* dbref_lockowner(int slot, char* buffer, size_t length) {
    snprintf(buffer, length, "N/A");
    int owner = dbref_value(slot, DBREF_LOCKOWNER, DBREF_READ);
    if (!valid(slot) || owner == 0) return buffer;
    Stmt st(settings.inmemorydb, "SELECT username FROM Clients WHERE id=?1;");
    st.bind(1, owner);
    if (st.step() == SQLITE_ROW) {
        std::string name = st.text_at(0);
        if (name.size() < length) snprintf(buffer, length, "%s", name.c_str());
    }
    return buffer;
}

int64_t dbref_newticket(int slot, uint32_t owner) {
    std::lock_guard<std::mutex> g(ticket_mutex);
    Stmt st(memdb,
            "INSERT INTO wqueue (dbref, lock_date, owner) VALUES (?1, datetime('now','localtime'), "
            "?2);");
    st.bind(1, slot).bind(2, static_cast<int64_t>(owner)).run();
    return sqlite3_last_insert_rowid(memdb);
}

int64_t dbref_ticket_toserve(int slot) {
    std::lock_guard<std::mutex> g(ticket_mutex);
    Stmt st(memdb, "SELECT MIN(ticket) FROM wqueue WHERE dbref=?1;");
    st.bind(1, slot);
    return st.step() == SQLITE_ROW ? st.int64_at(0) : 0;
}

int dbref_startwrite(dbref_session* s) {
    if (!valid(s->dbref)) return 0;
    dbref& r = dbrefs[s->dbref];
    std::unique_lock<std::mutex> lock(r.write_mutex);
    s->lock_wait_time = 0;
    if (!settings.running) return give_up(r, s, 0);
    if (r.lockowner == s->id) {
        r.write_cond.notify_all();
        s->is_waiting = 0;
        return 1;
    }
    int64_t ticket = dbref_newticket(s->dbref, s->id);
    int64_t budget_ms =
        (s->timeout ? static_cast<int64_t>(s->timeout) : settings.max_timeout.load()) * 1000;
    if (budget_ms <= 0) return give_up(r, s, ticket);
    for (;;) {
        if (!settings.running) return give_up(r, s, ticket);
        if (dbref_ticket_toserve(s->dbref) == ticket) {
            if (ticket) s->ticket = ticket;
            {
                std::lock_guard<std::mutex> v(r.value_mutex);
                ++r.writers;
                r.lockowner = s->id;
            }
            r.write_cond.notify_all();
            s->is_waiting = 0;
            return 1;
        }
        s->is_waiting = 1;
        auto start = std::chrono::steady_clock::now();
        std::cv_status st = r.write_cond.wait_for(lock, std::chrono::milliseconds(budget_ms));
        double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        s->lock_wait_time = waited;
        if (s->is_disconnecting || st == std::cv_status::timeout) return give_up(r, s, ticket);
        budget_ms -= static_cast<int64_t>(waited * 1000);
        if (budget_ms <= 0) return give_up(r, s, ticket);
    }
}

namespace {

void end_write(dbref_session* s, bool all_tickets) {
    if (!valid(s->dbref)) return;
    dbref& r = dbrefs[s->dbref];
    std::lock_guard<std::mutex> lock(r.write_mutex);
    if (s->ticket > 0) {
        std::lock_guard<std::mutex> v(r.value_mutex);
        --r.writers;
    }
    if (all_tickets)
        delete_tickets("DELETE FROM wqueue WHERE owner=?1;", s->id);
    else
        delete_tickets("DELETE FROM wqueue WHERE ticket=?1;", s->ticket);
    s->ticket = 0;
    {
        std::lock_guard<std::mutex> v(r.value_mutex);
        if (r.lockowner == s->id) r.lockowner = 0;
    }
    r.write_cond.notify_all();
}

}  // namespace

void dbref_endwrite(dbref_session* s) {
    end_write(s, false);
}

void dbref_disconnect(dbref_session* s) {
    if (s->dbref == -1) return;
    end_write(s, true);
}

void dbref_forceunlock_ticket(int slot, int64_t ticket) {
    if (!valid(slot)) return;
    {
        std::lock_guard<std::mutex> g(global_mutex);
        if (state[slot] == 0) return;
    }
    dbref& r = dbrefs[slot];
    std::lock_guard<std::mutex> lock(r.write_mutex);
    delete_tickets("DELETE FROM wqueue WHERE ticket=?1;", ticket);
    {
        std::lock_guard<std::mutex> v(r.value_mutex);
        r.lockowner = 0;
    }
    r.write_cond.notify_all();
}

void dbref_forceunlock(int slot) {
    dbref_forceunlock_ticket(slot, dbref_ticket_toserve(slot));
}

void dbref_wakeup(int slot) {
    if (valid(slot)) dbrefs[slot].write_cond.notify_all();
}

void dbref_locktbl_insert(int slot, const char* table) {
    if (!valid(slot) || !table) return;
    int64_t id = 0;
    {
        std::lock_guard<std::mutex> g(global_mutex);
        Stmt st(memdb, "INSERT INTO locked_tables (dbref, tablename) VALUES (?1, ?2);");
        st.bind(1, slot).bind(2, table);
        if (st.run() == SQLITE_DONE) id = sqlite3_last_insert_rowid(memdb);
    }
    if (id != 0) {
        std::lock_guard<std::mutex> v(dbrefs[slot].value_mutex);
        dbrefs[slot].locktbl_id = id;
    }
}

int64_t dbref_locktbl_get(int slot) {
    if (!valid(slot)) return 0;
    std::lock_guard<std::mutex> v(dbrefs[slot].value_mutex);
    return dbrefs[slot].locktbl_id;
}

void dbref_stat_write(sqlite3_stmt* stmt) {
    if (!inited) return;
    std::lock_guard<std::mutex> g(global_mutex);
    for (int i = 0; i < nslots; ++i) {
        if (state[i] == 0) continue;
        dbref& r = dbrefs[i];
        std::lock_guard<std::mutex> v(r.value_mutex);
        sqlite3_bind_text(stmt, 1, r.dbname.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, r.nclients);
        sqlite3_bind_int(stmt, 3, r.nwrite);
        sqlite3_bind_int(stmt, 4, r.nread);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
}

void dbref_debug_list(sqlite3* db) {
    kestrix_exec(db, "DROP TABLE IF EXISTS dbref_debug;");
    kestrix_exec(
        db,
        "CREATE TABLE dbref_debug (dbref INTEGER, dbname TEXT, lockowner INTEGER, iswal INTEGER, "
        "nclients INTEGER, readers INTEGER, writers INTEGER );");
    std::lock_guard<std::mutex> g(global_mutex);
    Stmt ins(db, "INSERT INTO dbref_debug VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7);");
    for (int i = 0; i < nslots; ++i) {
        if (state[i] != 1) continue;
        dbref& r = dbrefs[i];
        std::lock_guard<std::mutex> v(r.value_mutex);
        ins.bind(1, i)
            .bind(2, r.dbname)
            .bind(3, static_cast<int64_t>(r.lockowner))
            .bind(4, r.iswal);
        ins.bind(5, r.nclients).bind(6, r.readers).bind(7, r.writers);
        ins.run();
        ins.reset();
    }
}

sqlite3* dbref_memdb() {
    return memdb;
}
int dbref_limit() {
    return nslots;
}
