// json.h - the JSON tokenizer used by the JSON protocol and the start-up
// file reader. It does not build values: it cuts the text into tokens that
// point back into it (start and end byte offsets), in document order, into a
// caller-supplied array of fixed capacity.
#pragma once

#include <cstddef>

enum JsmnKind { JSMN_PRIMITIVE_OR_STRING = 0, JSMN_OBJECT = 1, JSMN_ARRAY = 2 };

enum JsmnResult {
    JSMN_SUCCESS = 0,
    JSMN_ERROR_NOMEM = -1,  // out of tokens
    JSMN_ERROR_INVAL = -2,  // invalid character
    JSMN_ERROR_PART = -3,   // incomplete text
};

struct jsmntok_t {
    int type;   // JsmnKind
    int start;  // first byte (for strings: after the opening quote); -1 unfilled
    int end;    // one past the last byte (for strings: the closing quote); -1 unfilled
    int size;   // direct children; an object key has its value as its one child
};

struct jsmn_parser {
    size_t pos;            // offset in the text
    unsigned int toknext;  // next token to allocate
    int toksuper;          // open container or key, -1 for none
    jsmntok_t* tokens;
    unsigned int num_tokens;
};

void jsmn_init_parser(jsmn_parser* parser, jsmntok_t* tokens, unsigned int num_tokens);
int jsmn_parse(jsmn_parser* parser, const char* js, size_t len);
