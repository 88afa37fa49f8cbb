/*
 * The configuration document's scanner: json_scan cuts a text that is
 * never modified into a flat list of tokens (offsets into the text,
 * nothing copied).  It is lenient on purpose: colons and commas are
 * optional and their place is never checked, bare words are values like
 * any other, and a ':' simply makes the newest token the parent of what
 * follows.  No heap: the token pool lives on the caller's stack.
 */
#include "config/config.h"

#include "config/json_text.h"

#include <cstddef>
#include <cstring>

namespace
{

/* A token's offsets are signed 32-bit; a text long enough to need more is
 * refused rather than wrapped. */
const int64_t MAX_OFFSET = INT32_MAX;

struct scanner {
    const char *text;
    int64_t pos;
    json_token *tokens;
    int32_t max_tokens;
    int32_t count;
    int32_t parent; /* index of the current parent token, -1 for none */
    int32_t open;   /* index of the newest open object or array, -1 for none */
};

/*
 * Only objects and arrays can be open, and a closing bracket always closes
 * the newest open one, so the open containers form a chain.  While a
 * container is open its end holds the link to the next older open one as
 * -2 - index (so -1 still means "none"), and finish_scan puts the plain -1
 * back.  Both "newest token still open" searches of the rules are then
 * answered at once instead of by walking back over the pool, which a text
 * full of ':' and ',' would otherwise make quadratic.
 */
int32_t link_to(int32_t index)
{
    return -2 - index;
}

int32_t linked_index(int32_t end)
{
    return -2 - end;
}

json_token *new_token(scanner *s, int32_t kind, int64_t start, int64_t end)
{
    if (s->count >= s->max_tokens || start > MAX_OFFSET || end > MAX_OFFSET) {
        return nullptr;
    }
    json_token *t = &s->tokens[s->count++];
    t->kind = kind;
    t->start = static_cast<int32_t>(start);
    t->end = static_cast<int32_t>(end);
    t->size = 0;
    return t;
}

void count_toward_parent(scanner *s)
{
    if (s->parent != -1) {
        s->tokens[s->parent].size++;
    }
}

/* s->pos is on the opening quote; on success it is left on the closing one. */
int scan_string(scanner *s)
{
    const char *text = s->text;
    int64_t start = s->pos + 1;
    for (int64_t p = start; text[p] != '\0'; p++) {
        char c = text[p];
        if (c == '"') {
            if (new_token(s, JSON_STRING, start, p) == nullptr) {
                return -1;
            }
            count_toward_parent(s);
            s->pos = p;
            return 0;
        }
        if (c != '\\') {
            continue;
        }
        p++;
        switch (text[p]) {
        case '"':
        case '/':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            break;
        case 'u': {
            /* Four hex digits, and text: no \u0000 (a C string cannot carry
             * it) and no surrogate outside a pair.  The NUL is not a hex
             * digit, so a text ending here is refused too. */
            uint32_t cp;
            int used = json_read_u_escape(text + p - 1, nullptr, &cp);
            if (used == 0) {
                return -1;
            }
            p += used - 2;
            break;
        }
        default:
            /* Includes the NUL: a backslash as the last byte. */
            return -1;
        }
    }
    return -1; /* no closing quote */
}

/* s->pos is on the first byte; on success it is left on the last byte of
 * the word, so the delimiter is handled by the main loop. */
int scan_primitive(scanner *s)
{
    const char *text = s->text;
    int64_t p = s->pos;
    for (; text[p] != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(text[p]);
        if (c == '\t' || c == '\r' || c == '\n' || c == ' ' || c == ',' || c == ':' || c == ']' ||
            c == '}') {
            break;
        }
        if (c < 0x20 || c > 0x7E) {
            return -1;
        }
    }
    if (new_token(s, JSON_PRIMITIVE, s->pos, p) == nullptr) {
        return -1;
    }
    count_toward_parent(s);
    s->pos = p - 1;
    return 0;
}

int open_container(scanner *s, int32_t kind)
{
    if (new_token(s, kind, s->pos, link_to(s->open)) == nullptr) {
        return -1;
    }
    count_toward_parent(s);
    s->open = s->count - 1;
    s->parent = s->open;
    return 0;
}

int close_container(scanner *s, int32_t kind)
{
    if (s->open == -1 || s->pos + 1 > MAX_OFFSET) {
        return -1;
    }
    json_token *t = &s->tokens[s->open];
    if (t->kind != kind) {
        return -1;
    }
    s->open = linked_index(t->end);
    t->end = static_cast<int32_t>(s->pos + 1);
    s->parent = s->open;
    return 0;
}

/* Containers still open at the end get the plain -1 the callers test for. */
void finish_scan(scanner *s)
{
    while (s->open != -1) {
        json_token *t = &s->tokens[s->open];
        s->open = linked_index(t->end);
        t->end = -1;
    }
}

} // namespace

int json_scan(const char *text, json_token *tokens, int max_tokens)
{
    scanner s = {text, 0, tokens, max_tokens, 0, -1, -1};
    for (; text[s.pos] != '\0'; s.pos++) {
        char c = text[s.pos];
        int r = 0;
        switch (c) {
        case '\t':
        case '\n':
        case '\r':
        case ' ':
            break;
        case '{':
            r = open_container(&s, JSON_OBJECT);
            break;
        case '[':
            r = open_container(&s, JSON_ARRAY);
            break;
        case '}':
            r = close_container(&s, JSON_OBJECT);
            break;
        case ']':
            r = close_container(&s, JSON_ARRAY);
            break;
        case '"':
            r = scan_string(&s);
            break;
        case ':':
            s.parent = s.count - 1;
            break;
        case ',':
            /* After a key's value, go back to the container that holds the
             * key; with no open container the parent stays. */
            if (s.parent != -1 && s.open != -1 && s.tokens[s.parent].kind != JSON_OBJECT &&
                s.tokens[s.parent].kind != JSON_ARRAY) {
                s.parent = s.open;
            }
            break;
        default:
            r = scan_primitive(&s);
            break;
        }
        if (r != 0) {
            return -1;
        }
    }
    finish_scan(&s);
    return s.count;
}
