// paths.cpp - file kinds, folder checks and the thin file helpers.
#include "server/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/dbhelpers.h"
#include "net/random.h"
#include "server/log.h"
#include "server/prefs.h"
#include "server/settings.h"

namespace {

const char* const CONFIG_DIR = "/etc/opt";
const char* const DATA_BASE = "/var/opt";

void copy_path(char* buffer, const std::string& s) {
    snprintf(buffer, KESTRIX_PATH_MAX, "%s", s.c_str());
}

// The data folder: -x, else the first existing of exe_name, "kestrix",
// "thaldor", "brannox" below /var/opt, else exe_name created there.
std::string data_folder() {
    if (auto p = settings.data_path.value()) {
        create_folder(p->c_str());
        return *p;
    }
    create_folder(DATA_BASE);
    if (!is_directory(DATA_BASE)) {
        log_fatal_message("get_fixed_path aborted.");
        kestrix_exit(1);
    }
    const char* candidates[] = {settings.exe_name, "kestrix", "thaldor", "brannox"};
    char path[KESTRIX_PATH_MAX];
    for (const char* c : candidates) {
        if (!c[0]) continue;
        build_path(path, DATA_BASE, c);
        if (is_directory(path)) return path;
    }
    build_path(path, DATA_BASE, settings.exe_name[0] ? settings.exe_name : "kestrix");
    create_folder(path);
    return path;
}

// A folder file inside the data folder.
void data_file(char* buffer, const char* name) {
    std::string folder = data_folder();
    build_path(buffer, folder.c_str(), name);
}

void config_file(char* buffer, const char* name) {
    create_folder(CONFIG_DIR);
    build_path(buffer, CONFIG_DIR, name);
}

}  // namespace

int get_fixed_path(char* buffer, int kind) {
    char name[512];
    const char* exe = settings.exe_name[0] ? settings.exe_name : "kestrix";
    switch (kind) {
        case PATH_SETTINGS:
        case PATH_LEGACY_SETTINGS:
        case PATH_OLDEST_SETTINGS:
            if (auto p = settings.settings_file_path.value()) {
                copy_path(buffer, *p);
            } else if (kind == PATH_SETTINGS) {
                snprintf(name, sizeof(name), "%s.settings", exe);
                config_file(buffer, name);
            } else {
                config_file(buffer,
                            kind == PATH_LEGACY_SETTINGS ? "thaldor.settings" : "brannox.settings");
            }
            break;
        case PATH_LOG_FILE:
            if (auto p = settings.log_file_path.value()) {
                copy_path(buffer, *p);
            } else {
                snprintf(name, sizeof(name),
                         settings.log_format == LOG_FORMAT_SQLITE ? "%s_log.sqlite" : "%s_log.txt",
                         exe);
                data_file(buffer, name);
            }
            break;
        case PATH_DATABASES:
            data_file(buffer, "databases");
            break;
        case PATH_BACKUPS:
            data_file(buffer, "backups");
            break;
        case PATH_PID_FILE:
            data_file(buffer, "kestrix.pid");
            break;
        case PATH_PLUGINS:
            data_file(buffer, "plugins");
            break;
        case PATH_PLUGIN_CACHE:
            data_file(buffer, "cache");
            break;
        case PATH_RESTORE:
            data_file(buffer, "restore");
            break;
        case PATH_DEBUG_FILE:
            snprintf(name, sizeof(name), "%s_debug.txt", exe);
            data_file(buffer, name);
            break;
        case PATH_STATS:
            snprintf(name, sizeof(name), "%s.stats", exe);
            data_file(buffer, name);
            break;
        case PATH_TEMP:
            data_file(buffer, "temp");
            break;
        case PATH_WEB:
            data_file(buffer, "www");
            break;
        case PATH_TLS_CERT:
            data_file(buffer, "kestrix.pem");
            break;
        case PATH_TLS_CHAIN:
            data_file(buffer, "kestrix_chain.pem");
            break;
        case PATH_CONFIG_FILE:
            snprintf(name, sizeof(name), "%s.config", exe);
            build_path(buffer, settings.server_path, name);
            break;
        case PATH_UPLOAD:
            data_file(buffer, "upload");
            break;
        case PATH_TLS_ROOT_CA:
            data_file(buffer, "root.pem");
            break;
        case PATH_ENGINES:
            data_file(buffer, "engines");
            break;
        case PATH_DEBUG_FOLDER:
            data_file(buffer, "debug");
            break;
        case PATH_TLS_KEY:
            data_file(buffer, "kestrix_key.pem");
            break;
        default:
            buffer[0] = 0;
            break;
    }
    return 1;
}

