// lifecycle.cpp - process start-up in its fixed order, the command line,
// signal handling and the once-only orderly shutdown.
//
// Start-up: kestrix_init (library, random generator, signals), then
// kestrix_init_settings (event queue, command line, paths, settings database
// with preferences and the in-memory database, workers, database references,
// pid file, TLS, banner, folders), then kestrix_init_startup (log, descriptor
// limit, plug-ins, engines, commands, statistics), then kestrix_start
// (listener.cpp).
//
// Signals: the terminating signals are blocked in every thread and taken by
// one signal thread with sigwait. The first one starts kestrix_exit on a
// thread of its own; any later one ends the process at once. kestrix_exit runs
// once (guarded by exit_mutex); a second caller that is not the signal thread
// waits for the running shutdown to end the process.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backup/scheduler.h"
#include "commands/engine.h"
#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "ext/plugins.h"
#include "net/event.h"
#include "net/random.h"
#include "server/log.h"
#include "server/paths.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/stats.h"
#include "server/tls.h"
#include "server/util.h"

Settings settings;

namespace {

bool exit_begun = false;        // REQUIRES: settings.exit_mutex held
bool pid_file_written = false;  // only our own pid file is removed at exit

const int TERMINATING_SIGNALS[] = {SIGTERM, SIGQUIT, SIGTSTP, SIGINT};

const char* const USAGE =
    "usage: %s [options]\n"
    "Available options are:\n"
    "  -h                      print usage and exit\n"
    "  -y                      print version and exit\n"
    "  -z                      do not load disabled logins table\n"
    "  -q                      enable SSL only connections mode\n"
    "  -P                      force optional verify peer even if root CA certificate is loaded\n"
    "  -t nthreads             set default startup working threads\n"
    "  -o ndatabases           set max number of shared databases\n"
    "  -l backlog              backlog size to be specified in the listen function\n"
    "  -p server_port          server port\n"
    "  -i ip_address           ip address used to bind \n"
    "  -f log_format           log format, values can be TEXT, SQLITE and CONSOLE\n"
    "  -v log_verbosity        log verbosity, values can be NONE, SQL_ERRORS or SQL_COMMANDS\n"
    "  -g debug_mode           debug mode, values can be NONE, FILE, CONSOLE, SYSTEM\n"
    "  -d db_path              full path to databases folder\n"
    "  -r restore_path         full path to restore folder\n"
    "  -b backup_path          full path to backup folder\n"
    "  -n manual_backup_path   full path to manual backup folder\n"
    "  -w ssl_crypto_path      full path to ssl and crypto libraries (in the form "
    "\"ssl_libpath|crypto_libpath\")\n"
    "  -u upload_path          full path to upload folder\n"
    "  -s settings_file        full path to settings file\n"
    "  -c config_file          full path to JSON startup config file\n"
    "  -e log_file             full path to log file\n"
    "  -x data_path            full path to the main data folder used by the server\n"
    "  -m ssl_certificate      full path to the SSL cerfificate file\n"
    "  -M ssl_certificate_key  full path to the SSL cerfificate key file\n"
    "  -a ca_root_certificate  full path to the SSL CA root certiticate to enable client peer "
    "verification\n"
    "\n";

sigset_t terminating_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : TERMINATING_SIGNALS) sigaddset(&set, s);
    return set;
}

void* shutdown_thread(void* arg) {
    kestrix_exit(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

void* signal_thread(void*) {
    sigset_t set = terminating_set();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (kestrix_exit_begun()) {
            fflush(nullptr);
            _exit(0);
        }
        pthread_t t;
        if (pthread_create(&t, nullptr, shutdown_thread,
                           reinterpret_cast<void*>(static_cast<intptr_t>(sig))) != 0)
            kestrix_exit(sig);
        pthread_detach(t);
    }
    return nullptr;
}

int64_t parse_number(const char* s) {
    return kestrix_parse_int64(s);
}

void set_word(aint& field, const char* arg,
              std::initializer_list<std::pair<const char*, int>> words) {
    for (const auto& [word, value] : words) {
        if (kestrix_strcmpi(arg, word) == 0) {
            field = value;
            return;
        }
    }
}

}  // namespace

void kestrix_print_usage(FILE* out) {
    fprintf(out, USAGE, "kestrix");
}

bool kestrix_exit_begun() {
    std::lock_guard<std::mutex> g(settings.exit_mutex);
    return exit_begun;
}

