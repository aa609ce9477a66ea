// util.cpp - string, time and host helpers shared by every module.
#include "server/util.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/log.h"
#include "server/settings.h"

int kestrix_strcmpi(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int ca = toupper(static_cast<unsigned char>(*a));
        int cb = toupper(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0) return ca - cb;
    }
}

int kestrix_strncmpi(const char* a, const char* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        int ca = toupper(static_cast<unsigned char>(*a));
        int cb = toupper(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

int kestrix_strncasecmp(const char* a, const char* b, size_t n) {
    return strncasecmp(a, b, n);
}

const char* kestrix_strcasestr(const char* haystack, const char* needle) {
    if (!haystack || !needle) return nullptr;
    return strcasestr(haystack, needle);
}

char* kestrix_strndup(const char* s, size_t n) {
    if (!s) return nullptr;
    size_t len = strnlen(s, n);
    char* copy = static_cast<char*>(sqlite3_malloc64(len + 1));
    if (!copy) return nullptr;
    memcpy(copy, s, len);
    copy[len] = 0;
    return copy;
}

char* kestrix_strdup(const char* s) {
    return s ? kestrix_strndup(s, strlen(s)) : nullptr;
}

bool kestrix_strbool(const char* s) {
    if (!s) return false;
    if (s[0] == '1') return true;
    return toupper(static_cast<unsigned char>(s[0])) == 'O' &&
           toupper(static_cast<unsigned char>(s[1])) == 'N';
}

bool kestrix_strengine(const char* name) {
    return name && strchr(name, ':') != nullptr;
}

char* kestrix_strtrim(char* s) {
    if (!s) return s;
    char* start = s;
    while (*start && isspace(static_cast<unsigned char>(*start))) ++start;
    size_t len = strlen(start);
    while (len > 0 && isspace(static_cast<unsigned char>(start[len - 1]))) --len;
    memmove(s, start, len);
    s[len] = 0;
    return s;
}

char* kestrix_strlowercase(char* s) {
    for (char* p = s; p && *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

char* kestrix_struppercase(char* s) {
    for (char* p = s; p && *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return s;
}

int64_t kestrix_parse_int64(const char* s) {
    if (!s) return 0;
    return strtoll(s, nullptr, 0);
}

uint32_t unique_id() {
    static uint32_t counter = 0;
    std::lock_guard<std::mutex> g(settings.exit_mutex);
    return ++counter;  // 0 never names a transaction or a blob
}

int32_t get_current_inttime() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t.tm_year * 525600 + t.tm_yday * 1440 + t.tm_hour * 60 + t.tm_min;
}

int pthread_cond_timedwait_ms(pthread_cond_t* cond, pthread_mutex_t* mutex, int ms) {
    if (ms < 1) ms = 1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    int64_t nsec =
        static_cast<int64_t>(now.tv_usec) * 1000 + static_cast<int64_t>(ms % 1000) * 1000000;
    struct timespec until;
    until.tv_sec = now.tv_sec + ms / 1000 + static_cast<time_t>(nsec / 1000000000);
    until.tv_nsec = static_cast<long>(nsec % 1000000000);
    return pthread_cond_timedwait(cond, mutex, &until);
}

int32_t num_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

const char* process_mode() {
    return "64bit";
}

char* getos_version_string(char* buffer, size_t length) {
    struct utsname u;
    if (uname(&u) != 0) {
        snprintf(buffer, length, "Generic Unix System");
    } else {
        snprintf(buffer, length, "%s on %s (Kernel version %s)", u.sysname, u.machine, u.release);
    }
    return buffer;
}

int get_my_ip_address() {
    static int failures = 0;
    char* ip = settings.ip_address;
    if (ip[0] && strcmp(ip, "::") != 0 && strcmp(ip, "127.0.0.1") != 0) return 1;
    if (failures >= 10) {
        if (ip[0]) return 1;
        snprintf(ip, sizeof(settings.ip_address), "N/A");
        return 0;
    }
    char host[256];
    if (gethostname(host, sizeof(host)) != 0) {
        char msg[512];
        snprintf(msg, sizeof(msg),
                 "gethostname fails, your DNS (or reverse DNS) is probably wrong (%s)",
                 strerror(errno));
        log_system(msg);
        ++failures;
        return 0;
    }
    host[sizeof(host) - 1] = 0;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        if (failures > 0) {
            char msg[512];
            snprintf(msg, sizeof(msg), "gethostbyname fails (%s)", gai_strerror(rc));
            log_system(msg);
            ++failures;
        }
        if (res) freeaddrinfo(res);
        return 0;
    }
    auto* sin = reinterpret_cast<struct sockaddr_in*>(res->ai_addr);
    inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof(settings.ip_address));
    freeaddrinfo(res);
    return 1;
}

void copy_ip_address(const char* text, char* dest, size_t length) {
    if (!dest || length == 0) return;
    if (!text) {
        dest[0] = 0;
        return;
    }
    if (text[0] == ':' && text[1] == ':' && text[2] == '1') {
        text = "127.0.0.1";
    } else if (strncmp(text, "::ffff:", 7) == 0 && strlen(text) > 6) {
        text += 7;
    }
    snprintf(dest, length, "%s", text);
}

int is_valid_ip(const char* text) {
    if (!text) return 0;
    struct addrinfo hints {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    struct addrinfo* res = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &res) != 0) return 0;
    freeaddrinfo(res);
    return 1;
}

std::string kestrix_local_time(const char* format) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char buf[128];
    strftime(buf, sizeof(buf), format, &t);
    return buf;
}