void build_path(char* buffer, const char* folder, const char* name) {
    // Copy first: the buffer may be the folder text itself.
    std::string f = folder ? folder : "";
    std::string n = name ? name : "";
    if (f.empty()) {
        // No folder: the name stands alone.
        snprintf(buffer, KESTRIX_PATH_MAX, "%s", n.c_str());
    } else if (f.size() == 1 || f.back() == '/') {
        snprintf(buffer, KESTRIX_PATH_MAX, "%s%s", f.c_str(), n.c_str());
    } else {
        snprintf(buffer, KESTRIX_PATH_MAX, "%s/%s", f.c_str(), n.c_str());
    }
}

// Normalises "." and ".." components of an absolute path.
static std::string normalise(const std::string& path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t k = out.rfind('/');
            out.erase(k == std::string::npos ? 0 : k);
            continue;
        }
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

void set_absolute_path(const char* argv0) {
    if (!argv0 || !argv0[0]) {
        log_fatal_message("An error occured while launching the process (exe_path is NULL).");
        kestrix_exit(1);
    }
    char cwd[KESTRIX_PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd))) snprintf(cwd, sizeof(cwd), "/");
    std::string text = argv0;
    size_t slash = text.rfind('/');
    std::string dir;
    if (slash == std::string::npos) {
        snprintf(settings.exe_name, sizeof(settings.exe_name), "%s", argv0);
        dir = cwd;
    } else {
        snprintf(settings.exe_name, sizeof(settings.exe_name), "%s",
                 text.substr(slash + 1).c_str());
        if (text[0] == '/')
            dir = text.substr(0, slash);
        else
            dir = std::string(cwd) + "/" + text.substr(0, slash);
        // "./bin/kestrix" and "../x/kestrix" both come out as clean absolute paths.
        dir = normalise(dir);
    }
    snprintf(settings.server_path, sizeof(settings.server_path), "%s", dir.c_str());
    if (chdir(settings.server_path) != 0) {
        // The working directory stays where it was; paths stay absolute.
    }
}

namespace {

struct RequiredFolder {
    SharedText* field;
    int kind;
    const char* label;
    const char* pref_key;
    bool is_backup;
};

void assure_folder(const RequiredFolder& f) {
    auto value = f.field->value();
    if (value && value->size() >= 2 && (*value)[0] == '\\' && (*value)[1] == '\\') {
        if (!f.is_backup || settings.dont_check_backup_folder) return;
    }
    if (value && !value->empty()) {
        if (!is_directory(value->c_str())) create_folder(value->c_str());
        if (is_directory(value->c_str())) return;
    }
    char def[KESTRIX_PATH_MAX];
    get_fixed_path(def, f.kind);
    create_folder(def);
    f.field->set(def);
    char msg[256];
    snprintf(msg, sizeof(msg), "Specified %s path doesn't exist, switching to the default one.",
             f.label);
    log_system(msg);
    pref_write(f.pref_key, def);
}

}  // namespace

void assure_required_folders() {
    const RequiredFolder folders[] = {
        {&settings.backup_path, PATH_BACKUPS, "BACKUP", "BACKUP_PATH", true},
        {&settings.databases_path, PATH_DATABASES, "DATABASES", "DATABASES_PATH", false},
        {&settings.restore_path, PATH_RESTORE, "RESTORE", "RESTORE_PATH", false},
        {&settings.http_path, PATH_WEB, "WEB", "HTTP_PATH", false},
        {&settings.upload_path, PATH_UPLOAD, "UPLOAD", "UPLOAD_PATH", false},
    };
    for (const auto& f : folders) assure_folder(f);
    const int extra[] = {PATH_PLUGINS, PATH_PLUGIN_CACHE, PATH_TEMP, PATH_ENGINES,
                         PATH_DEBUG_FOLDER};
    char path[KESTRIX_PATH_MAX];
    for (int kind : extra) {
        get_fixed_path(path, kind);
        create_folder(path);
    }
}

