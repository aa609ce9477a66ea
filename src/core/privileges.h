// privileges.h - privilege codes and their names.
//
// Access control is group based: a group holds rows (privilege code, database
// or "*", table or "*") in the settings database. Code 0 on a command means
// that no privilege is needed; 101 and 102 have no name and cannot be granted
// by name, but rows holding them are honoured.
#pragma once

enum PrivilegeCode {
    PRIV_NONE = 0,
    PRIV_ADMIN = 3,
    PRIV_PRIVILEGES = 4,
    PRIV_PREFERENCES = 5,
    PRIV_DATABASES = 6,
    PRIV_SELECT = 7,
    PRIV_INSERT = 8,
    PRIV_UPDATE = 9,
    PRIV_DELETE = 10,
    PRIV_PRAGMA = 11,
    PRIV_CREATE = 12,
    PRIV_DROP = 13,
    PRIV_UPLOAD = 14,
    PRIV_DOWNLOAD = 15,
    PRIV_SERVER = 16,
    PRIV_RESTORE = 17,
    PRIV_BACKUP = 18,
    PRIV_PLUGIN = 19,
    PRIV_DATABASE_ADMIN = 20,
    PRIV_DOWNLOAD_FILE = 21,
    PRIV_UPLOAD_FILE = 22,
    PRIV_INSERT_UPDATE_DELETE = 100,
};

struct privilege_entry {
    const char* name;  // NULL ends the table
    int code;
};

// The named privileges in lookup order, ended by {NULL, -1}.
extern const privilege_entry privileges[];

// The name of a code ("UNKNOWN" when it has none).
const char* privilege_name(int code);
// The code of a name (any case), -1 when unknown.
int privilege_code(const char* name);

// SQL that prints a privilege column as its name.
extern const char* const PRIVILEGE_CASE_SQL;
