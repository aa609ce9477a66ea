// server_process.h - runs the real kestrix binary for integration tests.
//
// A TempDir holds everything a test server writes. ServerProcess starts
// `kestrix -x DIR -s DIR/kestrix.settings -d DIR/db -p PORT` (plus extra
// options) with its output captured into files, waits until the port accepts
// connections, and stops it with SIGTERM.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Result of a process run to completion.
struct RunResult {
    int exit_status = -1;  // -1 when killed by a signal or timed out
    std::string out;
    std::string err;
};

// Runs the binary with `args` in `cwd` and waits up to `timeout_ms`.
RunResult run_kestrix(const std::vector<std::string>& args, const std::string& cwd,
                      const std::map<std::string, std::string>& env = {}, int timeout_ms = 20000);

int free_tcp_port();
bool port_accepts(int port);
std::string read_text_file(const std::string& path);
void write_text_file(const std::string& path, const std::string& text);
bool path_exists(const std::string& path);

class ServerProcess {
public:
    // Folder layout inside `dir`; `extra` options are appended.
    explicit ServerProcess(const TempDir& dir, std::vector<std::string> extra = {},
                           std::map<std::string, std::string> env = {});
    ~ServerProcess();

    // Starts and waits for the port; false when the process ended instead.
    bool start(int timeout_ms = 20000);
    // SIGTERM and wait; the exit status (-1 when it did not end normally).
    int stop(int timeout_ms = 20000);
    // Waits for the process to end by itself.
    int wait_exit(int timeout_ms = 20000);
    void send_signal(int sig);

    // Runs another file (a link named otherwise) instead of the built binary.
    void set_binary(const std::string& path) { binary_ = path; }
    // Replaces the standard folder options; -p PORT is still added.
    void set_args(std::vector<std::string> args) { custom_args_ = std::move(args); }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    std::string settings_path() const { return dir_ + "/kestrix.settings"; }
    std::string out() const { return read_text_file(out_path_); }
    std::string err() const { return read_text_file(err_path_); }
    std::vector<std::string> args() const;

private:
    std::string dir_;
    std::vector<std::string> extra_;
    std::map<std::string, std::string> env_;
    std::string binary_;
    std::optional<std::vector<std::string>> custom_args_;
    int port_;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};
