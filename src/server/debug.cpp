// debug.cpp - the debug stream.
//
// Writers take a ticket under `debug_mutex` and wait on `debug_cond` until the
// ticket being served is theirs, so lines come out in the order the writers
// took the lock, each line whole. FILE mode opens
// the shared debug file on first use and falls back to standard error when it
// cannot be opened.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "server/log.h"
#include "server/paths.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

FILE* debug_file = nullptr;   // REQUIRES: debug_mutex held
uint64_t next_ticket = 0;     // REQUIRES: debug_mutex held
uint64_t serving_ticket = 0;  // REQUIRES: debug_mutex held

// REQUIRES: debug_mutex held.
void debug_open_file() {
    if (debug_file) return;
    char path[4096];
    get_fixed_path(path, PATH_DEBUG_FILE);
    debug_file = fopen(path, "ab+");
    if (!debug_file) {
        fprintf(stderr, "Unable to open debug file. %s\n", strerror(errno));
        return;
    }
    setvbuf(debug_file, nullptr, _IONBF, 0);
}

// REQUIRES: debug_mutex held.
void write_line(FILE* out, const char* message) {
    std::string line = kestrix_local_time("%Y-%m-%d %H:%M:%S") + "\t" + message + "\n";
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
}

}  // namespace

bool debugging() {
    return settings.debug_mode != DEBUG_NONE;
}

void debug_write(const char* format, ...) {
    char message[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);

    std::unique_lock<std::mutex> lock(settings.debug_mutex);
    uint64_t ticket = next_ticket++;
    settings.debug_cond.wait(lock, [&] { return serving_ticket == ticket; });
    int mode = settings.debug_mode;
    if (mode == DEBUG_FILE) debug_open_file();
    if (mode == DEBUG_SYSTEM) {
        syslog(LOG_ERR, "%s", message);
    } else if (mode == DEBUG_FILE && debug_file) {
        write_line(debug_file, message);
    } else {
        write_line(stderr, message);
    }
    ++serving_ticket;
    settings.debug_cond.notify_all();
}

void debug_close_file() {
    std::lock_guard<std::mutex> g(settings.debug_mutex);
    if (debug_file) {
        fclose(debug_file);
        debug_file = nullptr;
    }
}

void debug_logfile(const char* format, ...) {
    char message[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(settings.debug_mutex);
    debug_open_file();
    write_line(debug_file ? debug_file : stderr, message);
}

void debug_always(const char* format, ...) {
    char message[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(settings.debug_mutex);
    write_line(stderr, message);
}

void debug_close() {
    debug_close_file();
}
