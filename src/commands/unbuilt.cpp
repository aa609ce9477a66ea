// unbuilt.cpp - handlers of server commands that are not available in this
// version yet. Each answers through command_not_built, which replies 7015
// with the command text; a command moves out of this file when its handler
// is written.
#include "commands/engine.h"
#include "commands/handlers.h"

int DoDebugCommand(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDebugPathCommand(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoEnableDisableConnection(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoEnableDisableRestore(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowRestoreStatus(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowSQLRestore(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoRestoreDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoSetEnginePreference(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDropEnginePreference(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowEnginePreferences(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoExecuteEngine(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoSetKeyForDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoReKeyDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowCommands(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowInfo(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowPreferences(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowPreference(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoSetPreference(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDropPreference(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowConnections(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowLog(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowLastNRowsFromLog(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoCloseConnection(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoCreateSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoRenameSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoUpdateSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoUpdateScheduleNew(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDropSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoAttachSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowSchedule(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoUploadDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDownloadDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDownloadBackupDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoAbortChunk(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoBackupSettings(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoBackupDatabase(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowBackups(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoDeleteBackup(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoRestoreBackup(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoEnableDisablePlugin(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowPlugins(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoUploadPlugin(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoQuit(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowMyInfo(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoUpdateStats(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowStats(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoShowLockedRecords(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoLockUnlockRecord(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileList(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileInfo(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileExists(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileRemove(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileRename(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileDownload(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoFileUpload(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
int DoCommandNotSupported(client* session, char** args, int code) {
    return command_not_built(session, args, code);
}
