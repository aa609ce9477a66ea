// json.cpp - the JSON tokenizer.
#include "net/json.h"

namespace {

jsmntok_t* alloc_token(jsmn_parser* p) {
    if (p->toknext >= p->num_tokens) return nullptr;
    jsmntok_t* t = &p->tokens[p->toknext++];
    t->start = t->end = -1;
    t->size = 0;
    t->type = JSMN_PRIMITIVE_OR_STRING;
    return t;
}

void fill_token(jsmntok_t* t, int type, int start, int end) {
    t->type = type;
    t->start = start;
    t->end = end;
    t->size = 0;
}

bool ends_primitive(char c) {
    return c == '\t' || c == '\r' || c == '\n' || c == ' ' || c == ',' || c == ']' || c == '}';
}

int parse_primitive(jsmn_parser* p, const char* js, size_t len) {
    size_t start = p->pos;
    for (; p->pos < len && js[p->pos] != '\0'; p->pos++) {
        char c = js[p->pos];
        if (ends_primitive(c)) break;
        if (c < 32 || c >= 127) {
            p->pos = start;
            return JSMN_ERROR_INVAL;
        }
    }
    jsmntok_t* t = alloc_token(p);
    if (!t) {
        p->pos = start;
        return JSMN_ERROR_NOMEM;
    }
    fill_token(t, JSMN_PRIMITIVE_OR_STRING, static_cast<int>(start), static_cast<int>(p->pos));
    p->pos--;  // the loop of jsmn_parse steps over the terminator
    return 0;
}

int parse_string(jsmn_parser* p, const char* js, size_t len) {
    size_t start = p->pos;
    p->pos++;  // opening quote
    for (; p->pos < len && js[p->pos] != '\0'; p->pos++) {
        char c = js[p->pos];
        if (c == '"') {
            jsmntok_t* t = alloc_token(p);
            if (!t) {
                p->pos = start;
                return JSMN_ERROR_NOMEM;
            }
            fill_token(t, JSMN_PRIMITIVE_OR_STRING, static_cast<int>(start + 1),
                       static_cast<int>(p->pos));
            return 0;
        }
        if (c == '\\' && p->pos + 1 < len) {
            p->pos++;
            switch (js[p->pos]) {
                case '"':
                case '/':
                case '\\':
                case 'b':
                case 'f':
                case 'n':
                case 'r':
                case 't':
                case 'u':
                    break;
                default:
                    p->pos = start;
                    return JSMN_ERROR_INVAL;
            }
        }
    }
    p->pos = start;
    return JSMN_ERROR_PART;
}

int close_container(jsmn_parser* p, int type) {
    int i = static_cast<int>(p->toknext) - 1;
    for (; i >= 0; i--) {
        jsmntok_t* t = &p->tokens[i];
        if (t->start != -1 && t->end == -1) {
            if (t->type != type) return JSMN_ERROR_INVAL;
            p->toksuper = -1;
            t->end = static_cast<int>(p->pos) + 1;
            break;
        }
    }
    if (i == -1) return JSMN_ERROR_INVAL;
    for (; i >= 0; i--) {
        jsmntok_t* t = &p->tokens[i];
        if (t->start != -1 && t->end == -1) {
            p->toksuper = i;
            break;
        }
    }
    return 0;
}

void reopen_container(jsmn_parser* p) {
    if (p->toksuper == -1) return;
    int type = p->tokens[p->toksuper].type;
    if (type == JSMN_ARRAY || type == JSMN_OBJECT) return;
    for (int i = static_cast<int>(p->toknext) - 1; i >= 0; i--) {
        jsmntok_t* t = &p->tokens[i];
        if ((t->type == JSMN_ARRAY || t->type == JSMN_OBJECT) && t->start != -1 && t->end == -1) {
            p->toksuper = i;
            break;
        }
    }
}

}  // namespace

void jsmn_init_parser(jsmn_parser* parser, jsmntok_t* tokens, unsigned int num_tokens) {
    parser->pos = 0;
    parser->toknext = 0;
    parser->toksuper = -1;
    parser->tokens = tokens;
    parser->num_tokens = num_tokens;
    for (unsigned int i = 0; i < num_tokens; ++i) tokens[i] = jsmntok_t{0, -1, -1, 0};
}

int jsmn_parse(jsmn_parser* p, const char* js, size_t len) {
    for (; p->pos < len && js[p->pos] != '\0'; p->pos++) {
        char c = js[p->pos];
        int rc = 0;
        switch (c) {
            case '{':
            case '[': {
                jsmntok_t* t = alloc_token(p);
                if (!t) return JSMN_ERROR_NOMEM;
                if (p->toksuper != -1) p->tokens[p->toksuper].size++;
                t->type = c == '{' ? JSMN_OBJECT : JSMN_ARRAY;
                t->start = static_cast<int>(p->pos);
                p->toksuper = static_cast<int>(p->toknext) - 1;
                break;
            }
            case '}':
            case ']':
                rc = close_container(p, c == '}' ? JSMN_OBJECT : JSMN_ARRAY);
                break;
            case '"':
                rc = parse_string(p, js, len);
                if (rc == 0 && p->toksuper != -1) p->tokens[p->toksuper].size++;
                break;
            case '\t':
            case '\r':
            case '\n':
            case ' ':
                break;
            case ':':
                p->toksuper = static_cast<int>(p->toknext) - 1;
                break;
            case ',':
                reopen_container(p);
                break;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
            case 't':
            case 'f':
            case 'n':
                rc = parse_primitive(p, js, len);
                if (rc == 0 && p->toksuper != -1) p->tokens[p->toksuper].size++;
                break;
            default:
                return JSMN_ERROR_INVAL;
        }
        if (rc != 0) return rc;
    }
    for (int i = static_cast<int>(p->toknext) - 1; i >= 0; i--) {
        if (p->tokens[i].start != -1 && p->tokens[i].end == -1) return JSMN_ERROR_PART;
    }
    return JSMN_SUCCESS;
}
