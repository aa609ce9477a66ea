// splitter.h - cuts typed or scripted input into statements and backslash
// commands.
//
// A statement ends at a ";" outside quotes ('...', "...", `...`, [...]) and
// outside comments; a CREATE TRIGGER statement ends only at "END;". Comments
// are dropped from the text that is sent. A line that starts with "\" while no
// statement is open is a client command such as \q or \timing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::cli {

struct Piece {
    enum class Kind { kStatement, kCommand };
    Kind kind = Kind::kStatement;
    std::string text;  // without the ending ";", trimmed

    bool operator==(const Piece&) const = default;
};

class StatementSplitter {
public:
    // Takes one input line (without its newline) and returns what it completes.
    std::vector<Piece> feed_line(std::string_view line);
    // Takes text of any number of lines.
    std::vector<Piece> feed_text(std::string_view text);
    // The statement left open at the end of the input (no ";"), if any.
    std::optional<Piece> finish();
    // True while a statement is open: the next line continues it.
    bool pending() const;
    // Drops the open statement.
    void reset() {
        buf_.clear();
        state_ = State::kNormal;
    }

private:
    enum class State { kNormal, kSingle, kDouble, kBacktick, kBracket, kBlockComment };
    static State opened_by(char c);  // kNormal when `c` opens no quote
    static char closing_quote(State s);
    void end_statement(std::vector<Piece>& out);
    bool inside_open_trigger() const;

    std::string buf_;
    State state_ = State::kNormal;
};

// True for statements that go to the server as a select (their first word is
// SELECT, SHOW, PRAGMA, EXPLAIN, WITH or VALUES).
bool wants_select(std::string_view statement);

}  // namespace kestrix::cli
