// net_server.cpp - start-up file, server start and client connections.
#include "support/net_server.h"

using kestrix::Connection;

NetServer::NetServer(std::map<std::string, std::string> prefs, std::vector<std::string> extra) {
    if (!prefs.empty()) {
        std::string json = "{";
        for (const auto& [k, v] : prefs) {
            if (json.size() > 1) json += ", ";
            json += "\"" + k + "\": \"" + v + "\"";
        }
        json += "}";
        std::string path = dir_.file("startup.json");
        write_text_file(path, json);
        extra.push_back("-c");
        extra.push_back(path);
    }
    proc_ = std::make_unique<ServerProcess>(
        dir_, std::move(extra),
        std::map<std::string, std::string>{{"KESTRIX_ADMIN_PASSWORD", kAdminPassword}});
    started_ = proc_->start();
}

NetServer::~NetServer() {
    if (started_) proc_->stop();
}

Connection NetServer::connect(kestrix::ConnectOptions o) const {
    return Connection::open("127.0.0.1", proc_->port(), o);
}

kestrix::LoginOptions admin_login(kestrix::KeyType key) {
    return {kAdminUser, kAdminPassword, key, std::nullopt};
}

Connection NetServer::login(kestrix::KeyType key, kestrix::Protocol p) const {
    kestrix::ConnectOptions o;
    o.protocol = p;
    Connection c = connect(o);
    c.login(admin_login(key));
    return c;
}

bool NetServer::stderr_has_reports() const {
    std::string err = proc_->err();
    return err.find("AddressSanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos ||
           err.find("LeakSanitizer") != std::string::npos;
}
