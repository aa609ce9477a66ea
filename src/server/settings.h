// settings.h - the server-wide configuration and counter record.
//
// `settings` is one global record that every module reads. Configuration
// fields are written during start-up (single-threaded) and later only by
// preference changes; counters are bumped by worker threads. Every word that
// another thread may read while it changes is an atomic, so readers always see
// either the old or the new value. Text settings that can be replaced at run
// time (folders, the secret token) are SharedText values: readers take a copy,
// so a replaced text is never freed under a reader.
#pragma once

#include <pthread.h>
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct tls;
struct tls_config;

#define KESTRIX_VERSION "5.9.6"

// A text that may be replaced while other threads read it; readers copy.
class SharedText {
public:
    std::optional<std::string> value() const {
        std::lock_guard<std::mutex> g(m_);
        return v_;
    }
    std::string get() const {  // "" when unset
        std::lock_guard<std::mutex> g(m_);
        return v_ ? *v_ : std::string();
    }
    bool is_set() const {
        std::lock_guard<std::mutex> g(m_);
        return v_.has_value();
    }
    void set(std::string_view s) {
        std::lock_guard<std::mutex> g(m_);
        v_ = std::string(s);
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        v_.reset();
    }

private:
    mutable std::mutex m_;
    std::optional<std::string> v_;
};

using aint = std::atomic<int32_t>;

// Log formats, verbosities and debug modes.
enum : int32_t { LOG_FORMAT_SQLITE = 3, LOG_FORMAT_TEXT = 4, LOG_FORMAT_CONSOLE = 5 };
enum : int32_t {
    LOG_VERBOSITY_NONE = 0,
    LOG_VERBOSITY_SQL_ERRORS = 10,
    LOG_VERBOSITY_SQL_COMMANDS = 20
};
enum : int32_t { DEBUG_NONE = 0, DEBUG_FILE = 4, DEBUG_CONSOLE = 5, DEBUG_SYSTEM = 6 };

// Defaults the preference reader compares against to let command-line values win.
constexpr int32_t DEFAULT_NUM_THREADS = 20;
constexpr int32_t DEFAULT_BACKLOG = 1024;
constexpr int32_t DEFAULT_PORT = 4430;

struct Settings {
    aint running{1};                               // 1 while serving; only ever lowered
    aint num_threads{DEFAULT_NUM_THREADS};         // workers requested (-t, NUM_THREADS)
    aint backlog{DEFAULT_BACKLOG};                 // listen backlog (-l, BACKLOG)
    aint port{DEFAULT_PORT};                       // TCP port (-p, SERVER_PORT)
    aint listen_socket{0};                         // listening descriptor, 0 when none
    SharedText listen_address;                     // numeric bind address (-i, LISTENING_ADDRESS)
    aint log_format{LOG_FORMAT_SQLITE};            // 3 SQLITE, 4 TEXT, 5 CONSOLE
    aint log_verbosity{LOG_VERBOSITY_SQL_ERRORS};  // 0, 10, 20
    aint max_commandlen{4096000};                  // largest request body
    aint max_databases{2000};                      // shared database reference slots (-o)
    aint max_memalloc{12582912};                   // largest cursor memory
    aint chunk_size{307200};                       // row-data chunk size of cursors
    aint debug_mode{DEBUG_NONE};                   // 0 NONE, 4 FILE, 5 CONSOLE, 6 SYSTEM
    aint debug_scheduler{0};                       // scheduler tracing
    aint privilege_generation{1};                  // bumped after each user/group/grant change
    aint lock_db_time{800};                        // busy time-out of every connection, ms
    aint update_period_stats{600};                 // seconds between statistics samples
    aint scheduler_exited{0};                      // exit flags awaited by the shutdown
    aint connection_thread_exited{0};
    aint accept_loop_exited{0};
    aint workers_exited{0};
    aint load_disabled_logins{1};  // 0 after -z
    aint automatic_rowid{1};
    aint shared_cache{0};
    aint custom_db_paths{0};        // a per-database path was assigned
    aint force_optional_verify{0};  // -P
    aint min_buffer_size{16384};
    aint max_connections{0};  // 0 = unlimited
    aint epoll_fd{-1};        // the event queue

