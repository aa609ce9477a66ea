// util.h - small server-wide helpers: case-insensitive string compares, copies
// from the SQLite allocator, booleans in preference form, trimming, the
// process-wide unique id counter, time helpers and host information.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

int kestrix_strcmpi(const char* a, const char* b);
int kestrix_strncmpi(const char* a, const char* b, size_t n);
int kestrix_strncasecmp(const char* a, const char* b, size_t n);
const char* kestrix_strcasestr(const char* haystack, const char* needle);
char* kestrix_strdup(const char* s);             // SQLite allocator; sqlite3_free it
char* kestrix_strndup(const char* s, size_t n);  // SQLite allocator; sqlite3_free it
bool kestrix_strbool(const char* s);             // "1..." or "ON..." in any case
bool kestrix_strengine(const char* name);        // names an external engine (holds ':')
char* kestrix_strtrim(char* s);                  // in place; returns s
char* kestrix_strlowercase(char* s);
char* kestrix_struppercase(char* s);

// Parses like strtoll with base 0; text that is not a number reads as 0.
int64_t kestrix_parse_int64(const char* s);

uint32_t unique_id();
int32_t get_current_inttime();
int pthread_cond_timedwait_ms(pthread_cond_t* cond, pthread_mutex_t* mutex, int ms);

int32_t num_processors();
const char* process_mode();
char* getos_version_string(char* buffer, size_t length);
int get_my_ip_address();
void copy_ip_address(const char* text, char* dest, size_t length);
int is_valid_ip(const char* text);

// strftime of the local time now with the given format.
std::string kestrix_local_time(const char* format);
