// stats.cpp - statistics sampling into "%s.stats" in the data folder.
#include "server/stats.h"

#include <sys/time.h>

#include <mutex>

#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/settings.h"

namespace {

sqlite3_stmt* server_sample = nullptr;    // kept for the whole run
sqlite3_stmt* database_sample = nullptr;  // kept for the whole run
std::mutex sample_mutex;                  // one sample at a time on the two statements

}  // namespace

void stats_open() {
    char path[KESTRIX_PATH_MAX];
    get_fixed_path(path, PATH_STATS);
    sqlite3* db = nullptr;
    if (kestrix_open_key(path, &db, nullptr) != SQLITE_OK) {
        if (db) sqlite3_close_v2(db);
        log_system("Unable to open/create statistics database (probably wrong permission).");
        return;
    }
    if (kestrix_exec(db,
                     "CREATE TABLE IF NOT EXISTS database_stats (id INTEGER PRIMARY KEY "
                     "AUTOINCREMENT, datetime timestamp DEFAULT CURRENT_TIMESTAMP, databasename "
                     "TEXT, nconnections INTEGER, nwrite INTEGER, nread INTEGER);") != 0 ||
        kestrix_exec(db,
                     "CREATE TABLE IF NOT EXISTS server_stats (id INTEGER PRIMARY KEY "
                     "AUTOINCREMENT, datetime timestamp DEFAULT CURRENT_TIMESTAMP, nconnections "
                     "INTEGER, bytes_sent INTEGER, bytes_received INTEGER, query_count INTEGER, "
                     "exec_count INTEGER, commands_count INTEGER, memory_usage INTEGER);") != 0) {
        log_system("Unable to create database_stats table.");
        sqlite3_close_v2(db);
        return;
    }
    settings.stats_db = db;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO server_stats (datetime, nconnections, bytes_sent, "
                           "bytes_received, query_count, exec_count, commands_count, memory_usage) "
                           "VALUES (datetime('now','localtime'), ?1, ?2, ?3, ?4, ?5, ?6, ?7);",
                           -1, &server_sample, nullptr) != SQLITE_OK) {
        sqlite3_finalize(server_sample);
        server_sample = nullptr;
    }
    if (sqlite3_prepare_v2(
            db,
            "INSERT INTO database_stats (datetime, databasename, nconnections, nwrite, "
            "nread) VALUES (datetime('now','localtime'), ?1, ?2, ?3, ?4);",
            -1, &database_sample, nullptr) != SQLITE_OK) {
        sqlite3_finalize(database_sample);
        database_sample = nullptr;
    }
}

void stats_close() {
    std::lock_guard<std::mutex> g(sample_mutex);
    if (!settings.stats_db) return;
    sqlite3_finalize(server_sample);
    sqlite3_finalize(database_sample);
    server_sample = database_sample = nullptr;
    sqlite3_close_v2(settings.stats_db);
    settings.stats_db = nullptr;
}

void stats_update() {
    std::lock_guard<std::mutex> g(sample_mutex);
    if (server_sample) {
        sqlite3_bind_int(server_sample, 1, settings.current_connections);
        sqlite3_bind_int64(server_sample, 2,
                           static_cast<sqlite3_int64>(settings.bytes_sent.load()));
        sqlite3_bind_int64(server_sample, 3,
                           static_cast<sqlite3_int64>(settings.bytes_received.load()));
        sqlite3_bind_int(server_sample, 4, settings.query_count);
        sqlite3_bind_int(server_sample, 5, settings.exec_count);
        sqlite3_bind_int(server_sample, 6, settings.commands_count);
        sqlite3_bind_int(server_sample, 7, static_cast<int>(sqlite3_memory_used()));
        sqlite3_step(server_sample);
        sqlite3_reset(server_sample);
    }
    if (database_sample) dbref_stat_write(database_sample);
}

void tstart(Timer* t) {
    gettimeofday(&t->start, nullptr);
}
void tend(Timer* t) {
    gettimeofday(&t->end, nullptr);
}
double tval(const Timer* t) {
    return static_cast<double>(t->end.tv_sec - t->start.tv_sec) +
           static_cast<double>(t->end.tv_usec - t->start.tv_usec) / 1e6;
}
