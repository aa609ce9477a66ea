// repl.cpp - the readline loop: prompts, continuation lines and history of
// whole statements.
#include "repl.h"

#include <readline/history.h>
#include <readline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "splitter.h"

namespace kestrix::cli {

namespace {

constexpr const char* kPrompt = "kestrix> ";
constexpr const char* kContinuation = "    -> ";
constexpr int kHistoryLines = 1000;

// Loads the history file on construction and writes it back on destruction.
class HistoryFile {
public:
    HistoryFile() {
        using_history();
        stifle_history(kHistoryLines);
        if (const char* home = std::getenv("HOME"); home && *home) {
            path_ = std::string(home) + "/.kestrix_history";
            read_history(path_.c_str());
        }
    }
    ~HistoryFile() {
        if (!path_.empty()) write_history(path_.c_str());
        clear_history();
    }
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

private:
    std::string path_;
};

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// Runs what one line completed; false when the loop has to end.
bool run_pieces(const std::vector<Piece>& pieces, Runner& runner, int& status) {
    for (const Piece& p : pieces) {
        if (p.kind == Piece::Kind::kCommand) {
            if (runner.run_command(p.text) == CommandResult::kQuit) return false;
        } else {
            runner.run_statement(p.text);
        }
        if (runner.connection_lost()) {
            status = 2;
            return false;
        }
    }
    return true;
}

}  // namespace

int run_interactive(Runner& runner) {
    rl_readline_name = "kestrix";
    HistoryFile history;
    StatementSplitter splitter;
    std::string entry;  // the lines of the statement being typed, for the history
    int status = 0;
    std::cout << "Type \\help for help, \\q to quit." << std::endl;
    for (;;) {
        std::unique_ptr<char, FreeDeleter> raw(
            readline(splitter.pending() ? kContinuation : kPrompt));
        if (!raw) {
            std::cout << std::endl;  // end of input (Ctrl-D) ends the line the prompt is on
            break;
        }
        std::string line(raw.get());
        if (!line.empty()) entry += (entry.empty() ? "" : "\n") + line;
        auto pieces = splitter.feed_line(line);
        if (!splitter.pending() && !entry.empty()) {
            add_history(entry.c_str());
            entry.clear();
        }
        if (!run_pieces(pieces, runner, status)) break;
    }
    return status;
}

}  // namespace kestrix::cli