    std::mutex availability_mutex;       // guards NotAvailableDB
    std::mutex exit_mutex;               // guards the shutdown flag and unique_id
    std::mutex debug_mutex;              // serialises debug output
    std::condition_variable debug_cond;  // turn-taking of debug_write
    std::mutex workers_mutex;            // worker threads and session teardown

    time_t start_time{0};
    char version_banner[256]{};
    char startup_datetime[256]{};
    char exe_name[256]{};      // last component of argv[0]
    char ip_address[256]{};    // this host's IPv4 address text
    char server_path[4096]{};  // directory of the executable (and cwd)

    SharedText log_file_path;       // -e
    SharedText config_file_path;    // -c
    SharedText settings_file_path;  // -s
    SharedText data_path;           // -x
    SharedText databases_path;      // -d, DATABASES_PATH, default
    SharedText restore_path;        // -r, RESTORE_PATH, default
    SharedText backup_path;         // -b, BACKUP_PATH, default
    SharedText manual_backup_path;  // -n, MANUAL_BACKUP_PATH
    SharedText http_path;           // HTTP_PATH, default www
    SharedText upload_path;         // -u, UPLOAD_PATH, default
    SharedText ssl_libpath;         // kept only
    SharedText crypto_libpath;      // kept only

    aint disabled_login_attempts{0};
    aint disabled_login_hours{0};
    aint dont_check_backup_folder{0};
    aint max_backups{0};
    aint max_timeout{900};  // seconds
    std::atomic<int64_t> max_upload_filesize{0};

    aint query_count{0};  // statistics; lost increments tolerated
    aint exec_count{0};
    aint commands_count{0};
    aint total_connections{0};
    aint peak_connections{0};
    aint current_connections{0};
    std::atomic<uint64_t> bytes_sent{0};
    std::atomic<uint64_t> bytes_received{0};

    sqlite3* settings_db{nullptr};  // the settings database
    sqlite3* log_db{nullptr};       // SQLITE-format log
    sqlite3* stats_db{nullptr};     // statistics database
    sqlite3* inmemorydb{nullptr};   // in-memory bookkeeping database
    FILE* log_file{nullptr};        // TEXT-format log

    SharedText secret_token;
    aint token_connections_only{0};
    aint json_connect_enabled{1};
    aint clear_connect_enabled{1};
    aint encrypt_connect_enabled{1};
    aint token_connect_enabled{1};
    aint plugins_loaded{0};

    unsigned char key_encrypt_schedule[32]{};  // AES-256 key of the stored-key cipher

    aint tls_enabled{0};
    aint ssl_connections_only{0};
    aint tls_verify_client{0};
    aint ssl_disable_renegotiation{0};
    struct tls_config* tls_config{nullptr};
    struct tls* tls_server{nullptr};
    SharedText ssl_chain_path;        // never set; default chain file
    SharedText ssl_certificate_path;  // -m
    SharedText ssl_key_path;          // -M
    SharedText ssl_ca_path;           // -a
};

extern Settings settings;

// Life cycle (lifecycle.cpp).
void kestrix_init();
void kestrix_init_settings(int argc, char** argv);
void kestrix_init_commandline(int argc, char** argv);
void kestrix_init_startup();
void kestrix_start();
[[noreturn]] void kestrix_exit(int status);
bool kestrix_exit_begun();
void catch_signals();
void set_limits();
void create_pid_file();
void delete_pid_file();
void kestrix_print_usage(FILE* out);

// Fatal start-up error: system log and log output, then the orderly exit.
[[noreturn]] void kestrix_fatal(const char* message);

// Web service placeholders: only log while HTTP_ENABLED is set.
void web_start();
void web_restart();
void web_stop();
