// main.cpp - kestrix-cli: command line, password, connection and login, then
// the interactive prompt, a script or the -c statements.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>

#include "args.h"
#include "repl.h"
#include "runner.h"

using namespace kestrix;
using namespace kestrix::cli;

namespace {

// The terminal settings to restore when a signal ends the password prompt.
int g_tty_fd = -1;
termios g_saved_tty;

void restore_tty_and_reraise(int sig) {
    tcsetattr(g_tty_fd, TCSANOW, &g_saved_tty);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Turns echo off on `fd` for its lifetime, restoring it even on Ctrl-C.
class EchoOff {
public:
    explicit EchoOff(int fd) {
        if (tcgetattr(fd, &g_saved_tty) != 0) return;
        g_tty_fd = fd;
        termios quiet = g_saved_tty;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        old_int_ = std::signal(SIGINT, restore_tty_and_reraise);
        old_term_ = std::signal(SIGTERM, restore_tty_and_reraise);
        active_ = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (g_tty_fd < 0) return;
        if (active_) tcsetattr(g_tty_fd, TCSAFLUSH, &g_saved_tty);
        std::signal(SIGINT, old_int_);
        std::signal(SIGTERM, old_term_);
        g_tty_fd = -1;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool active_ = false;
    void (*old_int_)(int) = SIG_DFL;
    void (*old_term_)(int) = SIG_DFL;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// KESTRIX_PASSWORD, or a line typed on the terminal without echo.
std::optional<std::string> read_password(const Options& o) {
    if (const char* env = std::getenv("KESTRIX_PASSWORD")) return std::string(env);
    Fd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (tty.get() < 0) return std::nullopt;
    std::string prompt = "Password for " + o.user + "@" + o.host + ": ";
    std::string password;
    {
        EchoOff quiet(tty.get());
        if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return std::nullopt;
        char c;
        while (::read(tty.get(), &c, 1) == 1 && c != '\n') password += c;
        if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    if (::write(tty.get(), "\n", 1) < 0) return std::nullopt;
    return password;
}

bool use_color() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && term && std::strcmp(term, "dumb") != 0 &&
           std::getenv("NO_COLOR") == nullptr;
}

int fail(const std::string& text) {
    std::cerr << "kestrix-cli: " << text << std::endl;
    return 2;
}

int run(Connection& conn, const Options& o, std::istream* script) {
    Runner runner(conn, std::cout, std::cerr, RenderOptions{use_color()});
    int status = 0;
    if (o.command) {
        status = run_text(*o.command, runner, o.bail);
    } else if (script) {
        status = run_script(*script, runner, o.bail);
    } else {
        status = run_interactive(runner);
    }
    if (!runner.connection_lost()) {
        try {
            conn.close();
        } catch (const Error&) {
            // The work is done; a refused goodbye changes nothing.
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    ParseResult parsed = parse_args(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty())
        return fail(parsed.error + " (kestrix-cli --help lists the options)");
    const Options& o = parsed.options;
    if (o.help) {
        std::cout << usage_text();
        return 0;
    }
    std::ifstream file;
    std::istream* script = nullptr;
    if (o.file && *o.file != "-") {
        file.open(*o.file);
        if (!file) return fail("cannot read " + *o.file + ": " + std::strerror(errno));
        script = &file;
    } else if (o.file || (!o.command && !isatty(STDIN_FILENO))) {
        script = &std::cin;
    }
    auto password = read_password(o);
    if (!password) return fail("no password: set KESTRIX_PASSWORD or run on a terminal");
    try {
        ConnectOptions copts;
        copts.io_timeout_ms = 0;  // a long statement is waited for; Ctrl-C ends the wait
        Connection conn = Connection::open(o.host, o.port, copts);
        conn.login({o.user, *password, o.key, std::nullopt});
        password->assign(password->size(), '\0');
        if (o.autocommit) conn.execute("ENABLE AUTOCOMMIT");
        return run(conn, o, script);
    } catch (const Error& e) {
        std::cerr << "ERROR " << e.code() << ": " << e.what() << std::endl;
        return 2;
    }
}