void kestrix_init() {
    sqlite3_initialize();
    srand(static_cast<unsigned>(time(nullptr)));
    static_randinit();
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    catch_signals();
}

void catch_signals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGABRT, &ignore, nullptr);
    sigaction(SIGHUP, &ignore, nullptr);
    sigset_t set = terminating_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // every later thread inherits the mask
    pthread_t t;
    if (pthread_create(&t, nullptr, signal_thread, nullptr) == 0) pthread_detach(t);
}

void kestrix_init_commandline(int argc, char** argv) {
    optind = 1;
    opterr = 1;
    int c;
    while ((c = getopt(argc, argv, "Phyqzt:l:p:i:f:v:g:d:r:b:n:w:u:s:x:m:M:c:e:a:k:j:o:")) != -1) {
        switch (c) {
            case 'h':
                kestrix_print_usage(stdout);
                settings.running = 0;
                return;
            case 'y':
                printf("%s\n", KESTRIX_VERSION);
                settings.running = 0;
                return;
            case 'z':
                settings.load_disabled_logins = 0;
                break;
            case 'q':
                settings.ssl_connections_only = 1;
                break;
            case 'P':
                settings.force_optional_verify = 1;
                break;
            case 't':
                if (int64_t n = parse_number(optarg); n > 0)
                    settings.num_threads = static_cast<int32_t>(n);
                break;
            case 'o':
                settings.max_databases = static_cast<int32_t>(parse_number(optarg));
                break;
            case 'l':
                if (int64_t n = parse_number(optarg); n > 0)
                    settings.backlog = static_cast<int32_t>(n);
                break;
            case 'p':
                if (int64_t n = parse_number(optarg); n > 0)
                    settings.port = static_cast<int32_t>(n);
                break;
            case 'i':
                settings.listen_address.set(optarg);
                break;
            case 'f':
                set_word(settings.log_format, optarg, {{"TEXT", 4}, {"SQLITE", 3}, {"CONSOLE", 5}});
                break;
            case 'v':
                set_word(settings.log_verbosity, optarg,
                         {{"NONE", 0}, {"SQL_ERRORS", 10}, {"SQL_COMMANDS", 20}});
                break;
            case 'g':
                set_word(settings.debug_mode, optarg,
                         {{"NONE", 0}, {"FILE", 4}, {"CONSOLE", 5}, {"SYSTEM", 6}});
                break;
            case 'd':
                settings.databases_path.set(optarg);
                break;
            case 'r':
                settings.restore_path.set(optarg);
                break;
            case 'b':
                settings.backup_path.set(optarg);
                break;
            case 'n':
                settings.manual_backup_path.set(optarg);
                break;
            case 'u':
                settings.upload_path.set(optarg);
                break;
            case 's':
                settings.settings_file_path.set(optarg);
                break;
            case 'c':
                settings.config_file_path.set(optarg);
                break;
            case 'e':
                settings.log_file_path.set(optarg);
                break;
            case 'x':
                settings.data_path.set(optarg);
                break;
            case 'm':
                settings.ssl_certificate_path.set(optarg);
                break;
            case 'M':
                settings.ssl_key_path.set(optarg);
                break;
            case 'a':
                settings.ssl_ca_path.set(optarg);
                break;
            default:
                break;  // -w, -j, -k are accepted and ignored; unknown options skipped
        }
    }
}

void kestrix_init_settings(int argc, char** argv) {
    settings.start_time = time(nullptr);
    snprintf(settings.startup_datetime, sizeof(settings.startup_datetime), "%s",
             kestrix_local_time("%Y-%m-%d %H:%M:%S").c_str());
    // Threads that never start count as ended for the shutdown's wait.
    settings.scheduler_exited = settings.connection_thread_exited = 1;
    settings.accept_loop_exited = settings.workers_exited = 1;
    settings.epoll_fd = event_init_queue();
    kestrix_init_commandline(argc, argv);
    if (!settings.running) return;

    set_absolute_path(argc > 0 ? argv[0] : nullptr);
    pref_open();
    int requested = settings.num_threads;
    int started = threadpool_create(requested);
    if (started < requested && debugging())
        debug_write("Unable to create requested numbers of working threads (%d %d)", requested,
                    started);
    dbref_init();
    create_pid_file();
    settings.tls_enabled = kestrix_tls_init();
    snprintf(
        settings.version_banner, sizeof(settings.version_banner),
        "Kestrix Server version %s %s mode, Build Date %s (SQLite Engine %s), TLS Library is %s",
        KESTRIX_VERSION, process_mode(), __DATE__, sqlite3_libversion(),
        settings.tls_enabled ? kestrix_tls_version() : "OFF");
    printf("%s\n\n", settings.version_banner);
    if (debugging()) {
        debug_write("%s", settings.version_banner);
        debug_write("Up Since: %s - Available cores: %d", settings.startup_datetime,
                    num_processors());
    }
    assure_required_folders();
}

