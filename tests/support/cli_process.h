// cli_process.h - runs the kestrix-cli binary the way people do: with its
// standard input from a pipe, or on a pseudo-terminal that a test types into.
//
// Waits are bounded by a generous deadline only so that a broken client
// fails the test instead of hanging it; nothing asserts on durations.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/server_process.h"

inline constexpr int kCliDeadlineMs = 30000;

// Runs kestrix-cli with `args`, writes `input` to its standard input and
// closes it, and collects its output. The child has no controlling terminal.
// `env` is added to the environment; KESTRIX_PASSWORD is removed unless set there.
RunResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::map<std::string, std::string>& env);

// kestrix-cli on a pseudo-terminal (TERM=dumb, HOME=`home`, no KESTRIX_PASSWORD).
class CliTerminal {
public:
    CliTerminal(const std::vector<std::string>& args, const std::string& home);
    ~CliTerminal();
    CliTerminal(const CliTerminal&) = delete;
    CliTerminal& operator=(const CliTerminal&) = delete;

    // Types `text` (a newline ends a line, as the Enter key does).
    void type(const std::string& text);
    // Reads until `text` appears after what earlier waits consumed; false on
    // end of output or the deadline.
    bool wait_for(const std::string& text);
    // Reads until `a` or `b` appears; returns the one seen first ("" when none).
    std::string wait_for_either(const std::string& a, const std::string& b);
    // Waits for the exit status (-1 when the process did not exit normally).
    int wait_exit();
    // Everything the terminal showed so far.
    const std::string& transcript() const { return transcript_; }

private:
    bool read_some(int timeout_ms);

    pid_t pid_ = -1;
    int master_ = -1;
    std::string transcript_;
    size_t consumed_ = 0;
    bool exited_ = false;
};
