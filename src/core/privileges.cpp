// privileges.cpp - the privilege name table.
#include "core/privileges.h"

#include "server/util.h"

const privilege_entry privileges[] = {
    {"ADMIN", 3},        {"DATABASES", 6},
    {"PRIVILEGES", 4},   {"PREFERENCES", 5},
    {"CREATE", 12},      {"DROP", 13},
    {"SELECT", 7},       {"INSERT", 8},
    {"UPDATE", 9},       {"DELETE", 10},
    {"UPLOAD", 14},      {"DOWNLOAD", 15},
    {"PRAGMA", 11},      {"SERVER", 16},
    {"RESTORE", 17},     {"BACKUP", 18},
    {"PLUGIN", 19},      {"DATABASE_ADMIN", 20},
    {"NONE", 0},         {"INSERT, UPDATE or DELETE", 100},
    {"UPLOAD_FILE", 22}, {"DOWNLOAD_FILE", 21},
    {nullptr, -1},
};

const char* privilege_name(int code) {
    for (const privilege_entry* p = privileges; p->name; ++p)
        if (p->code == code) return p->name;
    return "UNKNOWN";
}

int privilege_code(const char* name) {
    if (!name) return -1;
    for (const privilege_entry* p = privileges; p->name; ++p)
        if (kestrix_strcmpi(p->name, name) == 0) return p->code;
    return -1;
}

const char* const PRIVILEGE_CASE_SQL =
    "CASE privilege WHEN 0 THEN 'NONE' WHEN 3 THEN 'ADMIN' WHEN 4 THEN 'PRIVILEGES' WHEN 5 THEN "
    "'PREFERENCES' WHEN 6 THEN 'DATABASES' WHEN 7 THEN 'SELECT' WHEN 8 THEN 'INSERT' WHEN 9 THEN "
    "'UPDATE' WHEN 10 THEN 'DELETE' WHEN 11 THEN 'PRAGMA' WHEN 12 THEN 'CREATE' WHEN 13 THEN "
    "'DROP' "
    "WHEN 14 THEN 'UPLOAD' WHEN 15 THEN 'DOWNLOAD' WHEN 16 THEN 'SERVER' WHEN 17 THEN 'RESTORE' "
    "WHEN 18 "
    "THEN 'BACKUP' WHEN 19 THEN 'PLUGIN' WHEN 20 THEN 'DATABASE_ADMIN' WHEN 21 THEN "
    "'DOWNLOAD_FILE' "
    "WHEN 22 THEN 'UPLOAD_FILE' ELSE 'UNKNOWN' END";