void kestrix_init_startup() {
    if (debugging()) debug_write("kestrix_init_startup");
    log_open();
    set_limits();
    plugins_load();
    engines_load();
    commands_init();
    stats_open();
    log_system(settings.version_banner);
    if (debugging()) {
        debug_write("databases path: %s", settings.databases_path.get().c_str());
        debug_write("restore path: %s", settings.restore_path.get().c_str());
        debug_write("backup path: %s", settings.backup_path.get().c_str());
        if (settings.manual_backup_path.is_set())
            debug_write("manual backup path: %s", settings.manual_backup_path.get().c_str());
        debug_write("upload path: %s", settings.upload_path.get().c_str());
    }
}

void set_limits() {
    struct rlimit lim;
    int result = getrlimit(RLIMIT_NOFILE, &lim);
    if (result == 0) {
        int32_t databases = settings.max_databases > 0 ? settings.max_databases.load() : 0;
        rlim_t attempts[] = {
            RLIM_INFINITY,
            5 * static_cast<rlim_t>(databases) + 2 * static_cast<rlim_t>(threadpool_limit()) + 1024,
            10240};
        result = -1;
        for (rlim_t a : attempts) {
            struct rlimit want {
                a, a
            };
            if ((result = setrlimit(RLIMIT_NOFILE, &want)) == 0) break;
        }
        if (result != 0) {
            struct rlimit want {
                lim.rlim_max, lim.rlim_max
            };
            result = setrlimit(RLIMIT_NOFILE, &want);
        }
    }
    getrlimit(RLIMIT_NOFILE, &lim);
    if (debugging())
        debug_write("getrlimit: %lld maximum: %lld (result: %d)",
                    static_cast<long long>(lim.rlim_cur), static_cast<long long>(lim.rlim_max),
                    result);
}

void create_pid_file() {
    char path[KESTRIX_PATH_MAX];
    get_fixed_path(path, PATH_PID_FILE);
    file_delete(path);
    char pid[32];
    int n = snprintf(pid, sizeof(pid), "%d", static_cast<int>(getpid()));
    int fd = file_create(path, 0644);
    if (!fd) return;
    pid_file_written = write(fd, pid, static_cast<size_t>(n)) == n;
    file_close(fd);
}

void delete_pid_file() {
    char path[KESTRIX_PATH_MAX];
    get_fixed_path(path, PATH_PID_FILE);
    file_delete(path);
}

void kestrix_fatal(const char* message) {
    log_fatal_message(message);
    kestrix_exit(1);
}

void web_start() {
    if (settings.settings_db && pref_read_int(nullptr, "HTTP_ENABLED", 0) != 0)
        log_system("Kestrix HTTP Server up and running...");
}
void web_restart() {
    web_start();
}
void web_stop() {}

void kestrix_exit(int /*status*/) {
    {
        std::lock_guard<std::mutex> g(settings.exit_mutex);
        if (exit_begun) {
            // The shutdown already running ends the process.
            for (;;) pause();
        }
        exit_begun = true;
    }
    if (debugging()) debug_write("kestrix_exit");
    log_system("Kestrix Server is shutting down");
    settings.running = 0;
    if (int fd = settings.listen_socket.exchange(0); fd != 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    check_ping_timeouts();
    event_wakeup();
    threadpool_wake_all();  // also when the connection thread never started
    if (int fd = settings.epoll_fd.exchange(-1); fd >= 0) close(fd);
    web_stop();
    ssl_uninitialize();
    for (int i = 0; i < 25; ++i) {
        if (settings.accept_loop_exited && settings.scheduler_exited &&
            settings.connection_thread_exited && settings.workers_exited)
            break;
        usleep(200 * 1000);
    }
    threadpool_destroy();
    if (settings.settings_db) cleanup_databases();
    web_stop();
    plugins_exit();
    commands_exit();
    dbref_destroy();
    stats_close();
    pref_close();
    if (pid_file_written) delete_pid_file();
    if (debugging()) debug_write("kestrix_exit end");
    log_close();
    debug_close();
    sqlite3_shutdown();
    fflush(nullptr);
    _exit(0);
}
