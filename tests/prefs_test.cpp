// Preferences: start-up rules with command-line precedence, run-time changes
// through pref_notify, the JSON start-up file, and the settings database
// upgrade and legacy import.
#include <gtest/gtest.h>

#include <string>

#include "core/dbhelpers.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

std::string pref(const char* key) {
    return pref_value(key).value_or("<none>");
}

// Writes rows into a settings file that does not exist yet, as a previous run would have.
void seed_preferences(const std::string& path,
                      const std::vector<std::pair<std::string, std::string>>& rows) {
    sqlite3* db = open_settings_file(path);
    ASSERT_NE(db, nullptr);
    exec_ok(db,
            "CREATE TABLE IF NOT EXISTS Preferences (key TEXT UNIQUE COLLATE NOCASE, value TEXT);");
    for (const auto& [k, v] : rows) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "REPLACE INTO Preferences (key, value) VALUES (?1, ?2)", -1, &st,
                           nullptr);
        sqlite3_bind_text(st, 1, k.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    sqlite3_close_v2(db);
}

using PrefsStart = SettingsDbTest;

TEST_F(PrefsStart, NewFileGetsDefaultsAndVersionFive) {
    open_settings();
    EXPECT_EQ(pref("PREF_VERS"), "5");
    EXPECT_EQ(pref("SERVER_NAME"), "Kestrix");
    EXPECT_EQ(pref("HTTP_ENABLED"), "0");
    EXPECT_EQ(pref("UPLOAD_PATH"), dir.file("upload"));
    EXPECT_EQ(settings.databases_path.get(), dir.file("databases"));
    EXPECT_EQ(settings.port, 4430);
}

TEST_F(PrefsStart, StoredValuesApplyWithinTheirBounds) {
    // First start creates the file; then the stored values of a later start.
    open_settings();
    pref_close();
    opened = false;
    seed_preferences(settings_file(),
                     {{"NUM_THREADS", "35"},
                      {"BACKLOG", "50"},  // not above 99: default stays
                      {"SERVER_PORT", "5000"},
                      {"MINIMUM_BUFFER_SIZE", "1000"},  // start rule only rejects -1
                      {"MAX_TIMEOUT", "-1"},            // -1 keeps the default
                      {"MAX_COMMANDLEN", "50000"},      // not above 99999
                      {"CHUNK_SIZE", "60000"},
                      {"LOCK_DB_TIME", "299"},             // not above 299
                      {"UPDATE_PERIOD_STATS", "30"},       // not above 59
                      {"VERBOSE_LOG", "15"},               // not 0, 10 or 20
                      {"DEBUG_FORMAT", "VERBOSE"},         // unknown word reads as NONE
                      {"SSL_DISABLE_RENEGOTATION", "ON"},  // numeric at start: 0
                      {"AUTOMATIC_ROWID_ENABLED", "off"},
                      {"DONT_CREATE_BACKUP_FOLDER", "0"},
                      {"DONT_CHECK_BACKUP_FOLDER", "1"},
                      {"MAX_CONNECTIONS", "50"}});
    open_settings();
    EXPECT_EQ(settings.num_threads, 35);
    EXPECT_EQ(settings.backlog, 1024);
    EXPECT_EQ(settings.port, 5000);
    EXPECT_EQ(settings.min_buffer_size, 1000);
    EXPECT_EQ(settings.max_timeout, 900);
    EXPECT_EQ(settings.max_commandlen, 4096000);
    EXPECT_EQ(settings.chunk_size, 60000);
    EXPECT_EQ(settings.lock_db_time, 800);
    EXPECT_EQ(settings.update_period_stats, 600);
    EXPECT_EQ(settings.log_verbosity, 10);
    EXPECT_EQ(settings.debug_mode, 0);
    EXPECT_EQ(settings.ssl_disable_renegotiation, 0);
    EXPECT_EQ(settings.automatic_rowid, 0);
    EXPECT_EQ(settings.dont_check_backup_folder, 1);
    EXPECT_EQ(settings.max_connections, 50);
}

