// runner.cpp - statement dispatch with the select/execute retry, timing and
// the backslash commands.
#include "runner.h"

#include <chrono>
#include <vector>

#include "splitter.h"

namespace kestrix::cli {

void Runner::send(const std::string& sql, bool as_select) {
    if (as_select) {
        Cursor c = conn_.select(sql);
        out_ << render_table(c, render_);
    } else {
        conn_.execute(sql);
        out_ << "OK\n";
    }
}

void Runner::report(const Error& e) {
    if (e.code() < 0) lost_ = true;
    out_ << std::flush;
    err_ << "ERROR " << e.code() << ": " << e.what() << std::endl;
}

bool Runner::run_statement(const std::string& sql) {
    if (lost_) {
        report(Error(Error::kClosed, "not connected"));
        return false;
    }
    bool as_select = wants_select(sql);
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    try {
        try {
            send(sql, as_select);
        } catch (const Error& e) {
            if (e.code() != kWrongContext) throw;
            try {
                send(sql, !as_select);
            } catch (const Error& retry) {
                // Both kinds refused: the first answer says more.
                throw retry.code() == kWrongContext ? e : retry;
            }
        }
    } catch (const Error& e) {
        report(e);
        ok = false;
    }
    if (timing_) out_ << timing_line(std::chrono::steady_clock::now() - start) << "\n";
    out_ << std::flush;
    return ok;
}

CommandResult Runner::run_command(const std::string& text) {
    std::string name = text.substr(0, text.find_first_of(" \t"));
    size_t arg_at = text.find_first_not_of(" \t", name.size());
    std::string arg = arg_at == std::string::npos ? "" : text.substr(arg_at);
    if (name == "\\q" || name == "\\quit") return CommandResult::kQuit;
    if (name == "\\timing") {
        if (arg == "on" || arg == "off") {
            timing_ = arg == "on";
        } else if (arg.empty()) {
            timing_ = !timing_;
        } else {
            err_ << "ERROR: \\timing takes on, off or nothing" << std::endl;
            return CommandResult::kFailed;
        }
        out_ << "Timing is " << (timing_ ? "on." : "off.") << std::endl;
        return CommandResult::kDone;
    }
    if (name == "\\help" || name == "\\h" || name == "\\?") {
        out_ << help_text() << std::flush;
        return CommandResult::kDone;
    }
    err_ << "ERROR: unknown command " << name << " (\\help lists the commands)" << std::endl;
    return CommandResult::kFailed;
}

std::string help_text() {
    return "Type SQL statements and server commands ending with \";\"; a statement may span\n"
           "lines. SELECT, SHOW, PRAGMA, EXPLAIN, WITH and VALUES return tables.\n"
           "Examples:\n"
           "  CREATE DATABASE shop;\n"
           "  USE DATABASE shop;\n"
           "  CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT);\n"
           "  INSERT INTO items (name) VALUES ('pen');\n"
           "  COMMIT;   -- changes stay in an open transaction until COMMIT\n"
           "            -- unless ENABLE AUTOCOMMIT (or kestrix-cli -a) is used\n"
           "  SELECT * FROM items;\n"
           "Client commands:\n"
           "  \\q                quit (so does Ctrl-D)\n"
           "  \\timing [on|off]  show how long each statement takes\n"
           "  \\help             this text\n";
}

namespace {

// Runs the pieces in order; returns false when the script has to stop.
bool run_pieces(const std::vector<Piece>& pieces, Runner& runner, bool bail, int& status) {
    for (const Piece& p : pieces) {
        bool ok = true;
        if (p.kind == Piece::Kind::kCommand) {
            CommandResult r = runner.run_command(p.text);
            if (r == CommandResult::kQuit) return false;
            ok = r == CommandResult::kDone;
        } else {
            ok = runner.run_statement(p.text);
        }
        if (runner.connection_lost()) {
            status = 2;
            return false;
        }
        if (!ok) status = 1;
        if (!ok && bail) return false;
    }
    return true;
}

int finish_script(StatementSplitter& splitter, Runner& runner, bool bail, int status) {
    if (auto last = splitter.finish()) run_pieces({*last}, runner, bail, status);
    return status;
}

}  // namespace

int run_script(std::istream& in, Runner& runner, bool bail) {
    StatementSplitter splitter;
    int status = 0;
    std::string line;
    while (std::getline(in, line))
        if (!run_pieces(splitter.feed_line(line), runner, bail, status)) return status;
    return finish_script(splitter, runner, bail, status);
}

int run_text(const std::string& text, Runner& runner, bool bail) {
    StatementSplitter splitter;
    int status = 0;
    if (!run_pieces(splitter.feed_text(text), runner, bail, status)) return status;
    return finish_script(splitter, runner, bail, status);
}

}  // namespace kestrix::cli
