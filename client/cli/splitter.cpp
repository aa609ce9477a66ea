// splitter.cpp - the statement splitter's character scanner.
#include "splitter.h"

#include <algorithm>
#include <cctype>

namespace kestrix::cli {

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool is_word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// The first `n` words of `s` (runs of word characters; other characters separate).
std::vector<std::string_view> leading_words(std::string_view s, size_t n) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (words.size() < n && i < s.size()) {
        while (i < s.size() && !is_word_char(s[i])) ++i;
        size_t start = i;
        while (i < s.size() && is_word_char(s[i])) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

}  // namespace

StatementSplitter::State StatementSplitter::opened_by(char c) {
    switch (c) {
        case '\'':
            return State::kSingle;
        case '"':
            return State::kDouble;
        case '`':
            return State::kBacktick;
        case '[':
            return State::kBracket;
        default:
            return State::kNormal;
    }
}

char StatementSplitter::closing_quote(State s) {
    switch (s) {
        case State::kSingle:
            return '\'';
        case State::kDouble:
            return '"';
        case State::kBacktick:
            return '`';
        case State::kBracket:
            return ']';
        default:
            return '\0';
    }
}

bool StatementSplitter::pending() const {
    return state_ != State::kNormal || !trim(buf_).empty();
}

bool StatementSplitter::inside_open_trigger() const {
    auto w = leading_words(buf_, 3);
    if (w.size() < 2 || !iequals(w[0], "CREATE")) return false;
    bool temp = iequals(w[1], "TEMP") || iequals(w[1], "TEMPORARY");
    if (!iequals(temp ? (w.size() > 2 ? w[2] : "") : w[1], "TRIGGER")) return false;
    // Open until the text so far ends with the word END.
    std::string_view s = trim(buf_);
    size_t start = s.size();
    while (start > 0 && is_word_char(s[start - 1])) --start;
    bool separated = start == 0 || is_space(s[start - 1]) || s[start - 1] == ';';
    return !(separated && iequals(s.substr(start), "END"));
}

void StatementSplitter::end_statement(std::vector<Piece>& out) {
    std::string_view text = trim(buf_);
    if (!text.empty()) out.push_back({Piece::Kind::kStatement, std::string(text)});
    buf_.clear();
}

std::vector<Piece> StatementSplitter::feed_line(std::string_view line) {
    std::vector<Piece> out;
    if (!pending() && !trim(line).empty() && trim(line).front() == '\\') {
        buf_.clear();
        out.push_back({Piece::Kind::kCommand, std::string(trim(line))});
        return out;
    }
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        char next = i + 1 < line.size() ? line[i + 1] : '\0';
        if (state_ == State::kBlockComment) {
            if (c == '*' && next == '/') {
                state_ = State::kNormal;
                buf_ += ' ';
                ++i;
            }
        } else if (state_ != State::kNormal) {
            if (c == closing_quote(state_)) state_ = State::kNormal;
            buf_ += c;
        } else if (c == '-' && next == '-') {
            break;  // the rest of the line is a comment
        } else if (c == '/' && next == '*') {
            state_ = State::kBlockComment;
            ++i;
        } else if (c == ';' && !inside_open_trigger()) {
            end_statement(out);
        } else {
            state_ = opened_by(c);
            buf_ += c;
        }
    }
    if (state_ != State::kBlockComment) buf_ += '\n';
    if (!pending()) buf_.clear();
    return out;
}

std::vector<Piece> StatementSplitter::feed_text(std::string_view text) {
    std::vector<Piece> out;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        for (auto& p : feed_line(line)) out.push_back(std::move(p));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return out;
}

std::optional<Piece> StatementSplitter::finish() {
    std::vector<Piece> out;
    state_ = State::kNormal;
    end_statement(out);
    if (out.empty()) return std::nullopt;
    return out.front();
}

bool wants_select(std::string_view statement) {
    auto w = leading_words(statement, 1);
    if (w.empty()) return false;
    for (std::string_view k : {"SELECT", "SHOW", "PRAGMA", "EXPLAIN", "WITH", "VALUES"})
        if (iequals(w[0], k)) return true;
    return false;
}

}  // namespace kestrix::cli
