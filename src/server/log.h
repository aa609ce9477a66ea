// log.h - the administrator's log and the developer's debug output.
//
// The log records system events and client requests in one of three formats:
// an SQLite database with a LOG table, a tab-separated text file with exactly
// seven TABs a line, or the console (system log and standard error). The debug
// stream is separate, off by default, and goes to a file, standard error or
// the system log; its writers are served strictly in the order they arrive.
// log_lowlevel_system reaches the system log even before the log is open.
#pragma once

#include <cstdarg>
#include <string>

struct client;

// What a client event records about the session it belongs to.
struct ClientLogInfo {
    std::string username;
    std::string database;  // "N/A" when no database is selected
    std::string address;
    int version = 0;  // client protocol version
    int connection_id = 0;
};

void log_open();
void log_close();
void log_switch(int format);
void log_system(const char* text);
void log_client_event(const ClientLogInfo& who, const char* description, const char* operation,
                      int level, double seconds);
void log_sql(const char* sql, const char* text);
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_lowlevel_system(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A fatal message goes to the system log and to the log output.
void log_fatal_message(const char* message);

// Replaces TABs and line feeds by blanks, as text lines need.
std::string log_flatten(const char* text);

// The last `nrows` lines of the text log as rows (datetime, description,
// operation, address, username, database), newest first when order is 1.
// Returns a private in-memory database holding table LOG, or nullptr with
// `error` set; the caller turns it into a cursor and closes it.
struct sqlite3;
sqlite3* log_read_nrows_db(int nrows, int order, const char** sql_out, std::string* error);

void debug_write(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_close_file();  // what debug_write(NULL) does in FILE mode
void debug_logfile(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_always(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_close();

// True while the debug output is on; callers test it before formatting.
bool debugging();
void log_write(client* c);  // end-of-request logging (log_request.cpp)
