// args.h - the command line of kestrix-cli.
//
// Passwords never come from the command line: the client reads
// KESTRIX_PASSWORD or asks on the terminal without echo.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrix_client.h"

namespace kestrix::cli {

struct Options {
    std::string host = "127.0.0.1";
    int port = 4430;
    std::string user = "admin";
    KeyType key = KeyType::kNone;        // -e aes128|aes192|aes256
    std::optional<std::string> command;  // -c "statement"
    std::optional<std::string> file;     // -f FILE ("-" is standard input)
    bool autocommit = false;             // -a: ENABLE AUTOCOMMIT after login
    bool bail = false;                   // -b: stop a script at the first error
    bool help = false;                   // --help
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line is valid
};

ParseResult parse_args(const std::vector<std::string>& args);
std::string usage_text();

}  // namespace kestrix::cli
