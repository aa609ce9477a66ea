// table.cpp - the built-in server commands, in matching order (the first
// record that matches a text wins). Tokens: keywords, "%" one argument, "%%"
// all remaining words.
#include "commands/engine.h"
#include "commands/handlers.h"
#include "core/privileges.h"

// clang-format off
command_record sActions[] = {
    {0, 0, 3, {"SHOW", "DEBUG_MEM", "%%"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 1
    {0, 0, 4, {"SHOW", "DEBUG_PREF", "%%"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 2
    {0, 0, 5, {"SHOW", "DEBUG_DBREF", "%%"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 3
    {0, 0, 6, {"SHOW", "DEBUG_CLIENT_MEM", "%%"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 4
    {0, 0, 7, {"SHOW", "DEBUG_CLIENT_TEMP", "%%"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 5
    {0, 0, 8, {"SHOW", "DEBUG_LIST_DBREF"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 6
    {0, 0, 9, {"SHOW", "DEBUG_PATH", "%"}, KIND_SELECT, PRIV_ADMIN, DoDebugPathCommand},  // 7
    {0, 0, 10, {"SHOW", "DEBUG_PATH", "%", "DATABASE", "%"}, KIND_SELECT, PRIV_ADMIN, DoDebugPathCommand},  // 8
    {0, 0, 11, {"SHOW", "DEBUG_LOG"}, KIND_SELECT, PRIV_ADMIN, DoDebugCommand},  // 9
    {1, 0, 0, {"ADD", "LOG", "ENTRY", "%"}, KIND_EXECUTE, 0, DoAddLogEntry},  // 10
    {0, 1, 0, {"BEGIN"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 11
    {0, 1, 0, {"BEGIN", "DEFERRED"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 12
    {0, 1, 0, {"BEGIN", "IMMEDIATE"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 13
    {0, 1, 0, {"BEGIN", "EXCLUSIVE"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 14
    {0, 1, 0, {"BEGIN", "TRANSACTION"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 15
    {0, 1, 0, {"BEGIN", "DEFERRED", "TRANSACTION"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 16
    {0, 1, 0, {"BEGIN", "IMMEDIATE", "TRANSACTION"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 17
    {0, 1, 0, {"BEGIN", "EXCLUSIVE", "TRANSACTION"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 18
    {0, 1, 0, {"BEGIN", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 19
    {0, 1, 0, {"BEGIN", "DEFERRED", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 20
    {0, 1, 0, {"BEGIN", "IMMEDIATE", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 21
    {0, 1, 0, {"BEGIN", "EXCLUSIVE", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoBeginTransaction},  // 22
    {0, 1, 0, {"END"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 23
    {0, 1, 0, {"END", "TRANSACTION"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 24
    {0, 1, 0, {"END", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 25
    {0, 1, 0, {"COMMIT"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 26
    {0, 1, 0, {"COMMIT", "TRANSACTION"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 27
    {0, 1, 0, {"COMMIT", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoCommitTransaction},  // 28
    {0, 1, 0, {"ROLLBACK"}, KIND_EXECUTE, 0, DoRollbackTransaction},  // 29
    {0, 1, 0, {"ROLLBACK", "TRANSACTION"}, KIND_EXECUTE, 0, DoRollbackTransaction},  // 30
    {0, 1, 0, {"ROLLBACK", "TRANSACTION", "%"}, KIND_EXECUTE, 0, DoRollbackTransaction},  // 31
    {0, 1, 1, {"VACUUM"}, KIND_EXECUTE, 0, DoSpecialCommand},  // 32
    {0, 1, 2, {"ANALYZE"}, KIND_EXECUTE, 0, DoSpecialCommand},  // 33
    {1, 1, 212, {"ATTACH", "DATABASE", "%", "AS", "%"}, KIND_EXECUTE, 0, DoAttachDatabase},  // 34
    {0, 1, 212, {"ATTACH", "%", "AS", "%"}, KIND_EXECUTE, 0, DoAttachDatabase},  // 35
    {1, 1, 213, {"DETACH", "DATABASE", "%"}, KIND_EXECUTE, 0, DoAttachDatabase},  // 36
    {0, 1, 213, {"DETACH", "%"}, KIND_EXECUTE, 0, DoAttachDatabase},  // 37
    {1, 0, 0, {"SHOW", "MVCC"}, KIND_SELECT, 0, DoShowMVCCCommand},  // 38
    {1, 0, 162, {"ENABLE", "MVCC"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableMVCC},  // 39
    {1, 0, 163, {"DISABLE", "MVCC"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableMVCC},  // 40
    {1, 0, 164, {"ENABLE", "CONNECTION", "JSON"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 41
    {1, 0, 165, {"ENABLE", "CONNECTION", "CLEAR"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 42
    {1, 0, 166, {"ENABLE", "CONNECTION", "ENCRYPT"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 43
    {1, 0, 167, {"ENABLE", "CONNECTION", "TOKEN"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 44
    {1, 0, 168, {"DISABLE", "CONNECTION", "JSON"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 45
    {1, 0, 169, {"DISABLE", "CONNECTION", "CLEAR"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 46
    {1, 0, 170, {"DISABLE", "CONNECTION", "ENCRYPT"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 47
    {1, 0, 171, {"DISABLE", "CONNECTION", "TOKEN"}, KIND_EXECUTE, PRIV_ADMIN, DoEnableDisableConnection},  // 48
    {1, 0, 160, {"ENABLE", "RESTORE", "ON", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoEnableDisableRestore},  // 49
    {1, 0, 161, {"DISABLE", "RESTORE", "ON", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoEnableDisableRestore},  // 50
    {1, 0, 184, {"SHOW", "RESTORE", "STATUS", "FOR", "DATABASE", "%"}, KIND_SELECT, PRIV_SERVER, DoShowRestoreStatus},  // 51
    {1, 0, 172, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 52
    {1, 0, 173, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "FROM", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 53
    {1, 0, 174, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "TO", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 54
    {1, 0, 175, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "FROM", "%", "TO", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 55
    {1, 0, 180, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "USERNAME", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 56
    {1, 0, 181, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "USERNAME", "%", "FROM", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 57
    {1, 0, 182, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "USERNAME", "%", "TO", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 58
    {1, 0, 183, {"SHOW", "RESTORE", "LOG", "FOR", "DATABASE", "%", "USERNAME", "%", "FROM", "%", "TO", "%"}, KIND_SELECT, PRIV_RESTORE, DoShowSQLRestore},  // 59
    {1, 0, 185, {"RESTORE", "DATABASE", "%"}, KIND_EXECUTE, PRIV_RESTORE, DoRestoreDatabase},  // 60
    {1, 0, 187, {"RESTORE", "DATABASE", "%", "TO", "ID", "%"}, KIND_EXECUTE, PRIV_RESTORE, DoRestoreDatabase},  // 61
    {1, 0, 0, {"SET", "ENGINE", "PREFERENCE", "%", "FOR", "%", "GROUP", "%", "KEY", "%", "VALUE", "%"}, KIND_EXECUTE, PRIV_ADMIN, DoSetEnginePreference},  // 62
    {1, 0, 0, {"DROP", "ENGINE", "PREFERENCE", "%", "FOR", "%", "GROUP", "%", "KEY", "%"}, KIND_EXECUTE, PRIV_ADMIN, DoDropEnginePreference},  // 63
    {1, 0, 0, {"SHOW", "ENGINE", "PREFERENCES"}, KIND_SELECT, PRIV_ADMIN, DoShowEnginePreferences},  // 64
    {1, 0, 216, {"ENGINE", "EXECUTE", "%%"}, KIND_EXECUTE, 0, DoExecuteEngine},  // 65
    {1, 0, 217, {"ENGINE", "SELECT", "%%"}, KIND_SELECT, 0, DoExecuteEngine},  // 66
    {1, 0, 111, {"USE", "DATABASE", "%"}, KIND_EXECUTE, 0, DoUseDatabase},  // 67
    {0, 0, 112, {"CLEAR", "CURRENT", "DATABASE"}, KIND_EXECUTE, 0, DoUseDatabase},  // 68
    {1, 0, 112, {"UNSET", "CURRENT", "DATABASE"}, KIND_EXECUTE, 0, DoUseDatabase},  // 69
    {1, 0, 0, {"CLOSE", "DATABASE", "%"}, KIND_EXECUTE, 0, DoCloseDatabase},  // 70
    {1, 0, 112, {"SHOW", "CURRENT", "DATABASE"}, KIND_SELECT, 0, DoShowCurrentDatabase},  // 71
    {1, 0, 104, {"SET", "LANGUAGE", "TO", "%"}, KIND_EXECUTE, 0, DoSetLanguage},  // 72
    {1, 0, 108, {"PING"}, KIND_EXECUTE, 0, DoPing},  // 73
    {1, 0, 124, {"SET", "TIMEOUT", "TO", "%"}, KIND_EXECUTE, 0, DoSetTimeout},  // 74
    {1, 0, 122, {"SET", "PING", "TIMEOUT", "TO", "%"}, KIND_EXECUTE, 0, DoSetTimeout},  // 75
    {1, 0, 0, {"SET", "CLIENT", "TYPE", "TO", "%"}, KIND_EXECUTE, 0, DoSetClientType},  // 76
    {1, 1, 145, {"SHOW", "LASTROWID"}, KIND_SELECT, 0, DoShowChangesLastRowId},  // 77
    {1, 1, 146, {"SHOW", "CHANGES"}, KIND_SELECT, 0, DoShowChangesLastRowId},  // 78
    {1, 0, 150, {"SET", "PATH", "%", "FOR", "DATABASE", "%"}, KIND_EXECUTE, 0, DoSetDatabasePath},  // 79
    {1, 0, 151, {"SET", "TEMP", "PATH", "%", "FOR", "DATABASE", "%"}, KIND_EXECUTE, 0, DoSetDatabasePath},  // 80
    {1, 0, 126, {"CREATE", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 81
    {1, 0, 127, {"CREATE", "DATABASE", "%", "IF", "NOT", "EXISTS"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 82
    {1, 0, 128, {"CREATE", "DATABASE", "%", "WITH", "KEY", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 83
    {1, 0, 129, {"CREATE", "DATABASE", "%", "WITH", "KEY", "%", "IF", "NOT", "EXISTS"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 84
    {1, 0, 130, {"CREATE", "DATABASE", "%", "WITH", "ENCODING", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 85
    {1, 0, 131, {"CREATE", "DATABASE", "%", "WITH", "ENCODING", "%", "IF", "NOT", "EXISTS"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 86
    {1, 0, 132, {"CREATE", "DATABASE", "%", "WITH", "KEY", "%", "WITH", "ENCODING", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 87
    {1, 0, 133, {"CREATE", "DATABASE", "%", "WITH", "KEY", "%", "WITH", "ENCODING", "%", "IF", "NOT", "EXISTS"}, KIND_EXECUTE, PRIV_DATABASES, DoCreateDatabase},  // 88
    {1, 0, 135, {"DROP", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoDropDatabase},  // 89
    {1, 0, 136, {"DROP", "DATABASE", "%", "IF", "EXISTS"}, KIND_EXECUTE, PRIV_DATABASES, DoDropDatabase},  // 90
    {1, 0, 137, {"SET", "KEY", "%", "FOR", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoSetKeyForDatabase},  // 91
    {1, 0, 134, {"RENAME", "DATABASE", "%", "TO", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoRenameDatabase},  // 92
    {1, 0, 138, {"ENCRYPT", "DATABASE", "%", "WITH", "KEY", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoReKeyDatabase},  // 93
    {1, 0, 139, {"DECRYPT", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoReKeyDatabase},  // 94
    {1, 0, 121, {"SHOW", "COMMANDS"}, KIND_SELECT, 0, DoShowCommands},  // 95
    {0, 0, 199, {"SHOW", "REALTIME", "STATISTICS"}, KIND_SELECT, 0, DoShowInfo},  // 96
    {0, 0, 200, {"SHOW", "DETAILED", "STATISTICS"}, KIND_SELECT, 0, DoShowInfo},  // 97
    {1, 0, 53, {"SHOW", "INFO"}, KIND_SELECT, 0, DoShowInfo},  // 98
    {1, 0, 54, {"SHOW", "INFO", "FOR", "KEY", "%"}, KIND_SELECT, 0, DoShowInfo},  // 99
    {1, 0, 50, {"SHOW", "PREFERENCES"}, KIND_SELECT, PRIV_PREFERENCES, DoShowPreferences},  // 100
    {1, 0, 51, {"SHOW", "PREFERENCE", "%"}, KIND_SELECT, PRIV_PREFERENCES, DoShowPreference},  // 101
    {1, 0, 52, {"SET", "PREFERENCE", "%", "TO", "%"}, KIND_EXECUTE, PRIV_PREFERENCES, DoSetPreference},  // 102
    {1, 0, 0, {"DROP", "PREFERENCE", "%"}, KIND_EXECUTE, PRIV_PREFERENCES, DoDropPreference},  // 103
    {1, 0, 109, {"SHOW", "DATABASES"}, KIND_SELECT, 0, DoShowDatabases},  // 104
    {1, 0, 110, {"SHOW", "DATABASES", "WITH", "DETAILS"}, KIND_SELECT, 0, DoShowDatabases},  // 105
    {1, 0, 70, {"SHOW", "CONNECTIONS"}, KIND_SELECT, PRIV_SERVER, DoShowConnections},  // 106
    {1, 0, 44, {"SHOW", "TABLES", "FOR", "DATABASE", "%"}, KIND_SELECT, 0, DoShowSQLiteMaster},  // 107
    {1, 0, 45, {"SHOW", "INDEXES", "FOR", "DATABASE", "%"}, KIND_SELECT, 0, DoShowSQLiteMaster},  // 108
    {1, 1, 46, {"SHOW", "INDEXES", "FOR", "TABLE", "%"}, KIND_SELECT, 0, DoShowSQLiteMaster},  // 109
    {1, 1, 47, {"SHOW", "TABLES"}, KIND_SELECT, 0, DoShowSQLiteMaster},  // 110
    {1, 1, 48, {"SHOW", "TABLE", "INFO", "%"}, KIND_SELECT, 0, DoShowTableInfo},  // 111
    {0, 1, 49, {"SHOW", "TABLE", "INFO", "TARNIC", "%"}, KIND_SELECT, 0, DoShowTableInfo},  // 112
    {1, 0, 55, {"SHOW", "LOG", "FROM", "%", "TO", "%"}, KIND_SELECT, PRIV_SERVER, DoShowLog},  // 113
    {1, 0, 57, {"SHOW", "LAST", "%", "ROWS", "FROM", "LOG"}, KIND_SELECT, PRIV_SERVER, DoShowLastNRowsFromLog},  // 114
    {1, 0, 56, {"SHOW", "LOG", "FROM", "%", "TO", "%", "ORDER", "DESC"}, KIND_SELECT, PRIV_SERVER, DoShowLog},  // 115
    {1, 0, 58, {"SHOW", "LAST", "%", "ROWS", "FROM", "LOG", "ORDER", "DESC"}, KIND_SELECT, PRIV_SERVER, DoShowLastNRowsFromLog},  // 116
    {1, 0, 71, {"CLOSE", "CONNECTION", "%"}, KIND_EXECUTE, PRIV_SERVER, DoCloseConnection},  // 117
    {1, 0, 13, {"GRANT", "%", "TO", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 118
    {1, 0, 14, {"GRANT", "%", "TO", "GROUP", "%", "FOR", "DATABASE", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 119
    {1, 0, 15, {"GRANT", "%", "TO", "GROUP", "%", "FOR", "TABLE", "%", "IN", "DATABASE", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 120
    {1, 0, 16, {"REVOKE", "%", "FROM", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 121
    {1, 0, 17, {"REVOKE", "%", "FROM", "GROUP", "%", "FOR", "DATABASE", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 122
    {1, 0, 18, {"REVOKE", "%", "FROM", "GROUP", "%", "FOR", "TABLE", "%", "IN", "DATABASE", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoGrantRevokePrivilege},  // 123
    {1, 0, 20, {"SHOW", "USERS"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowUserGroup},  // 124
    {1, 0, 21, {"SHOW", "GROUPS"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowUserGroup},  // 125
    {1, 0, 22, {"SHOW", "GROUPS", "FOR", "USER", "%"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowUserGroup},  // 126
    {1, 0, 23, {"SHOW", "USERS", "IN", "GROUP", "%"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowUserGroup},  // 127
    {1, 0, 24, {"SHOW", "PRIVILEGES", "FOR", "GROUP", "%"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowPrivileges},  // 128
    {1, 0, 25, {"CREATE", "USER", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 129
    {1, 0, 26, {"CREATE", "USER", "%", "WITH", "PASSWORD", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 130
    {1, 0, 27, {"CREATE", "USER", "%", "WITH", "HASH", "PASSWORD", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 131
    {1, 0, 28, {"DROP", "USER", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 132
    {1, 0, 29, {"CREATE", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 133
    {1, 0, 30, {"DROP", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 134
    {1, 0, 31, {"ADD", "USER", "%", "TO", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 135
    {1, 0, 32, {"MOVE", "USER", "%", "TO", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 136
    {1, 0, 33, {"REMOVE", "USER", "%", "FROM", "GROUP", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 137
    {1, 0, 34, {"SET", "PASSWORD", "%", "FOR", "USER", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 138
    {1, 0, 35, {"SET", "HASH", "PASSWORD", "%", "FOR", "USER", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 139
    {1, 0, 36, {"RENAME", "USER", "%", "TO", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 140
    {1, 0, 37, {"RENAME", "GROUP", "%", "TO", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoExecPrivileges},  // 141
    {0, 0, 38, {"SHOW", "PRIVILEGES"}, KIND_SELECT, 0, DoShowPrivileges},  // 142
    {1, 0, 38, {"SHOW", "MY", "PRIVILEGES"}, KIND_SELECT, 0, DoShowPrivileges},  // 143
    {1, 0, 39, {"SHOW", "ALL", "PRIVILEGES"}, KIND_SELECT, 0, DoShowPrivileges},  // 144
    {0, 0, 40, {"SHOW", "MY", "GROUP"}, KIND_SELECT, 0, DoShowUserGroup},  // 145
    {1, 0, 40, {"SHOW", "MY", "GROUPS"}, KIND_SELECT, 0, DoShowUserGroup},  // 146
    {1, 0, 0, {"SHOW", "MY", "USERNAME"}, KIND_SELECT, 0, DoShowMyUsername},  // 147
    {1, 0, 41, {"SET", "MY", "PASSWORD", "TO", "%"}, KIND_EXECUTE, 0, DoExecPrivileges},  // 148
    {1, 0, 42, {"SET", "MY", "HASH", "PASSWORD", "TO", "%"}, KIND_EXECUTE, 0, DoExecPrivileges},  // 149
    {1, 0, 43, {"SHOW", "PRIVILEGES", "TABLE"}, KIND_SELECT, 0, DoShowPrivilegesTable},  // 150
    {1, 0, 94, {"CREATE", "SCHEDULE", "%", "DAYS", "%", "HOURS", "%", "MINUTES", "%", "WEEKS", "%", "TYPE", "%", "WITH", "OPTIONS", "%", "ENABLED", "%"}, KIND_EXECUTE, PRIV_SERVER, DoCreateSchedule},  // 151
    {1, 0, 0, {"RENAME", "SCHEDULE", "%", "TO", "%"}, KIND_EXECUTE, PRIV_SERVER, DoRenameSchedule},  // 152
    {0, 0, 95, {"RESET", "SCHEDULE", "%", "SET", "%%"}, KIND_EXECUTE, PRIV_SERVER, DoUpdateSchedule},  // 153
    {1, 0, 95, {"RESET", "SCHEDULE", "%", "AS", "%%"}, KIND_EXECUTE, PRIV_SERVER, DoUpdateScheduleNew},  // 154
    {1, 0, 96, {"DROP", "SCHEDULE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoDropSchedule},  // 155
    {1, 0, 97, {"ATTACH", "SCHEDULE", "%", "TO", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoAttachSchedule},  // 156
    {1, 0, 98, {"DETACH", "SCHEDULE", "%", "FROM", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoAttachSchedule},  // 157
    {1, 0, 99, {"SHOW", "SCHEDULES", "FOR", "DATABASE", "%"}, KIND_SELECT, PRIV_SERVER, DoShowSchedule},  // 158
    {1, 0, 100, {"SHOW", "SCHEDULES"}, KIND_SELECT, PRIV_SERVER, DoShowSchedule},  // 159
    {1, 0, 101, {"SHOW", "SCHEDULE", "%"}, KIND_SELECT, PRIV_SERVER, DoShowSchedule},  // 160
    {1, 0, 102, {"SHOW", "DATABASES", "FOR", "SCHEDULE", "%"}, KIND_SELECT, PRIV_SERVER, DoShowSchedule},  // 161
    {1, 0, 103, {"SHOW", "ID", "FOR", "SCHEDULE", "%"}, KIND_SELECT, PRIV_SERVER, DoShowSchedule},  // 162
    {1, 0, 78, {"UPLOAD", "DATABASE", "%"}, KIND_EXECUTE, PRIV_UPLOAD, DoUploadDatabase},  // 163
    {1, 0, 80, {"UPLOAD", "DATABASE", "%", "WITH", "REPLACE"}, KIND_EXECUTE, PRIV_UPLOAD, DoUploadDatabase},  // 164
    {1, 0, 82, {"DOWNLOAD", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DOWNLOAD, DoDownloadDatabase},  // 165
    {1, 0, 83, {"DOWNLOAD", "BACKUP", "DATABASE", "%", "WITH", "TIMESTAMP", "%"}, KIND_EXECUTE, PRIV_DOWNLOAD, DoDownloadBackupDatabase},  // 166
    {0, 0, 0, {"ABORT", "CHUNK"}, KIND_EXECUTE, 0, DoAbortChunk},  // 167
    {1, 0, 0, {"BACKUP", "SETTINGS"}, KIND_EXECUTE, PRIV_ADMIN, DoBackupSettings},  // 168
    {1, 0, 72, {"BACKUP", "NOW", "%"}, KIND_EXECUTE, PRIV_BACKUP, DoBackupDatabase},  // 169
    {1, 0, 73, {"BACKUP", "ASYNC", "%"}, KIND_EXECUTE, PRIV_BACKUP, DoBackupDatabase},  // 170
    {1, 0, 74, {"SHOW", "BACKUPS", "FOR", "DATABASE", "%"}, KIND_SELECT, PRIV_BACKUP, DoShowBackups},  // 171
    {1, 0, 75, {"DROP", "BACKUP", "FOR", "DATABASE", "%"}, KIND_EXECUTE, PRIV_BACKUP, DoDeleteBackup},  // 172
    {1, 0, 76, {"DROP", "BACKUP", "FOR", "DATABASE", "%", "WITH", "TIMESTAMP", "%"}, KIND_EXECUTE, PRIV_BACKUP, DoDeleteBackup},  // 173
    {1, 0, 77, {"RESTORE", "BACKUP", "FOR", "DATABASE", "%", "WITH", "TIMESTAMP", "%"}, KIND_EXECUTE, PRIV_BACKUP, DoRestoreBackup},  // 174
    {1, 0, 61, {"LOCK", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoLockUnlockDatabase},  // 175
    {1, 0, 62, {"UNLOCK", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoLockUnlockDatabase},  // 176
    {1, 0, 63, {"FORCE", "UNLOCK", "DATABASE", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoLockUnlockDatabase},  // 177
    {1, 0, 64, {"SHOW", "DBREF", "FOR", "DATABASE", "%"}, KIND_SELECT, PRIV_ADMIN, DoShowDatabaseDBRef},  // 178
    {1, 0, 65, {"FORCE", "UNLOCK", "DBREF", "%", "WITH", "TICKET", "%"}, KIND_EXECUTE, PRIV_DATABASES, DoUnlockDBRef},  // 179
    {1, 0, 115, {"SHOW", "AUTOCOMMIT"}, KIND_SELECT, 0, DoShowAutocommitCommand},  // 180
    {0, 0, 116, {"SET", "AUTOCOMMIT", "TO", "%"}, KIND_EXECUTE, 0, DoSetAutocommitCommand},  // 181
    {1, 0, 117, {"ENABLE", "AUTOCOMMIT"}, KIND_EXECUTE, 0, DoSetAutocommitCommand},  // 182
    {1, 0, 118, {"DISABLE", "AUTOCOMMIT"}, KIND_EXECUTE, 0, DoSetAutocommitCommand},  // 183
    {1, 0, 194, {"ENABLE", "PLUGIN", "%"}, KIND_EXECUTE, PRIV_PLUGIN, DoEnableDisablePlugin},  // 184
    {1, 0, 195, {"DISABLE", "PLUGIN", "%"}, KIND_EXECUTE, PRIV_PLUGIN, DoEnableDisablePlugin},  // 185
    {1, 0, 196, {"SHOW", "PLUGINS"}, KIND_SELECT, 0, DoShowPlugins},  // 186
    {0, 0, 197, {"UPLOAD", "PLUGIN", "%"}, KIND_EXECUTE, PRIV_PLUGIN, DoUploadPlugin},  // 187
    {1, 0, 59, {"START", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoStartStopDatabase},  // 188
    {1, 0, 60, {"STOP", "DATABASE", "%"}, KIND_EXECUTE, PRIV_SERVER, DoStartStopDatabase},  // 189
    {1, 0, 114, {"SHOW", "DATABASE", "INFO", "%"}, KIND_SELECT, 0, DoShowDatabaseInfo},  // 190
    {1, 0, 105, {"QUIT", "SERVER"}, KIND_EXECUTE, PRIV_ADMIN, DoQuit},  // 191
    {1, 0, 106, {"SHOW", "MY", "INFO"}, KIND_SELECT, 0, DoShowMyInfo},  // 192
    {1, 0, 107, {"SHOW", "MY", "INFO", "FOR", "KEY", "%"}, KIND_SELECT, 0, DoShowMyInfo},  // 193
    {0, 0, 0, {"COLLECT", "STATISTICS"}, KIND_EXECUTE, PRIV_ADMIN, DoUpdateStats},  // 194
    {1, 0, 0, {"COLLECT", "STATS"}, KIND_EXECUTE, PRIV_ADMIN, DoUpdateStats},  // 195
    {1, 0, 203, {"SHOW", "SERVER", "STATS"}, KIND_SELECT, PRIV_ADMIN, DoShowStats},  // 196
    {1, 0, 204, {"SHOW", "SERVER", "STATS", "FROM", "%", "TO", "%"}, KIND_SELECT, PRIV_ADMIN, DoShowStats},  // 197
    {1, 0, 205, {"SHOW", "DATABASE", "STATS", "%s"}, KIND_SELECT, PRIV_ADMIN, DoShowStats},  // 198
    {1, 0, 206, {"SHOW", "DATABASE", "STATS", "%s", "FROM", "%", "TO", "%"}, KIND_SELECT, PRIV_ADMIN, DoShowStats},  // 199
    {1, 0, 0, {"SHOW", "LOCKED", "RECORDS"}, KIND_SELECT, 0, DoShowLockedRecords},  // 200
    {0, 0, 0, {"SHOW", "RECORD", "LOCKS"}, KIND_SELECT, 0, DoShowLockedRecords},  // 201
    {1, 1, 140, {"LOCK", "RECORD", "%", "ON", "TABLE", "%"}, KIND_EXECUTE, PRIV_INSERT_UPDATE_DELETE, DoLockUnlockRecord},  // 202
    {1, 1, 141, {"UNLOCK", "RECORD", "%", "ON", "TABLE", "%"}, KIND_EXECUTE, PRIV_INSERT_UPDATE_DELETE, DoLockUnlockRecord},  // 203
    {1, 1, 143, {"LOCK", "TABLE", "%"}, KIND_EXECUTE, PRIV_INSERT_UPDATE_DELETE, DoLockUnlockRecord},  // 204
    {1, 1, 144, {"UNLOCK", "TABLE", "%"}, KIND_EXECUTE, PRIV_INSERT_UPDATE_DELETE, DoLockUnlockRecord},  // 205
    {1, 0, 142, {"UNLOCK", "RECORD", "WITH", "ID", "%"}, KIND_EXECUTE, 0, DoLockUnlockRecord},  // 206
    {1, 0, 0, {"ENABLE", "LOGIN", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoEnableLogin},  // 207
    {1, 0, 0, {"DISABLE", "LOGIN", "%"}, KIND_EXECUTE, PRIV_PRIVILEGES, DoDisableLogin},  // 208
    {1, 0, 0, {"SHOW", "DISABLED", "LOGINS"}, KIND_SELECT, PRIV_PRIVILEGES, DoShowDisabledLogin},  // 209
    {1, 0, 0, {"SHOW", "FILES"}, KIND_SELECT, 0, DoFileList},  // 210
    {1, 0, 0, {"SHOW", "FILE", "INFO", "%"}, KIND_SELECT, 0, DoFileInfo},  // 211
    {1, 0, 0, {"SHOW", "FILE", "EXISTS", "%"}, KIND_SELECT, 0, DoFileExists},  // 212
    {1, 0, 0, {"FILE", "DELETE", "%"}, KIND_EXECUTE, PRIV_UPLOAD_FILE, DoFileRemove},  // 213
    {1, 0, 0, {"FILE", "RENAME", "%", "TO", "%"}, KIND_EXECUTE, PRIV_UPLOAD_FILE, DoFileRename},  // 214
    {1, 0, 0, {"FILE", "DOWNLOAD", "%"}, KIND_EXECUTE, PRIV_DOWNLOAD_FILE, DoFileDownload},  // 215
    {1, 0, 214, {"FILE", "UPLOAD", "%"}, KIND_EXECUTE, PRIV_UPLOAD_FILE, DoFileUpload},  // 216
    {1, 0, 215, {"FILE", "UPLOAD", "%", "WITH", "REPLACE"}, KIND_EXECUTE, PRIV_UPLOAD_FILE, DoFileUpload},  // 217
    {0, 1, 0, {"SAVEPOINT", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 218
    {0, 1, 0, {"RELEASE", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 219
    {0, 1, 0, {"RELEASE", "SAVEPOINT", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 220
    {0, 1, 0, {"ROLLBACK", "TO", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 221
    {0, 1, 0, {"ROLLBACK", "TRANSACTION", "TO", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 222
    {0, 1, 0, {"ROLLBACK", "TO", "SAVEPOINT", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 223
    {0, 1, 0, {"ROLLBACK", "TRANSACTION", "TO", "SAVEPOINT", "%"}, KIND_EXECUTE, 0, DoCommandNotSupported},  // 224
    {0, 0, 0, {}, 0, 0, nullptr},  // end of the table
};
// clang-format on

const size_t sActionsCount = sizeof(sActions) / sizeof(sActions[0]) - 1;
