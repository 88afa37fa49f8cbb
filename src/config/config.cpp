/*
 * The configuration document.
 *
 * Two stages over a text that is never modified: json_scan cuts it into a
 * flat list of tokens (offsets into the text, nothing copied), and
 * parse_config walks that list into a dump_config.  The scanner is lenient
 * on purpose: colons and commas are optional and their place is never
 * checked, bare words are values like any other, and a ':' simply makes
 * the newest token the parent of what follows.  Hosts rely on that
 * leniency, so the accept/refuse rules below are fixed: a change that makes
 * them stricter (or looser) breaks someone's configuration.
 *
 * No heap: the token pool and a number's text live on the caller's stack.
 */
#include "config/config.h"

#include <cstring>

namespace
{

/* A token's offsets are signed 32-bit; a text long enough to need more is
 * refused rather than wrapped. */
const int64_t MAX_OFFSET = INT32_MAX;

/* A number's raw text longer than this is not read at all; the field then
 * gets its default. */
const int32_t NUMBER_TEXT_MAX = 31;

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

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
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
        case 'u':
            /* The NUL is not a hex digit, so a text ending here is refused. */
            for (int i = 0; i < 4; i++) {
                if (!is_hex(text[p + 1])) {
                    return -1;
                }
                p++;
            }
            break;
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

void tok_copy(const char *text, int32_t start, int32_t end, char *dst, int limit)
{
    int32_t n = 0;
    if (start >= 0 && end > start && limit > 0) {
        /* The window is counted in raw bytes, so escapes can only shrink
         * the result below limit, never push it past. */
        int32_t window = end - start < limit ? end - start : limit;
        const char *raw = text + start;
        for (int32_t i = 0; i < window; i++) {
            char c = raw[i];
            if (c == '\\' && i + 1 < window) {
                i++;
                c = raw[i];
                if (c == 'r') {
                    c = '\r';
                } else if (c == 't') {
                    c = '\t';
                } else if (c == 'n') {
                    c = '\n';
                }
            }
            dst[n++] = c;
        }
    }
    dst[n] = '\0';
}

namespace
{

void set_defaults(dump_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    memcpy(cfg->host, "127.0.0.1", sizeof "127.0.0.1");
    cfg->port = 5432;
    cfg->include_schema = 1;
    cfg->include_data = 1;
    cfg->include_drop = 0;
    cfg->rows_per_insert = 100;
}

int32_t raw_length(const json_token *t)
{
    return t->end > t->start ? t->end - t->start : 0;
}

bool raw_equals(const char *text, const json_token *t, const char *word)
{
    size_t n = strlen(word);
    return static_cast<size_t>(raw_length(t)) == n && memcmp(text + t->start, word, n) == 0;
}

/* The integer at the start of a short raw text, read the way atoi reads
 * it, but saturating at the int32 range instead of overflowing. */
int32_t read_number(const char *text, const json_token *t)
{
    char buf[NUMBER_TEXT_MAX + 1];
    int32_t len = raw_length(t);
    memcpy(buf, text + t->start, static_cast<size_t>(len));
    buf[len] = '\0';

    const char *p = buf;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') {
        p++;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    /* One past INT32_MAX is enough to tell saturation on either side. */
    const int64_t cap = static_cast<int64_t>(INT32_MAX) + 1;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > cap) {
            value = cap;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

/* Whether token t lies inside a value that ends at offset end. */
bool lies_inside(const json_token *t, int32_t end)
{
    return t->start >= 0 && t->start < end && t->end <= end;
}

int32_t skip_inside(const json_token *tokens, int32_t count, int32_t index, int32_t end)
{
    while (index < count && lies_inside(&tokens[index], end)) {
        index++;
    }
    return index;
}

/* The list rule: the array's size tells how many elements to examine; each
 * is passed over whole, so a nested array's strings are never taken.
 * Returns the index the walk resumes at. */
int32_t take_tables(const char *text, const json_token *tokens, int32_t count, int32_t index,
                    dump_config *cfg)
{
    const json_token *list = &tokens[index + 1];
    int32_t i = index + 2;
    if (list->kind != JSON_ARRAY || list->size == 0) {
        return i;
    }
    for (int32_t e = 0; e < list->size && i < count; e++) {
        if (cfg->table_count >= CONFIG_MAX_TABLES) {
            return skip_inside(tokens, count, i, list->end);
        }
        const json_token *el = &tokens[i];
        if (el->kind == JSON_STRING) {
            tok_copy(text, el->start, el->end, cfg->tables[cfg->table_count],
                     sizeof cfg->tables[0] - 1);
            cfg->table_count++;
        }
        i = skip_inside(tokens, count, i + 1, el->end);
    }
    return i;
}

enum key_id {
    KEY_NONE,
    KEY_HOST,
    KEY_PORT,
    KEY_USER,
    KEY_PASSWORD,
    KEY_DATABASE,
    KEY_OUT_PATH,
    KEY_TABLES,
    KEY_INCLUDE_SCHEMA,
    KEY_INCLUDE_DATA,
    KEY_INCLUDE_DROP,
    KEY_ROWS_PER_INSERT
};

struct key_name {
    const char *name;
    key_id id;
};

const key_name KEYS[] = {
    {"host", KEY_HOST},
    {"port", KEY_PORT},
    {"user", KEY_USER},
    {"password", KEY_PASSWORD},
    {"database", KEY_DATABASE},
    {"out_path", KEY_OUT_PATH},
    {"tables", KEY_TABLES},
    {"include_schema", KEY_INCLUDE_SCHEMA},
    {"include_data", KEY_INCLUDE_DATA},
    {"include_drop", KEY_INCLUDE_DROP},
    {"rows_per_insert", KEY_ROWS_PER_INSERT},
};

/* Keys compare raw, so a key spelled with escapes is not recognised. */
key_id find_key(const char *text, const json_token *t)
{
    for (const key_name &k : KEYS) {
        if (raw_equals(text, t, k.name)) {
            return k.id;
        }
    }
    return KEY_NONE;
}

void walk(const char *text, const json_token *tokens, int32_t count, dump_config *cfg)
{
    int32_t i = 1;
    while (i < count) {
        const json_token *key = &tokens[i];
        if (key->kind != JSON_STRING) {
            /* Objects and arrays are entered, not skipped: keys nested in
             * a value are applied like top-level ones. */
            i++;
            continue;
        }
        if (i + 1 >= count) {
            /* A key that ends the document has no value: ignored. */
            break;
        }
        const json_token *value = &tokens[i + 1];
        key_id id = find_key(text, key);
        switch (id) {
        case KEY_NONE:
            i = skip_inside(tokens, count, i + 2, value->end);
            continue;
        case KEY_TABLES:
            i = take_tables(text, tokens, count, i, cfg);
            continue;
        case KEY_HOST:
            tok_copy(text, value->start, value->end, cfg->host, sizeof cfg->host - 1);
            break;
        case KEY_USER:
            tok_copy(text, value->start, value->end, cfg->user, sizeof cfg->user - 1);
            break;
        case KEY_PASSWORD:
            tok_copy(text, value->start, value->end, cfg->password, sizeof cfg->password - 1);
            break;
        case KEY_DATABASE:
            tok_copy(text, value->start, value->end, cfg->database, sizeof cfg->database - 1);
            break;
        case KEY_OUT_PATH:
            tok_copy(text, value->start, value->end, cfg->out_path, sizeof cfg->out_path - 1);
            break;
        case KEY_PORT:
            cfg->port = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : 5432;
            break;
        case KEY_ROWS_PER_INSERT: {
            int32_t rows = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : 100;
            cfg->rows_per_insert = rows < 1 ? 1 : rows > 1000 ? 1000 : rows;
            break;
        }
        case KEY_INCLUDE_SCHEMA:
            cfg->include_schema = raw_equals(text, value, "false") ? 0 : 1;
            break;
        case KEY_INCLUDE_DATA:
            cfg->include_data = raw_equals(text, value, "false") ? 0 : 1;
            break;
        case KEY_INCLUDE_DROP:
            cfg->include_drop = raw_equals(text, value, "true") ? 1 : 0;
            break;
        }
        /* A recognised key's value is not passed over: an object given
         * here has its members walked next. */
        i += 2;
    }
}

} // namespace

int parse_config(const char *text, dump_config *cfg)
{
    set_defaults(cfg);
    if (text == nullptr || text[0] == '\0') {
        return -1;
    }
    json_token tokens[CONFIG_MAX_TOKENS];
    int count = json_scan(text, tokens, CONFIG_MAX_TOKENS);
    if (count <= 0 || tokens[0].kind != JSON_OBJECT) {
        return -1;
    }
    for (int i = 0; i < count; i++) {
        if (tokens[i].end == -1) {
            return -1;
        }
    }
    walk(text, tokens, count, cfg);
    return 0;
}
