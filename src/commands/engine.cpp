// engine.cpp - tokenizing and matching server commands, the plug-in command
// table, and publishing commands in the Commands table.
//
// The quick scan compares only the leading keywords of each record with the
// leading words of the text, without a copy, so ordinary SQL is declined
// cheaply. Only a text that passes it is copied, tokenized and matched
// exactly; the first record whose tokens and the text's tokens run out
// together wins.
#include "commands/engine.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/privileges.h"
#include "core/sqlite_raii.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

// A plug-in command owns its text; the record's tokens point into it.
struct PluginCommand {
    std::unique_ptr<char[]> text;
    command_record record;
};

std::vector<std::unique_ptr<PluginCommand>> pActions;  // written only while the server starts

bool is_blank(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}
bool is_argument(const char* token) {
    return token[0] == '%';
}

// Visits the built-in records and then the plug-in ones until `fn` answers true.
template <typename Fn>
command_record* for_each_record(Fn fn) {
    for (size_t i = 0; i < sActionsCount; ++i)
        if (fn(sActions[i])) return &sActions[i];
    for (auto& p : pActions)
        if (fn(p->record)) return &p->record;
    return nullptr;
}

// Reads one quoted token starting at the quote; collapses doubled quotes.
char* quoted_token(char* p, char** token) {
    char quote = *p++;
    *token = p;
    char* out = p;
    while (*p) {
        if (*p == quote) {
            if (p[1] == quote) {
                *out++ = quote;
                p += 2;
                continue;
            }
            *out = 0;
            return p + 1;
        }
        *out++ = *p++;
    }
    *out = 0;
    return p;
}

bool leading_keywords_match(const command_record& r, const char* text) {
    const char* p = text;
    if (!r.tokens[0] || is_argument(r.tokens[0])) return false;
    for (int i = 0; i < COMMAND_MAX_TOKENS && r.tokens[i] && !is_argument(r.tokens[i]); ++i) {
        while (*p && is_blank(*p)) ++p;
        if (!*p) return false;
        const char* word = p;
        while (*p && !is_blank(*p) && *p != ';') ++p;
        size_t len = static_cast<size_t>(p - word);
        if (kestrix_strncasecmp(word, r.tokens[i], len) != 0) return false;
        if (len == 0) return false;
    }
    return true;
}

enum class Fit { No, Yes, SyntaxError };

Fit fits(const command_record& r, char** text_tokens, int n, char** args) {
    int a = 0, j = 0;
    for (int i = 0; i < COMMAND_MAX_TOKENS; ++i) {
        const char* t = r.tokens[i];
        if (!t) return j == n ? Fit::Yes : Fit::No;
        if (j < n && text_tokens[j][0] == ';') return Fit::SyntaxError;
        if (strcmp(t, "%%%") == 0) {
            const char* next = i + 1 < COMMAND_MAX_TOKENS ? r.tokens[i + 1] : nullptr;
            if (j < n && !(next && kestrix_strcmpi(text_tokens[j], next) == 0))
                args[a++] = text_tokens[j++];
        } else if (strncmp(t, "%%", 2) == 0) {
            for (; j < n; ++j) {
                if (text_tokens[j][0] == ';') return Fit::SyntaxError;
                args[a++] = text_tokens[j];
            }
            return Fit::Yes;
        } else if (is_argument(t)) {
            if (j >= n) return Fit::No;
            args[a++] = text_tokens[j++];
        } else {
            if (j >= n || kestrix_strcmpi(text_tokens[j], t) != 0) return Fit::No;
            ++j;
        }
    }
    return j == n ? Fit::Yes : Fit::No;
}

void publish(const command_record& r) {
    std::string text;
    for (int i = 0; i < COMMAND_MAX_TOKENS && r.tokens[i]; ++i) {
        text += is_argument(r.tokens[i]) ? "value" : r.tokens[i];
        text += ' ';
    }
    if (text.size() > 2047) text.resize(2047);
    Stmt st(settings.inmemorydb,
            "INSERT INTO Commands (command, context, privilege) VALUES (?1, ?2, ?3)");
    st.bind(1, text)
        .bind(2, r.kind == KIND_EXECUTE ? "EXECUTE" : "SELECT")
        .bind(3, privilege_name(r.privilege));
    st.run();
}

}  // namespace

int command_tokenize(char* text, char** tokens) {
    int n = 0;
    char* p = text;
    while (n < COMMAND_MAX_TOKENS) {
        while (*p && is_blank(*p)) ++p;
        if (!*p) break;
        if (*p == '(') {
            char* close = strchr(p + 1, ')');
            if (!close) break;
            *close = 0;
            tokens[n++] = p + 1;
            p = close + 1;
        } else if (toupper(static_cast<unsigned char>(p[0])) == 'A' &&
                   toupper(static_cast<unsigned char>(p[1])) == 'S' && is_blank(p[2])) {
            p[2] = 0;
            tokens[n++] = p;
            char* rest = p + 3;
            while (*rest && is_blank(*rest)) ++rest;
            if (*rest && n < COMMAND_MAX_TOKENS) tokens[n++] = rest;
            break;
        } else if (*p == '\'' || *p == '"') {
            p = quoted_token(p, &tokens[n++]);
        } else {
            tokens[n++] = p;
            while (*p && !is_blank(*p)) ++p;
            if (*p) *p++ = 0;
        }
    }
    return n;
}

bool command_quick_scan(const char* text) {
    return for_each_record([text](const command_record& r) {
               return leading_keywords_match(r, text);
           }) != nullptr;
}

CommandMatch command_match(char* text) {
    CommandMatch m;
    size_t len = strlen(text);
    while (len > 0 && is_blank(text[len - 1])) text[--len] = 0;
    if (len > 0 && text[len - 1] == ';') text[--len] = 0;
    char* tokens[COMMAND_MAX_TOKENS] = {};
    m.ntokens = command_tokenize(text, tokens);
    m.record = for_each_record([&](const command_record& r) {
        if (m.syntax_error) return false;
        char* args[COMMAND_MAX_TOKENS + 1] = {};
        Fit f = fits(r, tokens, m.ntokens, args);
        if (f == Fit::SyntaxError) m.syntax_error = true;
        if (f != Fit::Yes) return false;
        memcpy(m.args, args, sizeof(args));
        return true;
    });
    return m;
}

void commands_init() {
    for (size_t i = 0; i < sActionsCount; ++i)
        if (sActions[i].listed) publish(sActions[i]);
}

void commands_exit() {
    pActions.clear();
}

int check_plugin_command(const char* text) {
    if (!text) return 0;
    int blanks = 0;
    for (const char* p = text; *p; ++p) blanks += *p == ' ';
    return blanks < 20;
}

int build_plugin_command(const char* text, int listed, int needs_database, int kind, int code,
                         int privilege, command_handler handler) {
    if (!text || !handler) return 0;
    auto cmd = std::make_unique<PluginCommand>();
    size_t len = strlen(text);
    cmd->text = std::make_unique<char[]>(len + 1);
    memcpy(cmd->text.get(), text, len + 1);
    char* tokens[COMMAND_MAX_TOKENS] = {};
    int n = command_tokenize(cmd->text.get(), tokens);
    command_record& r = cmd->record;
    r.listed = listed;
    r.needs_database = needs_database;
    r.kind = kind;
    r.code = code;
    r.privilege = privilege;
    r.handler = handler;
    for (int i = 0; i < n; ++i) r.tokens[i] = tokens[i];
    if (listed) publish(r);
    pActions.push_back(std::move(cmd));
    return 1;
}
