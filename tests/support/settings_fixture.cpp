// settings_fixture.cpp - in-process settings database for tests.
#include "support/settings_fixture.h"

#include <cstdio>

#include "server/log.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "server/stats.h"

void reset_settings_for_test() {
    Settings& s = settings;
    s.running = 1;
    s.num_threads = DEFAULT_NUM_THREADS;
    s.backlog = DEFAULT_BACKLOG;
    s.port = DEFAULT_PORT;
    s.log_format = LOG_FORMAT_SQLITE;
    s.log_verbosity = LOG_VERBOSITY_SQL_ERRORS;
    s.debug_mode = DEBUG_NONE;
    s.max_commandlen = 4096000;
    s.max_memalloc = 12582912;
    s.chunk_size = 307200;
    s.lock_db_time = 800;
    s.update_period_stats = 600;
    s.min_buffer_size = 16384;
    s.max_connections = 0;
    s.max_timeout = 900;
    s.max_backups = 0;
    s.dont_check_backup_folder = 0;
    s.ssl_disable_renegotiation = 0;
    s.automatic_rowid = 1;
    s.load_disabled_logins = 1;
    for (SharedText* t :
         {&s.listen_address, &s.log_file_path, &s.config_file_path, &s.settings_file_path,
          &s.data_path, &s.databases_path, &s.restore_path, &s.backup_path, &s.manual_backup_path,
          &s.http_path, &s.upload_path, &s.secret_token})
        t->clear();
}

void SettingsDbTest::SetUp() {
    reset_settings_for_test();
    settings.settings_file_path.set(settings_file());
    settings.data_path.set(dir.path());
    settings.config_file_path.set(config_file());
    snprintf(settings.exe_name, sizeof(settings.exe_name), "kestrix");
    snprintf(settings.server_path, sizeof(settings.server_path), "%s", dir.path().c_str());
}

void SettingsDbTest::open_settings() {
    pref_open();
    opened = true;
}

void SettingsDbTest::TearDown() {
    if (opened) pref_close();
    log_close();
    reset_settings_for_test();
}

void DataFolderTest::SetUp() {
    reset_settings_for_test();
    settings.data_path.set(dir.path());
    snprintf(settings.exe_name, sizeof(settings.exe_name), "kestrix");
}

void DataFolderTest::TearDown() {
    log_close();
    stats_close();
    debug_close();
    reset_settings_for_test();
}
