// paths.h - where every file and folder of the server lives.
//
// get_fixed_path maps a kind of file to a full path from three roots: the
// executable's directory (`server_path`), "/etc/opt" and the data folder
// (-x, else a folder below "/var/opt"). All paths are at most 4096 bytes;
// longer results are truncated. The file helpers are thin wrappers that
// answer 1/0 (or a descriptor, 0 on failure) and never throw.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>

constexpr size_t KESTRIX_PATH_MAX = 4096;

enum PathKind {
    PATH_SETTINGS = 1,
    PATH_LOG_FILE = 2,
    PATH_DATABASES = 4,
    PATH_BACKUPS = 5,
    PATH_PID_FILE = 7,
    PATH_PLUGINS = 9,
    PATH_PLUGIN_CACHE = 10,
    PATH_RESTORE = 11,
    PATH_DEBUG_FILE = 12,
    PATH_LEGACY_SETTINGS = 13,  // older server's settings file
    PATH_STATS = 14,
    PATH_TEMP = 17,
    PATH_WEB = 18,
    PATH_OLDEST_SETTINGS = 19,  // oldest server's settings file
    PATH_TLS_CERT = 20,
    PATH_TLS_CHAIN = 21,
    PATH_CONFIG_FILE = 23,
    PATH_UPLOAD = 25,
    PATH_TLS_ROOT_CA = 27,
    PATH_ENGINES = 28,
    PATH_DEBUG_FOLDER = 30,
    PATH_TLS_KEY = 31,
};

int get_fixed_path(char* buffer, int kind);
void build_path(char* buffer, const char* folder, const char* name);
void set_absolute_path(const char* argv0);
void assure_required_folders();

void get_path_to_databases_folder(char* buffer);
void get_path_to_backup_folder(char* buffer);
void get_path_to_restore_folder(char* buffer);
void get_path_to_restore(char* buffer, const char* databasename);
int get_path_to_ssl_certificate(char* buffer);
int get_path_to_ssl_certificate_key(char* buffer);
int get_path_to_root_ca_file(char* buffer);
int get_path_to_ssl_chain_file(char* buffer);
char* file_gettemp(char* buffer, int kind);

int create_folder(const char* path);
int file_create(const char* path, int mode);
int file_open_readonly(const char* path);
void file_close(int fd);
int file_delete(const char* path);
int file_exists(const char* path);
int file_rename(const char* from, const char* to);
int64_t file_size(const char* path);
int is_directory(const char* path);
char* read_file(const char* path, size_t* out_size);  // free() it
int write_file(const char* path, const void* data, size_t len);

DIR* dir_init(const char* path);
const char* dir_read(DIR* dir);  // closes the directory at the end
