// server_process.cpp - starting and stopping the real server in tests.
#include "support/server_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

int decode_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for `pid` up to `timeout_ms`; the raw status or -1 on time-out.
bool wait_for(pid_t pid, int timeout_ms, int* status) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

pid_t spawn(const std::string& bin, const std::vector<std::string>& args, const std::string& cwd,
            const std::map<std::string, std::string>& env, const std::string& out,
            const std::string& err) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    unsetenv("KESTRIX_ADMIN_PASSWORD");
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
}

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/kestrix-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_text_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool port_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

RunResult run_kestrix(const std::vector<std::string>& args, const std::string& cwd,
                      const std::map<std::string, std::string>& env, int timeout_ms) {
    TempDir io;
    std::string out = io.file("out"), err = io.file("err");
    pid_t pid = spawn(KESTRIX_BINARY, args, cwd, env, out, err);
    RunResult r;
    int status = 0;
    if (wait_for(pid, timeout_ms, &status)) {
        r.exit_status = decode_status(status);
    } else {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.out = read_text_file(out);
    r.err = read_text_file(err);
    return r;
}

ServerProcess::ServerProcess(const TempDir& dir, std::vector<std::string> extra,
                             std::map<std::string, std::string> env)
    : dir_(dir.path()),
      extra_(std::move(extra)),
      env_(std::move(env)),
      binary_(KESTRIX_BINARY),
      port_(free_tcp_port()) {
    out_path_ = dir_ + "/server.out";
    err_path_ = dir_ + "/server.err";
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
}

std::vector<std::string> ServerProcess::args() const {
    std::vector<std::string> a;
    if (custom_args_) {
        a = *custom_args_;
        a.push_back("-p");
        a.push_back(std::to_string(port_));
        return a;
    }
    a = {"-x", dir_, "-s", settings_path(), "-d", dir_ + "/db", "-p", std::to_string(port_)};
    a.insert(a.end(), extra_.begin(), extra_.end());
    return a;
}

bool ServerProcess::start(int timeout_ms) {
    pid_ = spawn(binary_, args(), dir_, env_, out_path_, err_path_);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = decode_status(status);
            pid_ = -1;
            return false;
        }
        if (port_accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void ServerProcess::send_signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int ServerProcess::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return status_;
    int status = 0;
    if (!wait_for(pid_, timeout_ms, &status)) return -1;
    pid_ = -1;
    status_ = decode_status(status);
    return status_;
}

int ServerProcess::stop(int timeout_ms) {
    send_signal(SIGTERM);
    return wait_exit(timeout_ms);
}
