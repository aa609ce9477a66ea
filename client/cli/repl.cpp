// repl.cpp - the readline loop: prompts, continuation lines and history of
// whole statements.
#include "repl.h"

#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// The signal mask while the prompt waits for a key: SIGINT is blocked
// everywhere else, so it can only arrive inside ppoll.
sigset_t g_wait_mask;

// Reads a key for readline. A Ctrl-C shows "^C" and ends the line; the caller
// then drops what was typed.
int read_key(FILE* in) {
    pollfd p{fileno(in), POLLIN, 0};
    for (;;) {
        if (g_interrupted) {
            std::fputs("^C", rl_outstream);
            std::fflush(rl_outstream);
            return '\n';
        }
        if (ppoll(&p, 1, nullptr, &g_wait_mask) < 0) {
            if (errno == EINTR) continue;
            return EOF;
        }
        unsigned char c;
        ssize_t n = ::read(p.fd, &c, 1);
        if (n == 1) return c;
        if (n == 0 || errno != EINTR) return EOF;
    }
}

// While the prompt waits, Ctrl-C drops the typed input instead of ending the
// client; while a statement runs it still ends the client (and the server
// rolls back its open transaction).
class InterruptibleInput {
public:
    InterruptibleInput() {
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_action_);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigprocmask(SIG_BLOCK, &block, &old_mask_);
        g_wait_mask = old_mask_;
        sigdelset(&g_wait_mask, SIGINT);
    }
    ~InterruptibleInput() {
        // Unblock first: a Ctrl-C still pending only sets the flag.
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        sigaction(SIGINT, &old_action_, nullptr);
    }
    InterruptibleInput(const InterruptibleInput&) = delete;
    InterruptibleInput& operator=(const InterruptibleInput&) = delete;

private:
    struct sigaction old_action_ {};
    sigset_t old_mask_{};
};

// One line from readline; nullptr at the end of input.
std::unique_ptr<char, void (*)(void*)> read_line(const char* prompt) {
    InterruptibleInput guard;
    g_interrupted = 0;
    return {readline(prompt), std::free};
}

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
    rl_catch_signals = 0;  // SIGINT is handled by InterruptibleInput
    rl_getc_function = read_key;
    HistoryFile history;
    StatementSplitter splitter;
    std::string entry;  // the lines of the statement being typed, for the history
    int status = 0;
    std::cout << "Type \\help for help, \\q to quit." << std::endl;
    for (;;) {
        auto raw = read_line(splitter.pending() ? kContinuation : kPrompt);
        if (g_interrupted) {
            splitter.reset();
            entry.clear();
            continue;
        }
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
