/*
 * The configuration document.
 *
 * Two stages over a text that is never modified: json_scan (json_scan.cpp)
 * cuts it into a flat list of tokens (offsets into the text, nothing
 * copied), and parse_config walks that list into a dump_config.  The scanner is lenient
 * on purpose: colons and commas are optional and their place is never
 * checked, bare words are values like any other, and a ':' simply makes
 * the newest token the parent of what follows.  Hosts rely on that
 * leniency, so the accept/refuse rules below are fixed: a change that makes
 * them stricter (or looser) breaks someone's configuration.
 *
 * No heap: the token pool and a number's text live on the caller's stack.
 */
#include "config/config.h"

#include "config/json_text.h"
#include "pg_client/pg_require_auth.h"
#include "pg_client/pg_tls.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstring>

namespace
{

/* A number's raw text longer than this is not read at all; the field then
 * gets its default. */
const int32_t NUMBER_TEXT_MAX = 31;

void set_defaults(dump_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    memcpy(cfg->host, "127.0.0.1", sizeof "127.0.0.1");
    cfg->port = 5432;
    cfg->include_schema = 1;
    cfg->include_data = 1;
    cfg->include_drop = 0;
    cfg->rows_per_insert = 100;
    cfg->jobs = 1;

    cfg->sslsni = 1;
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

/* A list of names in the record: the rows, the count of rows held, and
 * how many the list takes at most. */
struct name_list {
    char (*names)[128];
    int32_t *count;
    int32_t cap;
};

/* The list rule: the array's size tells how many elements to examine; each
 * is passed over whole, so a nested array's strings are never taken.
 * Returns the index the walk resumes at. */
int32_t take_names(const char *text, const json_token *tokens, int32_t count, int32_t index,
                   name_list list)
{
    const json_token *array = &tokens[index + 1];
    int32_t i = index + 2;
    if (array->kind != JSON_ARRAY || array->size == 0) {
        return i;
    }
    for (int32_t e = 0; e < array->size && i < count; e++) {
        if (*list.count >= list.cap) {
            return skip_inside(tokens, count, i, array->end);
        }
        const json_token *el = &tokens[i];
        if (el->kind == JSON_STRING) {
            tok_copy(text, el->start, el->end, list.names[*list.count], 127);
            (*list.count)++;
        }
        i = skip_inside(tokens, count, i + 1, el->end);
    }
    return i;
}

/* How a key's value is applied. */
enum key_kind {
    KIND_TEXT,       /* tok_copy into a text field */
    KIND_PORT,       /* leading integer, 5432 when too long */
    KIND_ROWS,       /* leading integer clamped to 1..1000 */
    KIND_FLAG_ON,    /* 1 unless the raw text is "false" */
    KIND_FLAG_OFF,   /* 0 unless the raw text is "true" */
    KIND_LIST,       /* the list rule */
    KIND_WHOLE_TEXT, /* text that must fit whole (a cut one would mean another), or refuses */
    KIND_CHOICE,     /* one of the words of CHOICES[limit]; others refuse */
    KIND_RANGE,      /* leading integer clamped to 0..limit (1..limit for jobs) */
    KIND_SECONDS,    /* leading integer clamped to 0..86400 */
};

/* The words of each choice key, in the order of their numbers. */
const char *const CHOICES[][4] = {
    {"inserts", "copy", nullptr, nullptr},
    {"none", "gzip", "zstd", nullptr},
};

struct key_spec {
    const char *name;
    key_kind kind;
    size_t offset;       /* of the field in dump_config */
    int32_t limit;       /* text: bytes copied at most; list: names held at most; range: the
                            largest value; choice: its row of CHOICES */
    size_t count_offset; /* list: offset of the count field */
};

#define FIELD(f) offsetof(dump_config, f)

const key_spec KEYS[] = {
    {"host", KIND_TEXT, FIELD(host), 255, 0},
    {"port", KIND_PORT, FIELD(port), 0, 0},
    {"user", KIND_TEXT, FIELD(user), 127, 0},
    {"password", KIND_TEXT, FIELD(password), 255, 0},
    {"database", KIND_TEXT, FIELD(database), 127, 0},
    {"out_path", KIND_TEXT, FIELD(out_path), 1023, 0},
    {"tables", KIND_LIST, FIELD(tables), CONFIG_MAX_TABLES, FIELD(table_count)},
    {"include_schema", KIND_FLAG_ON, FIELD(include_schema), 0, 0},
    {"include_data", KIND_FLAG_ON, FIELD(include_data), 0, 0},
    {"include_drop", KIND_FLAG_OFF, FIELD(include_drop), 0, 0},
    {"rows_per_insert", KIND_ROWS, FIELD(rows_per_insert), 0, 0},
    {"complete", KIND_FLAG_OFF, FIELD(complete), 0, 0},
    {"include_owners", KIND_FLAG_OFF, FIELD(include_owners), 0, 0},
    {"include_privileges", KIND_FLAG_OFF, FIELD(include_privileges), 0, 0},
    {"schemas", KIND_LIST, FIELD(schemas), CONFIG_MAX_SCHEMAS, FIELD(schema_count)},
    {"exclude_schemas", KIND_LIST, FIELD(exclude_schemas), CONFIG_MAX_SCHEMAS,
     FIELD(exclude_schema_count)},
    {"exclude_tables", KIND_LIST, FIELD(exclude_tables), CONFIG_MAX_TABLES, FIELD(exclude_count)},
    {"require_auth", KIND_WHOLE_TEXT, FIELD(require_auth), PG_REQUIRE_AUTH_MAX, 0},
    {"data_format", KIND_CHOICE, FIELD(data_format), 0, 0},
    {"compression", KIND_CHOICE, FIELD(compression), 1, 0},
    {"compression_level", KIND_RANGE, FIELD(compression_level), 22, 0},
    {"jobs", KIND_RANGE, FIELD(jobs), CONFIG_MAX_JOBS, 0},

    /* A cut file name or mode would point somewhere else: these too must
     * fit whole, like require_auth. */
    {"sslmode", KIND_WHOLE_TEXT, FIELD(sslmode), 15, 0},
    {"sslrootcert", KIND_WHOLE_TEXT, FIELD(sslrootcert), 1023, 0},
    {"sslcert", KIND_WHOLE_TEXT, FIELD(sslcert), 1023, 0},
    {"sslkey", KIND_WHOLE_TEXT, FIELD(sslkey), 1023, 0},
    {"sslsni", KIND_FLAG_ON, FIELD(sslsni), 0, 0},
    {"channel_binding", KIND_WHOLE_TEXT, FIELD(channel_binding), 15, 0},
    {"connect_timeout", KIND_SECONDS, FIELD(connect_timeout), 0, 0},
    {"restrict_key", KIND_WHOLE_TEXT, FIELD(restrict_key), 63, 0},
    {"role", KIND_WHOLE_TEXT, FIELD(role), 127, 0},
};

#undef FIELD

/* Keys compare raw, so a key spelled with escapes is not recognised. */
const key_spec *find_key(const char *text, const json_token *t)
{
    for (const key_spec &k : KEYS) {
        if (raw_equals(text, t, k.name)) {
            return &k;
        }
    }
    return nullptr;
}

/* Applies a key other than a list.  -1 when the value refuses the
 * document (a require_auth text too long to hold whole). */
int apply_value(const char *text, const json_token *value, const key_spec *k, dump_config *cfg)
{
    char *base = reinterpret_cast<char *>(cfg);
    int32_t *number = reinterpret_cast<int32_t *>(base + k->offset);
    switch (k->kind) {
    case KIND_TEXT:
        tok_copy(text, value->start, value->end, base + k->offset, k->limit);
        break;
    case KIND_WHOLE_TEXT:
        return json_copy_value(text, value->start, value->end, base + k->offset, k->limit) ? 0 : -1;
    case KIND_PORT:
        *number = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : 5432;
        break;
    case KIND_ROWS: {
        int32_t rows = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : 100;
        *number = rows < 1 ? 1 : rows > 1000 ? 1000 : rows;
        break;
    }
    case KIND_SECONDS: {
        int32_t v = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : 0;
        *number = v < 0 ? 0 : v > 86400 ? 86400 : v;
        break;
    }
    case KIND_FLAG_ON:
        *number = raw_equals(text, value, "false") ? 0 : 1;
        break;
    case KIND_FLAG_OFF:
        *number = raw_equals(text, value, "true") ? 1 : 0;
        break;
    case KIND_CHOICE:
        for (int32_t w = 0; CHOICES[k->limit][w] != nullptr; w++) {
            if (value->kind == JSON_STRING && raw_equals(text, value, CHOICES[k->limit][w])) {
                *number = w;
                return 0;
            }
        }
        return -1;
    case KIND_RANGE: {
        int32_t least = k->offset == offsetof(dump_config, jobs) ? 1 : 0;
        int32_t n = raw_length(value) <= NUMBER_TEXT_MAX ? read_number(text, value) : k->limit;
        *number = n < least ? least : n > k->limit ? k->limit : n;
        break;
    }
    case KIND_LIST:
        break;
    }
    return 0;
}

/* 0, or -1 when a value refuses the document. */
int walk(const char *text, const json_token *tokens, int32_t count, dump_config *cfg)
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
        const key_spec *k = find_key(text, key);
        if (k == nullptr) {
            i = skip_inside(tokens, count, i + 2, value->end);
            continue;
        }
        if (k->kind == KIND_LIST) {
            char *base = reinterpret_cast<char *>(cfg);
            name_list list = {reinterpret_cast<char(*)[128]>(base + k->offset),
                              reinterpret_cast<int32_t *>(base + k->count_offset), k->limit};
            i = take_names(text, tokens, count, i, list);
            continue;
        }
        if (apply_value(text, value, k, cfg) != 0) {
            return -1;
        }
        /* A recognised key's value is not passed over: an object given
         * here has its members walked next. */
        i += 2;
    }
    return 0;
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
    /* A require_auth list the client would refuse is refused here, where
     * the host learns of it before anything connects. */
    pg_auth_policy policy;
    config_mark_unset(cfg);
    if (walk(text, tokens, count, cfg) != 0 || config_settle_unset(cfg) != 0 ||
        pg_parse_require_auth(cfg->require_auth, &policy, nullptr, 0) != 0 ||
        pg_tls_parse_mode(cfg->sslmode) < 0 ||
        pg_tls_parse_channel_binding(cfg->channel_binding) < 0) {
        config_wipe_password(cfg);
        set_defaults(cfg);
        return -1;
    }
    return 0;
}

void config_wipe_password(dump_config *cfg)
{
    plat_secure_zero(cfg->password, sizeof cfg->password);
}

void config_conn_params(const dump_config *cfg, const char *database, pg_conn_params *p,
                        pg_conn_options *o)
{
    *p = pg_conn_params{};
    p->host = cfg->host;
    p->port = cfg->port;
    p->user = cfg->user;
    p->password = cfg->password;
    p->database = database;
    p->require_auth = cfg->require_auth;
    *o = pg_conn_options{};
    o->sslmode = cfg->sslmode;
    o->sslrootcert = cfg->sslrootcert;
    o->sslcert = cfg->sslcert;
    o->sslkey = cfg->sslkey;
    o->sslsni = cfg->sslsni;
    o->channel_binding = cfg->channel_binding;
    o->connect_timeout = cfg->connect_timeout;
    o->role = cfg->role;
}
