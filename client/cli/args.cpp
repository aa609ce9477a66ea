// args.cpp - option parsing without global state (no getopt), so that it can
// be tested with tables of command lines.
#include "args.h"

#include <charconv>

namespace kestrix::cli {

namespace {

bool parse_port(const std::string& s, int& port) {
    int v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < 1 || v > 65535) return false;
    port = v;
    return true;
}

std::optional<KeyType> parse_key(const std::string& s) {
    if (s == "aes128") return KeyType::kAes128;
    if (s == "aes192") return KeyType::kAes192;
    if (s == "aes256") return KeyType::kAes256;
    return std::nullopt;
}

// Applies an option that takes a value; returns an error text or "".
std::string apply_valued(const std::string& opt, const std::string& value, Options& o) {
    if (opt == "-h" || opt == "--host") {
        if (value.empty()) return "empty host name";
        o.host = value;
    } else if (opt == "-p" || opt == "--port") {
        if (!parse_port(value, o.port)) return "invalid port '" + value + "'";
    } else if (opt == "-u" || opt == "--user") {
        if (value.empty()) return "empty user name";
        o.user = value;
    } else if (opt == "-e" || opt == "--encrypt") {
        auto k = parse_key(value);
        if (!k) return "unknown cipher '" + value + "' (aes128, aes192 or aes256)";
        o.key = *k;
    } else if (opt == "-c" || opt == "--command") {
        o.command = value;
    } else {
        o.file = value;
    }
    return "";
}

bool takes_value(const std::string& opt) {
    for (const char* v : {"-h", "--host", "-p", "--port", "-u", "--user", "-e", "--encrypt", "-c",
                          "--command", "-f", "--file"})
        if (opt == v) return true;
    return false;
}

}  // namespace

ParseResult parse_args(const std::vector<std::string>& args) {
    ParseResult r;
    Options& o = r.options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::string value;
        bool inline_value = false;
        if (auto eq = opt.find('='); opt.starts_with("--") && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            inline_value = true;
        }
        if (opt == "--help") {
            o.help = true;
        } else if (opt == "-a" || opt == "--autocommit") {
            o.autocommit = true;
        } else if (opt == "-b" || opt == "--bail") {
            o.bail = true;
        } else if (opt == "-P" || opt == "--password" || opt == "-w") {
            r.error =
                "passwords are not taken from the command line; set KESTRIX_PASSWORD or "
                "type it at the prompt";
        } else if (takes_value(opt)) {
            if (!inline_value && i + 1 >= args.size()) {
                r.error = "option " + opt + " needs a value";
            } else {
                r.error = apply_valued(opt, inline_value ? value : args[++i], o);
            }
        } else {
            r.error = "unknown argument '" + opt + "'";
        }
        if (!r.error.empty()) return r;
    }
    if (o.command && o.file) r.error = "-c and -f cannot be used together";
    return r;
}

std::string usage_text() {
    return "Usage: kestrix-cli [options]\n"
           "  -h, --host HOST      server host (default 127.0.0.1)\n"
           "  -p, --port PORT      server port (default 4430)\n"
           "  -u, --user USER      user name (default admin)\n"
           "  -e, --encrypt CIPHER encrypted login and session: aes128, aes192 or aes256\n"
           "  -c, --command TEXT   run the statements in TEXT and exit\n"
           "  -f, --file FILE      run the statements in FILE (- for standard input) and exit\n"
           "  -a, --autocommit     commit every statement (ENABLE AUTOCOMMIT after login)\n"
           "  -b, --bail           stop a script at its first failing statement\n"
           "      --help           show this text\n"
           "The password comes from KESTRIX_PASSWORD or is asked for on the terminal.\n"
           "Without -c or -f, statements come from standard input; on a terminal the\n"
           "client is interactive (\\help lists its commands).\n"
           "Exit status: 0 success, 1 a statement failed, 2 usage, connection or login error.\n";
}

}  // namespace kestrix::cli