TEST_F(PrefsStart, CommandLineValuesWin) {
    open_settings();
    pref_close();
    opened = false;
    seed_preferences(settings_file(), {{"NUM_THREADS", "35"},
                                       {"SERVER_PORT", "5000"},
                                       {"VERBOSE_LOG", "20"},
                                       {"DEBUG_FORMAT", "CONSOLE"},
                                       {"LOG_FORMAT", "TEXT"},
                                       {"DATABASES_PATH", "/stored/dbs"}});
    // As if started with -t 8 -p 6000 -v NONE -g FILE -f CONSOLE -d DIR/mine.
    settings.num_threads = 8;
    settings.port = 6000;
    settings.log_verbosity = 0;
    settings.debug_mode = DEBUG_FILE;
    settings.log_format = LOG_FORMAT_CONSOLE;
    settings.databases_path.set(dir.file("mine"));
    open_settings();
    EXPECT_EQ(settings.num_threads, 8);
    EXPECT_EQ(settings.port, 6000);
    EXPECT_EQ(settings.log_verbosity, 0);
    EXPECT_EQ(settings.debug_mode, DEBUG_FILE);
    EXPECT_EQ(settings.log_format, LOG_FORMAT_CONSOLE);
    EXPECT_EQ(settings.databases_path.get(), dir.file("mine"));
    settings.debug_mode = DEBUG_NONE;
}

TEST_F(PrefsStart, ExplicitDefaultsOnTheCommandLineStillLetStoredValuesApply) {
    open_settings();
    pref_close();
    opened = false;
    seed_preferences(settings_file(), {{"NUM_THREADS", "35"}, {"SERVER_PORT", "5000"}});
    settings.num_threads = 20;  // -t 20 -p 4430
    settings.port = 4430;
    open_settings();
    EXPECT_EQ(settings.num_threads, 35);
    EXPECT_EQ(settings.port, 5000);
}

using PrefsRun = SettingsDbTest;

TEST_F(PrefsRun, BoundsDecideWhatIsAppliedAndWhatIsStored) {
    open_settings();
    struct Case {
        const char* key;
        const char* value;
        int answer;          // pref_notify result
        const char* stored;  // value in the table afterwards, "<none>" if absent
        aint* field;
        int32_t field_after;
    };
    const Case cases[] = {
        {"MAX_COMMANDLEN", "50000", 1, "50000", &settings.max_commandlen, 4096000},
        {"MINIMUM_BUFFER_SIZE", "1000", 1, "1000", &settings.min_buffer_size, 16384},
        {"MINIMUM_BUFFER_SIZE", "4096", 1, "4096", &settings.min_buffer_size, 4096},
        {"CHUNK_SIZE", "60000", 1, "60000", &settings.chunk_size, 60000},
        {"UPDATE_PERIOD_STATS", "30", 1, "30", &settings.update_period_stats, 600},
        {"LOCK_DB_TIME", "300", 1, "300", &settings.lock_db_time, 300},
        {"MAX_TIMEOUT", "-2", 0, "<none>", &settings.max_timeout, 900},
        {"SERVER_PORT", "5000", 1, "5000", &settings.port, 4430},  // applied at the next start
        {"NUM_THREADS", "-20", 0, "<none>", &settings.num_threads, 20},
        {"SSL_DISABLE_RENEGOTATION", "ON", 1, "ON", &settings.ssl_disable_renegotiation, 1},
        {"VERBOSE_LOG", "20", 1, "20", &settings.log_verbosity, 20},
        {"VERBOSE_LOG", "7", 1, "7", &settings.log_verbosity, 20},
        {"MAX_CONNECTIONS", "50", 1, "50", &settings.max_connections, 50},
        {"MAX_CONNECTIONS", "100", 0, "50", &settings.max_connections, 50},  // only lowers
        {"MAX_CONNECTIONS", "10", 1, "10", &settings.max_connections, 10},
        {"DEBUG_FORMAT", "VERBOSE", 0, "<none>", &settings.debug_mode, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pref_notify(c.key, c.value), c.answer) << c.key << "=" << c.value;
        EXPECT_EQ(pref(c.key), c.stored) << c.key << "=" << c.value;
        EXPECT_EQ(c.field->load(), c.field_after) << c.key << "=" << c.value;
    }
    if (settings.ssl_disable_renegotiation) pref_notify("SSL_DISABLE_RENEGOTATION", "0");
}

TEST_F(PrefsRun, TextKeysAndFoldersAreReplaced) {
    open_settings();
    EXPECT_EQ(pref_notify("SECRET_TOKEN", "tok-1"), 1);
    EXPECT_EQ(settings.secret_token.get(), "tok-1");
    EXPECT_EQ(pref_notify("BACKUP_PATH", "/somewhere/-2"), 1);  // path keys skip the number check
    EXPECT_EQ(settings.backup_path.get(), "/somewhere/-2");
    EXPECT_EQ(pref_drop("BACKUP_PATH"), 1);
    EXPECT_FALSE(settings.backup_path.is_set());
    EXPECT_EQ(pref_notify(nullptr, "x"), 0);
    EXPECT_EQ(pref_notify("LOG_FORMAT", "XML"), 0);
    EXPECT_EQ(pref("LOG_FORMAT"), "SQLITE");
}