static void folder_or_default(char* buffer, const SharedText& field, int kind) {
    if (auto p = field.value())
        copy_path(buffer, *p);
    else
        get_fixed_path(buffer, kind);
}

void get_path_to_databases_folder(char* buffer) {
    folder_or_default(buffer, settings.databases_path, PATH_DATABASES);
}
void get_path_to_backup_folder(char* buffer) {
    folder_or_default(buffer, settings.backup_path, PATH_BACKUPS);
}
void get_path_to_restore_folder(char* buffer) {
    folder_or_default(buffer, settings.restore_path, PATH_RESTORE);
}

void get_path_to_restore(char* buffer, const char* databasename) {
    get_path_to_restore_folder(buffer);
    build_path(buffer, buffer, databasename);
}

static int tls_file(char* buffer, const SharedText& field, int kind) {
    if (auto p = field.value()) {
        copy_path(buffer, *p);
        return 1;
    }
    get_fixed_path(buffer, kind);
    return file_exists(buffer);
}

int get_path_to_ssl_certificate(char* buffer) {
    return tls_file(buffer, settings.ssl_certificate_path, PATH_TLS_CERT);
}
int get_path_to_ssl_certificate_key(char* buffer) {
    return tls_file(buffer, settings.ssl_key_path, PATH_TLS_KEY);
}
int get_path_to_root_ca_file(char* buffer) {
    return tls_file(buffer, settings.ssl_ca_path, PATH_TLS_ROOT_CA);
}
int get_path_to_ssl_chain_file(char* buffer) {
    return tls_file(buffer, settings.ssl_chain_path, PATH_TLS_CHAIN);
}

char* file_gettemp(char* buffer, int kind) {
    char name[64];
    do {
        snprintf(name, sizeof(name), "kestrix_temp_%u", rand_get());
        if (kind == PATH_DATABASES) {
            get_path_to_database(buffer, name);
        } else {
            if (kind == PATH_BACKUPS)
                get_path_to_backup_folder(buffer);
            else
                get_path_to_restore_folder(buffer);
            build_path(buffer, buffer, name);
        }
    } while (file_exists(buffer));
    return buffer;
}

int create_folder(const char* path) {
    if (!path || !path[0]) return 0;
    if (mkdir(path, 0775) == 0) chmod(path, 0775);  // mode regardless of the umask
    return is_directory(path);
}

int file_create(const char* path, int mode) {
    if (mode == 0) mode = 0644;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return 0;
    fchmod(fd, static_cast<mode_t>(mode));
    return fd;
}

int file_open_readonly(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? 0 : fd;
}

void file_close(int fd) {
    if (fd > 0) close(fd);
}

int file_delete(const char* path) {
    if (path) unlink(path);
    return 1;
}

int file_exists(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}

int file_rename(const char* from, const char* to) {
    return rename(from, to) == 0;
}

int64_t file_size(const char* path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    return st.st_size;
}

int is_directory(const char* path) {
    struct stat st;
    return path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

char* read_file(const char* path, size_t* out_size) {
    if (out_size) *out_size = 0;
    int fd = file_open_readonly(path);
    if (!fd) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char* buf = static_cast<char*>(malloc(size + 1));
    size_t got = 0;
    while (buf && got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (!buf || got != size) {
        free(buf);
        return nullptr;
    }
    buf[size] = 0;
    if (out_size) *out_size = size;
    return buf;
}

int write_file(const char* path, const void* data, size_t len) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0777);
    if (fd < 0) return 0;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == len;
}

DIR* dir_init(const char* path) {
    return path ? opendir(path) : nullptr;
}

const char* dir_read(DIR* dir) {
    if (!dir) return nullptr;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] && e->d_name[0] != '.') return e->d_name;
    }
    closedir(dir);
    return nullptr;
}
