// settings_fixture.h - an in-process settings database in a temporary folder,
// opened the way the server opens it, for tests of preferences, the upgrade
// and logging. `settings` is reset to its defaults first.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"

// Puts the fields the tests touch back to their defaults.
void reset_settings_for_test();

class SettingsDbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens the settings database (pref_open); call after preparing files.
    void open_settings();
    std::string settings_file() const { return dir.file("kestrix.settings"); }
    std::string config_file() const { return dir.file("kestrix.config"); }

    TempDir dir;
    bool opened = false;
};

// A data folder in a temporary directory for in-process tests of the log,
// debug output and statistics; everything they open is closed afterwards.
class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TempDir dir;
};
