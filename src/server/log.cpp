// log.cpp - the log in its three formats.
//
// SQLITE: `log_db` holds table LOG; every event is one INSERT with the
// description bound as a parameter (descriptions are client texts). TEXT:
// `log_file` is an unbuffered append stream; a whole line is formatted first
// and written with one call under `text_mutex`, so concurrent lines never
// interleave. CONSOLE: lines go to the system log and standard error.
// An open failure of either file leaves the server in CONSOLE format.
#include "server/log.h"

#include <sqlite3.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/dbhelpers.h"
#include "server/paths.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

std::mutex text_mutex;  // one text-log line at a time

const char* LOG_CREATE =
    "CREATE TABLE IF NOT EXISTS LOG (datetime timestamp DEFAULT CURRENT_TIMESTAMP, description "
    "text, operation text, username text, database text, address text, version integer, "
    "connectionID integer, seconds real default '0');";

void log_open_sqlite3() {
    char path[4096];
    get_fixed_path(path, PATH_LOG_FILE);
    sqlite3* db = nullptr;
    if (kestrix_open_key(path, &db, nullptr) == SQLITE_OK && kestrix_exec(db, LOG_CREATE) == 0) {
        settings.log_db = db;
        return;
    }
    if (db) sqlite3_close_v2(db);
    settings.log_db = nullptr;
    settings.log_format = LOG_FORMAT_CONSOLE;
    log_printf("An error occured while trying to create the sqlite 3 log file.\n");
}

void log_open_text() {
    char path[4096];
    get_fixed_path(path, PATH_LOG_FILE);
    FILE* f = fopen(path, "a+");
    if (!f) {
        settings.log_format = LOG_FORMAT_CONSOLE;
        log_printf("An error occured while trying to create the txt log file.\n");
        return;
    }
    setvbuf(f, nullptr, _IONBF, 0);
    {
        std::lock_guard<std::mutex> g(text_mutex);
        settings.log_file = f;
    }
}

// Writes "time TAB text" to the text log, or the text to syslog and stderr.
void log_vprintf(const char* format, va_list ap) {
    char line[2048];
    vsnprintf(line, sizeof(line), format, ap);
    std::lock_guard<std::mutex> g(text_mutex);
    if (settings.log_file) {
        std::string out = kestrix_local_time("%Y-%m-%d %H:%M:%S") + "\t" + line;
        fwrite(out.data(), 1, out.size(), settings.log_file);
        return;
    }
    syslog(LOG_ERR, "%s", line);
    fputs(line, stderr);
}

}  // namespace

std::string log_flatten(const char* text) {
    std::string s = text ? text : "";
    for (char& c : s)
        if (c == '\t' || c == '\n') c = ' ';
    return s;
}

void log_open() {
    if (settings.log_format == LOG_FORMAT_SQLITE)
        log_open_sqlite3();
    else if (settings.log_format == LOG_FORMAT_TEXT)
        log_open_text();
}

void log_close() {
    if (settings.log_db) {
        sqlite3_close_v2(settings.log_db);
        settings.log_db = nullptr;
    }
    std::lock_guard<std::mutex> g(text_mutex);
    if (settings.log_file) {
        fclose(settings.log_file);
        settings.log_file = nullptr;
    }
}

void log_switch(int format) {
    if (format == settings.log_format) return;
    log_close();
    settings.log_format = format;
    log_open();
}

