// The server command matcher: tokenizing, the quick scan that lets SQL
// through cheaply, exact matching in table order, and publishing commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/engine.h"
#include "commands/handlers.h"
#include "server/prefs.h"
#include "server/settings.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

std::vector<std::string> tokens_of(std::string text) {
    char* tokens[COMMAND_MAX_TOKENS] = {};
    int n = command_tokenize(text.data(), tokens);
    return std::vector<std::string>(tokens, tokens + n);
}

TEST(CommandTokenizer, QuotesParenthesesAndTheAsTail) {
    using V = std::vector<std::string>;
    EXPECT_EQ(tokens_of("  USE   DATABASE  sales "), (V{"USE", "DATABASE", "sales"}));
    EXPECT_EQ(tokens_of("USE DATABASE 'my db'"), (V{"USE", "DATABASE", "my db"}));
    EXPECT_EQ(tokens_of("USE DATABASE \"it\"\"s\""), (V{"USE", "DATABASE", "it\"s"}));
    EXPECT_EQ(tokens_of("USE DATABASE 'open"), (V{"USE", "DATABASE", "open"}));
    EXPECT_EQ(tokens_of("ATTACH 'f.db' AS other name"), (V{"ATTACH", "f.db", "AS", "other name"}));
    EXPECT_EQ(tokens_of("x (a b) y"), (V{"x", "a b", "y"}));
    EXPECT_EQ(tokens_of("x (a b"), (V{"x"}));
    std::string many;
    for (int i = 0; i < 30; ++i) many += "w ";
    EXPECT_EQ(tokens_of(many).size(), 20u);
}

TEST(CommandQuickScan, LeadingKeywordsOnly) {
    struct Case {
        const char* text;
        bool passes;
    } cases[] = {
        {"SHOW DATABASES", true},
        {"show data", true},
        {"SHOW DATABASES junk", true},
        {"DROP DA", true},
        {"CREATE TABLE t (a)", false},
        {"SELECT 1", false},
        {"SHOW", false},
        {"INSERT INTO t VALUES(1)", false},
        {"PING;", true},
    };
    for (const auto& c : cases) EXPECT_EQ(command_quick_scan(c.text), c.passes) << c.text;
}

struct Expect {
    const char* text;
    command_handler handler;  // nullptr: no record fits
    int code;
    std::vector<std::string> args;
};

TEST(CommandMatch, FirstRecordThatFitsWins) {
    const Expect cases[] = {
        {"show databases;", DoShowDatabases, 109, {}},
        {"SHOW DATABASES WITH DETAILS", DoShowDatabases, 110, {}},
        {"USE DATABASE 'my db'", DoUseDatabase, 111, {"my db"}},
        {"SHOW TABLE INFO TARNIC t1", DoShowTableInfo, 49, {"t1"}},
        {"SHOW TABLE INFO t1", DoShowTableInfo, 48, {"t1"}},
        {"ROLLBACK TO SAVEPOINT s1", DoCommandNotSupported, 0, {"s1"}},
        {"ROLLBACK", DoRollbackTransaction, 0, {}},
        {"ATTACH 'f.db' AS other", DoAttachDatabase, 212, {"f.db", "other"}},
        {"GRANT SELECT TO GROUP g FOR TABLE t IN DATABASE d",
         DoGrantRevokePrivilege,
         15,
         {"SELECT", "g", "t", "d"}},
        {"SHOW DEBUG_MEM a b c", DoDebugCommand, 3, {"a", "b", "c"}},
        {"CREATE DATABASE x WITH KEY k IF NOT EXISTS", DoCreateDatabase, 129, {"x", "k"}},
        {"DROP DA", nullptr, 0, {}},
        {"USE DATABASE", nullptr, 0, {}},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        CommandMatch m = command_match(text.data());
        EXPECT_FALSE(m.syntax_error) << c.text;
        if (!c.handler) {
            EXPECT_EQ(m.record, nullptr) << c.text;
            continue;
        }
        ASSERT_NE(m.record, nullptr) << c.text;
        EXPECT_EQ(m.record->handler, c.handler) << c.text;
        EXPECT_EQ(m.record->code, c.code) << c.text;
        std::vector<std::string> args;
        for (int i = 0; m.args[i]; ++i) args.push_back(m.args[i]);
        EXPECT_EQ(args, c.args) << c.text;
    }
    std::string short_text = "DROP DA";
    EXPECT_EQ(command_match(short_text.data()).ntokens, 2);
}

TEST(CommandMatch, ASemicolonTokenIsASyntaxError) {
    std::string text = "SHOW DATABASES ;x";
    CommandMatch m = command_match(text.data());
    EXPECT_TRUE(m.syntax_error);
    EXPECT_EQ(m.record, nullptr);
}

TEST(CommandTable, HoldsEveryBuiltInCommand) {
    EXPECT_EQ(sActionsCount, 224u);
}

using CommandPublishing = SettingsDbTest;

TEST_F(CommandPublishing, ListedCommandsAreWrittenWithValuePlaceholders) {
    open_settings();
    commands_init();
    sqlite3* mem = settings.inmemorydb;
    EXPECT_EQ(
        query_text(
            mem,
            "SELECT context || '|' || privilege FROM Commands WHERE command='USE DATABASE value '"),
        "EXECUTE|NONE");
    EXPECT_EQ(
        query_text(mem,
                   "SELECT context || '|' || privilege FROM Commands WHERE command='SHOW USERS '"),
        "SELECT|PRIVILEGES");
    EXPECT_EQ(query_int(mem, "SELECT count(*) FROM Commands WHERE command LIKE 'SHOW DEBUG%'"), 0);
    EXPECT_GT(query_int(mem, "SELECT count(*) FROM Commands"), 150);
}

}  // namespace
