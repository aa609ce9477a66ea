// The log in its formats: text lines with exactly seven TABs, rows of the
// SQLite LOG table, and reading back the last lines of the text log.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/sqlite_raii.h"
#include "server/log.h"
#include "server/settings.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

class LogTest : public DataFolderTest {
protected:
    std::vector<std::string> text_lines() {
        std::vector<std::string> lines;
        std::istringstream in(read_text_file(dir.file("kestrix_log.txt")));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

ClientLogInfo someone() {
    ClientLogInfo who;
    who.username = "bob";
    who.database = "sales";
    who.address = "127.0.0.1";
    who.version = 2011;
    who.connection_id = 7;
    return who;
}

TEST_F(LogTest, TextLinesHaveSevenTabsAndFlattenedDescriptions) {
    settings.log_format = LOG_FORMAT_TEXT;
    log_open();
    log_system("system\tevent\nwith breaks");
    log_client_event(someone(), "SELECT 1;\n-- two lines", "SELECT", 20, 0.25);
    auto lines = text_lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 7) << line;
    EXPECT_NE(lines[0].find("\tsystem event with breaks\tSYSTEM\t*\t*\t*\t*\t*"),
              std::string::npos);
    EXPECT_NE(lines[1].find("\tSELECT 1; -- two lines\tSELECT\tbob\tsales\t127.0.0.1\t7\t0.2500"),
              std::string::npos)
        << lines[1];
}

TEST_F(LogTest, SqliteRowsKeepTheDescriptionAsItIs) {
    log_open();
    ASSERT_NE(settings.log_db, nullptr);
    log_system("line one\tand two");
    log_client_event(someone(), "x' OR '1'='1", "ERROR", 10, 1.5);
    sqlite3* db = settings.log_db;
    EXPECT_EQ(query_text(db, "SELECT description FROM LOG WHERE operation='SYSTEM'"),
              "line one\tand two");
    EXPECT_EQ(
        query_text(
            db,
            "SELECT description || '|' || username || '|' || database || '|' || connectionID || "
            "'|' || version || '|' || seconds FROM LOG WHERE operation='ERROR'"),
        "x' OR '1'='1|bob|sales|7|2011|1.5");
}

TEST_F(LogTest, SwitchingFormatReopensOnlyOnChange) {
    log_open();
    sqlite3* before = settings.log_db;
    log_switch(LOG_FORMAT_SQLITE);
    EXPECT_EQ(settings.log_db, before);
    log_switch(LOG_FORMAT_TEXT);
    EXPECT_EQ(settings.log_db, nullptr);
    EXPECT_NE(settings.log_file, nullptr);
}

TEST_F(LogTest, ReadingTheLastRowsNewestFirst) {
    settings.log_format = LOG_FORMAT_TEXT;
    log_open();
    for (int i = 0; i < 100; ++i) log_system(("event " + std::to_string(i)).c_str());
    for (int order : {1, 0}) {
        const char* sql = nullptr;
        std::string error;
        sqlite3* db = log_read_nrows_db(10, order, &sql, &error);
        ASSERT_NE(db, nullptr) << error;
        Stmt st(db, sql);
        st.bind(1, 10);
        std::vector<std::string> got;
        while (st.step() == SQLITE_ROW) got.push_back(st.text_at(1));
        ASSERT_EQ(got.size(), 10u);
        EXPECT_EQ(got.front(), order == 1 ? "event 99" : "event 90");
        EXPECT_EQ(got.back(), order == 1 ? "event 90" : "event 99");
        sqlite3_close(db);
    }
    log_system("after reading");  // the file position is back at the end
    EXPECT_EQ(text_lines().back().find("after reading") != std::string::npos, true);
}

}  // namespace
