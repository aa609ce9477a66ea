// cli_process.cpp - fork/exec of kestrix-cli with pipes or with forkpty.
#include "support/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void exec_cli(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string bin = KESTRIX_CLI_BINARY;
    argv.push_back(bin.data());
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
}

void set_env(const std::map<std::string, std::string>& env) {
    unsetenv("KESTRIX_PASSWORD");
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
}

int wait_status(pid_t pid, Clock::time_point until) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ms_left(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Writes `input` to `in` and collects `out` and `err` until both close.
void pump(int in, int out, int err, const std::string& input, RunResult& r,
          Clock::time_point until) {
    size_t written = 0;
    if (input.empty()) close(in), in = -1;
    while (out >= 0 || err >= 0) {
        pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
        if (poll(fds, 3, ms_left(until)) <= 0) break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (i == 0 ? out : err) = -1;
            }
        }
        if (in >= 0 && fds[2].revents) {
            ssize_t n = write(in, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) close(in), in = -1;
        }
    }
    for (int fd : {in, out, err})
        if (fd >= 0) close(fd);
}

}  // namespace

RunResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    RunResult r;
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();  // no controlling terminal: no password prompt possible
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        set_env(env);
        exec_cli(args);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    auto until = Clock::now() + std::chrono::milliseconds(kCliDeadlineMs);
    signal(SIGPIPE, SIG_IGN);
    pump(in[1], out[0], err[0], input, r, until);
    r.exit_status = wait_status(pid, until);
    return r;
}

CliTerminal::CliTerminal(const std::vector<std::string>& args, const std::string& home) {
    winsize ws{};
    ws.ws_row = 50;
    ws.ws_col = 200;
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
        set_env({{"TERM", "dumb"}, {"HOME", home}});
        exec_cli(args);
    }
}

CliTerminal::~CliTerminal() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
}

void CliTerminal::type(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(master_, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

bool CliTerminal::read_some(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof(buf));
    if (n <= 0) return false;  // EIO once the child has closed the terminal
    transcript_.append(buf, static_cast<size_t>(n));
    return true;
}

std::string CliTerminal::wait_for_either(const std::string& a, const std::string& b) {
    auto until = Clock::now() + std::chrono::milliseconds(kCliDeadlineMs);
    for (;;) {
        size_t pa = transcript_.find(a, consumed_);
        size_t pb = b.empty() ? std::string::npos : transcript_.find(b, consumed_);
        if (pa != std::string::npos || pb != std::string::npos) {
            bool first_a = pa != std::string::npos && (pb == std::string::npos || pa <= pb);
            consumed_ = first_a ? pa + a.size() : pb + b.size();
            return first_a ? a : b;
        }
        if (!read_some(ms_left(until))) return "";
    }
}

bool CliTerminal::wait_for(const std::string& text) {
    return wait_for_either(text, "") == text;
}

int CliTerminal::wait_exit() {
    while (read_some(100)) {
    }
    int status = wait_status(pid_, Clock::now() + std::chrono::milliseconds(kCliDeadlineMs));
    exited_ = true;
    return status;
}