TEST_F(PrefsRun, KeysWithQuotesAreStoredAsTheyAre) {
    open_settings();
    const char* key = "X' OR '1'='1";
    EXPECT_EQ(pref_write(key, "v'1"), 1);
    EXPECT_EQ(pref(key), "v'1");
    EXPECT_EQ(pref("PREF_VERS"), "5");
    EXPECT_EQ(dbpref_write(nullptr, "db'1", "KEY", "k"), 1);
}

using StartupFile = SettingsDbTest;

TEST_F(StartupFile, AppliesPairsOnceAndIsDeleted) {
    open_settings();
    pref_close();
    opened = false;
    seed_preferences(settings_file(), {{"HTTP_PATH", "/old/www"}});
    write_text_file(
        config_file(),
        R"({"SERVER_PORT": "5000", "DEBUG_SCHEDULER": true, "HTTP_PATH": null, "X": false})");
    open_settings();
    EXPECT_EQ(pref("SERVER_PORT"), "5000");
    EXPECT_EQ(pref("DEBUG_SCHEDULER"), "1");
    EXPECT_EQ(pref("X"), "0");
    EXPECT_EQ(settings.port, 5000);
    EXPECT_EQ(settings.debug_scheduler, 1);
    // The row was deleted, so the default web folder applies.
    EXPECT_EQ(settings.http_path.get(), dir.file("www"));
    EXPECT_FALSE(path_exists(config_file()));
}

TEST_F(StartupFile, OnlyTheFirstFortyNinePairsApply) {
    std::string json = "{";
    for (int i = 0; i < 60; ++i)
        json +=
            (i ? ", " : "") + std::string("\"K") + std::to_string(i) + "\": " + std::to_string(i);
    json += "}";
    write_text_file(config_file(), json);
    open_settings();
    EXPECT_EQ(pref("K0"), "0");
    EXPECT_EQ(pref("K48"), "48");
    EXPECT_EQ(pref("K49"), "<none>");
    EXPECT_FALSE(path_exists(config_file()));
}

TEST_F(StartupFile, MalformedFilesAreIgnored) {
    const char* texts[] = {R"({"SERVER_PORT": "5000")", R"({"SERVER_PORT" "5000"] })",
                           R"(["SERVER_PORT", "5000"])", R"({"SERVER_PORT": {"a": 1}})"};
    for (const char* text : texts) {
        write_text_file(config_file(), text);
        open_settings();
        EXPECT_EQ(pref("SERVER_PORT"), "4430") << text;
        pref_close();
        opened = false;
    }
}

using SettingsUpgrade = SettingsDbTest;

TEST_F(SettingsUpgrade, VersionTwoMovesDatabasePreferences) {
    seed_preferences(settings_file(), {{"PREF_VERS", "2"}});
    sqlite3* db = open_settings_file(settings_file());
    ASSERT_TRUE(
        exec_ok(db,
                "CREATE TABLE DatabasePreferences (databasename TEXT UNIQUE COLLATE NOCASE, key "
                "TEXT, is_stopped INTEGER, has_restore INTEGER, is_invisible INTEGER);"
                "INSERT INTO DatabasePreferences VALUES ('db1', 'k', 1, 0, 0);"
                "CREATE TABLE EnginePreferences (engine TEXT COLLATE NOCASE, databasename TEXT "
                "COLLATE NOCASE, key TEXT COLLATE NOCASE, value TEXT, "
                "UNIQUE(engine,databasename,key));"
                "INSERT INTO EnginePreferences VALUES ('e', 'db1', 'k', 'v');"
                "INSERT INTO Preferences VALUES ('SERVER_NAME', 'thaldor');"));
    sqlite3_close_v2(db);
    open_settings();
    EXPECT_EQ(pref("PREF_VERS"), "5");
    EXPECT_EQ(pref("SERVER_NAME"), "Kestrix");
    EXPECT_EQ(pref("UPLOAD_PATH"), dir.file("upload"));
    EXPECT_EQ(pref("HTTP_PORT"), "<none>");  // the web rows belong to the step from version 1
    sqlite3* s = settings.settings_db;
    EXPECT_EQ(
        query_text(s,
                   "SELECT group_concat(key || '=' || value, ',') FROM (SELECT key, value FROM "
                   "DBPreferences WHERE databasename='db1' ORDER BY key)"),
        "KEY=k,STOPPED=1");
    EXPECT_EQ(query_text(s, "SELECT value || ':' || groupid FROM EnginePreferences"), "v:0");
}

TEST_F(SettingsUpgrade, NewerVersionsAreLeftAlone) {
    open_settings();
    pref_write("PREF_VERS", "7");
    pref_close();
    opened = false;
    open_settings();
    EXPECT_EQ(pref("PREF_VERS"), "7");
}

