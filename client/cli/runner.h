// runner.h - runs statements and backslash commands on a logged-in
// connection and prints what they give.
//
// A statement goes as a select or an execute by its first word; when the
// server answers 7025 (wrong request kind for the command) it is sent once
// more as the other kind. Results go to `out` as tables, failures to `err` as
// "ERROR code: message".
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "kestrix_client.h"
#include "render.h"

namespace kestrix::cli {

inline constexpr int kWrongContext = 7025;

enum class CommandResult { kDone, kQuit, kFailed };

class Runner {
public:
    Runner(Connection& conn, std::ostream& out, std::ostream& err, RenderOptions render)
        : conn_(conn), out_(out), err_(err), render_(render) {}

    // True when the statement succeeded.
    bool run_statement(const std::string& sql);
    CommandResult run_command(const std::string& text);

    bool timing() const { return timing_; }
    // A local failure (closed socket, I/O error, bad reply): nothing more can
    // be sent on this connection.
    bool connection_lost() const { return lost_; }

private:
    void send(const std::string& sql, bool as_select);
    void report(const Error& e);

    Connection& conn_;
    std::ostream& out_;
    std::ostream& err_;
    RenderOptions render_;
    bool timing_ = false;
    bool lost_ = false;
};

std::string help_text();

// Runs every statement and command of a script (or of -c text). Returns the
// exit status: 0 when all succeeded, 1 when one failed, 2 when the
// connection was lost. With `bail` the first failure ends the script.
int run_script(std::istream& in, Runner& runner, bool bail);
int run_text(const std::string& text, Runner& runner, bool bail);

}  // namespace kestrix::cli
