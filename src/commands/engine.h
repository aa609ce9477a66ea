// engine.h - the server command language: the command table, the tokenizer
// and the matcher.
//
// Besides SQL, clients send plain-text server commands ("USE DATABASE x",
// "SHOW TABLES", ...). Every request text that does not begin with an SQL
// keyword is offered to handle_custom_command first: it claims the text
// (answers it completely) or declines (the text then runs as SQL). Commands
// come from the built-in table `sActions` and from plug-ins (`pActions`).
// Matching is two-step: a cheap scan of the leading keywords without a copy,
// then tokenizing a copy and finding the first record whose tokens fit.
#pragma once

#include <atomic>
#include <cstddef>

struct client;

constexpr int COMMAND_MAX_TOKENS = 20;
constexpr size_t COMMAND_MAX_TEXT = 2048;

// Handler results.
enum CommandResult { CMD_DONE = 1, CMD_REPLIED = 2, CMD_DECLINED = 3, CMD_FAILED = 9 };
// Request kinds a command must arrive in.
enum CommandKind { KIND_SELECT = 2, KIND_EXECUTE = 3 };

using command_handler = int (*)(client* session, char** args, int code);

struct command_record {
    int listed;          // published in the Commands table
    int needs_database;  // the session must have a current database
    int code;            // passed to the handler
    const char*
        tokens[COMMAND_MAX_TOKENS];  // keywords; "%" argument, "%%" the rest, "%%%" optional
    int kind;                        // KIND_SELECT or KIND_EXECUTE
    int privilege;                   // privilege code needed, 0 none
    command_handler handler;         // NULL ends the table
    std::atomic<int> use_count{0};   // calls whose handler did not decline
};

extern command_record sActions[];
extern const size_t sActionsCount;

// Splits `text` in place into at most 20 tokens; answers the count.
int command_tokenize(char* text, char** tokens);
// Whether the leading keywords of some record begin the text.
bool command_quick_scan(const char* text);

// Result of matching a text against the tables.
struct CommandMatch {
    command_record* record = nullptr;  // NULL: no record fits
    char* args[COMMAND_MAX_TOKENS + 1] = {};
    int ntokens = 0;
    bool syntax_error = false;  // a token began with ";"
};
// Matches `text` (modified in place: one trailing ";" dropped, tokenized).
CommandMatch command_match(char* text);

void commands_init();
void commands_exit();

// Plug-in commands, registered while the server starts.
int check_plugin_command(const char* text);
int build_plugin_command(const char* text, int listed, int needs_database, int kind, int code,
                         int privilege, command_handler handler);

// Claims and answers a server command (1), or declines it (0).
int handle_custom_command(client* session, const char* text, size_t length);

// The reply of a command whose handler is not available in this version.
int command_not_built(client* session, char** args, int code);