TEST_F(SettingsUpgrade, LegacyImportCopiesAccountsAndPreferences) {
    std::string legacy = dir.file("brannox.settings");
    sqlite3* old = open_settings_file(legacy);
    ASSERT_TRUE(exec_ok(
        old,
        "CREATE TABLE Users (userid INTEGER PRIMARY KEY, username TEXT, password TEXT);"
        "CREATE TABLE Groups (groupid INTEGER PRIMARY KEY, groupname TEXT);"
        "CREATE TABLE UserGroup (groupid INTEGER, userid INTEGER);"
        "CREATE TABLE Privileges (groupid INTEGER, privilege INTEGER, databasename TEXT, "
        "tablename TEXT);"
        "CREATE TABLE Schedules (schedid INTEGER PRIMARY KEY, schedname TEXT, scheddays TEXT, "
        "schedhours INTEGER, schedminutes INTEGER, schedtime INTEGER, schedweeks INTEGER, "
        "schedlastweek INTEGER, schedtype TEXT, schedoptions TEXT, schedenabled INTEGER, "
        "schedlastday INTEGER, schedlasttime INTEGER);"
        "CREATE TABLE SchedDatabase (schedid INTEGER, dbName TEXT);"
        "CREATE TABLE Preferences (key TEXT, value TEXT);"
        "CREATE TABLE Keys (databasename TEXT, key TEXT);"
        "INSERT INTO Users VALUES (1, 'admin', 'x'), (2, 'bob', 'y');"
        "INSERT INTO Groups VALUES (1, 'admin');"
        "INSERT INTO UserGroup VALUES (1, 1);"
        "INSERT INTO Preferences VALUES ('SERVER_NAME', 'brannox'), ('MAX_LOCKTIME', '5'),"
        " ('PREF_VERS', '1');"
        "INSERT INTO Keys VALUES ('sales', 'secret');"));
    sqlite3_close_v2(old);
    // A fresh settings database, then the import into it.
    sqlite3* db = open_settings_file(settings_file());
    ASSERT_NE(db, nullptr);
    settings.settings_db = db;
    const char* schema =
        "CREATE TABLE Users (userid INTEGER PRIMARY KEY, username TEXT UNIQUE COLLATE NOCASE, "
        "password TEXT);"
        "CREATE TABLE Groups (groupid INTEGER PRIMARY KEY, groupname TEXT UNIQUE COLLATE NOCASE);"
        "CREATE TABLE UserGroup (groupid INTEGER, userid INTEGER, UNIQUE(groupid, userid));"
        "CREATE TABLE Privileges (groupid INTEGER, privilege INTEGER, databasename TEXT, tablename "
        "TEXT);"
        "CREATE TABLE Schedules (schedid INTEGER PRIMARY KEY, schedname TEXT, scheddays TEXT, "
        "schedhours "
        "INTEGER, schedminutes INTEGER, schedtime INTEGER, schedweeks INTEGER, schedlastweek "
        "INTEGER, "
        "schedtype TEXT, schedoptions TEXT, schedenabled INTEGER, schedlastday INTEGER, "
        "schedlasttime "
        "INTEGER);"
        "CREATE TABLE SchedDatabase (schedid INTEGER, databasename TEXT);"
        "CREATE TABLE Preferences (key TEXT UNIQUE COLLATE NOCASE, value TEXT);"
        "CREATE TABLE DatabasePreferences (databasename TEXT UNIQUE COLLATE NOCASE, key TEXT, "
        "is_stopped "
        "INTEGER, has_restore INTEGER, is_invisible INTEGER);";
    ASSERT_TRUE(exec_ok(db, schema));
    EXPECT_EQ(pref_migrate(legacy.c_str()), 1);
    EXPECT_EQ(query_text(db, "SELECT username FROM Users WHERE userid=2"), "bob");
    EXPECT_EQ(pref("SERVER_NAME"), "Kestrix");
    EXPECT_EQ(pref("MAX_LOCKTIME"), "<none>");
    EXPECT_EQ(pref("CHUNK_SIZE"), "307200");
    EXPECT_EQ(query_text(db, "SELECT key FROM DatabasePreferences WHERE databasename='sales'"),
              "secret");

    // A second import clashes with the rows now present and changes nothing.
    EXPECT_EQ(pref_migrate(legacy.c_str()), 0);
    EXPECT_EQ(query_int(db, "SELECT count(*) FROM Users"), 2);
    sqlite3_close_v2(db);
    settings.settings_db = nullptr;
}

}  // namespace