void log_sql(const char* sql, const char* text) {
    sqlite3* db = settings.log_db;
    if (!db) return;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        if (debugging()) debug_write("log_sql error: %s", sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        return;
    }
    sqlite3_bind_text(stmt, 1, text, -1, SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
}

void log_system(const char* text) {
    if (!text) return;
    if (settings.log_format == LOG_FORMAT_SQLITE && settings.log_db) {
        log_sql(
            "INSERT INTO LOG (DATETIME, DESCRIPTION, OPERATION) VALUES (datetime('now', "
            "'localtime'), ?1, 'SYSTEM')",
            text);
    } else {
        log_printf("%s\tSYSTEM\t*\t*\t*\t*\t*\n", log_flatten(text).c_str());
    }
    if (debugging()) debug_write("SYSTEM: %s", text);
}

void log_client_event(const ClientLogInfo& who, const char* description, const char* operation,
                      int /*level*/, double seconds) {
    const char* database = who.database.empty() ? "N/A" : who.database.c_str();
    if (settings.log_format == LOG_FORMAT_SQLITE && settings.log_db) {
        // Every text but the description is bound too: user names, database
        // names and addresses come from clients.
        sqlite3_stmt* stmt = nullptr;
        const char* sql =
            "INSERT INTO LOG (DATETIME, DESCRIPTION, OPERATION, USERNAME, DATABASE, ADDRESS, "
            "VERSION, CONNECTIONID, SECONDS) VALUES (datetime('now', 'localtime'), ?1, ?2, ?3, ?4, "
            "?5, ?6, ?7, round(?8, 4))";
        if (sqlite3_prepare_v2(settings.log_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            if (debugging()) debug_write("log_sql error: %s", sqlite3_errmsg(settings.log_db));
            sqlite3_finalize(stmt);
            return;
        }
        sqlite3_bind_text(stmt, 1, description, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, operation, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, who.username.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 4, database, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 5, who.address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 6, who.version);
        sqlite3_bind_int(stmt, 7, who.connection_id);
        sqlite3_bind_double(stmt, 8, seconds);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        return;
    }
    log_printf("%s\t%s\t%s\t%s\t%s\t%d\t%.4f\n", log_flatten(description).c_str(), operation,
               log_flatten(who.username.c_str()).c_str(), log_flatten(database).c_str(),
               who.address.c_str(), who.connection_id, seconds);
}

void log_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    log_vprintf(format, ap);
    va_end(ap);
}

void log_lowlevel_system(const char* format, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
    syslog(LOG_ERR, "%s", line);
}

void log_fatal_message(const char* message) {
    log_lowlevel_system("%s", message);
    log_printf("%s\n", message);
}

sqlite3* log_read_nrows_db(int nrows, int order, const char** sql_out, std::string* error) {
    static const char* SQL_DESC =
        "SELECT datetime, description, operation, address, username, database FROM LOG WHERE "
        "rowid > (SELECT MAX(rowid)-?1 FROM LOG) ORDER BY rowid DESC";
    static const char* SQL_ASC =
        "SELECT datetime, description, operation, address, username, database FROM LOG WHERE "
        "rowid > (SELECT MAX(rowid)-?1 FROM LOG) ORDER BY rowid ASC";
    if (nrows < 0) nrows = 0;
    std::lock_guard<std::mutex> g(text_mutex);
    FILE* f = settings.log_file;
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
        sqlite3_close(db);
        *error = "Error while creating in memory database.";
        return nullptr;
    }
    if (kestrix_exec(db,
                     "CREATE TABLE LOG (datetime timestamp, description text, operation text, "
                     "username text, database text, address text, version integer DEFAULT 3, "
                     "connectionID integer, seconds real);") != 0) {
        sqlite3_close(db);
        *error = "Error while creating in memory table.";
        return nullptr;
    }
    sqlite3_stmt* ins = nullptr;
    if (sqlite3_prepare_v2(
            db,
            "INSERT INTO LOG (DATETIME, DESCRIPTION, OPERATION, USERNAME, DATABASE, "
            "ADDRESS, CONNECTIONID, SECONDS) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8);",
            -1, &ins, nullptr) != SQLITE_OK) {
        sqlite3_finalize(ins);
        sqlite3_close(db);
        *error = "Error while compiling the sql statement.";
        return nullptr;
    }
    if (f) {
        fflush(f);
        fseeko(f, 0, SEEK_END);
        off_t end = ftello(f);
        off_t window = static_cast<off_t>(nrows + 1) * 2048;
        if (end <= window) {
            fseeko(f, 0, SEEK_SET);
        } else {
            fseeko(f, end - window, SEEK_SET);
            int c = fgetc(f);
            if (c != '\n') {
                while (c != EOF && c != '\n') c = fgetc(f);
            }
        }
        char line[2048];
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        while (fgets(line, sizeof(line), f)) {
            size_t len = strlen(line);
            if (len == 0 || line[len - 1] != '\n') {
                // Too long or unterminated: skip the rest of this line.
                if (len == sizeof(line) - 1) {
                    int c;
                    while ((c = fgetc(f)) != EOF && c != '\n') {
                    }
                }
                continue;
            }
            line[len - 1] = 0;
            std::vector<char*> fields;
            char* p = line;
            fields.push_back(p);
            while ((p = strchr(p, '\t')) != nullptr) {
                *p++ = 0;
                fields.push_back(p);
            }
            if (fields.size() != 8) continue;
            for (int i = 0; i < 8; ++i)
                sqlite3_bind_text(ins, i + 1, fields[i], -1, SQLITE_TRANSIENT);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        fseeko(f, 0, SEEK_END);
    }
    sqlite3_finalize(ins);
    *sql_out = order == 1 ? SQL_DESC : SQL_ASC;
    return db;
}
