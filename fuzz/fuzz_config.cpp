/*
 * Fuzz target for the configuration document: the scanner and the walk
 * must take any bytes without reading or writing out of bounds, and must
 * leave a record every consumer can trust.
 */
#include "config/config.h"
#include "pg_client/pg_require_auth.h"
#include "pg_client/pg_tls.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

/* Static, not on the stack: the record is about 67 KiB. */
dump_config g_cfg;
dump_config g_defaults;
json_token g_tokens[CONFIG_MAX_TOKENS];
json_token g_expected[CONFIG_MAX_TOKENS];

void check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

bool terminated(const char *field, size_t size)
{
    return memchr(field, '\0', size) != nullptr;
}

void make_defaults(dump_config *d)
{
    memset(d, 0, sizeof *d);
    memcpy(d->host, "127.0.0.1", sizeof "127.0.0.1");
    d->port = 5432;
    d->include_schema = 1;
    d->include_data = 1;
    d->rows_per_insert = 100;
    d->jobs = 1;

    d->sslsni = 1;
}

/* The four hex digits after the 'u' at text[u], or -1. */
long unicode_unit(const char *text, int32_t u)
{
    char digits[5];
    for (int k = 0; k < 4; k++) {
        digits[k] = text[u + 1 + k];
        if (!isxdigit(static_cast<unsigned char>(digits[k]))) {
            return -1;
        }
    }
    digits[4] = '\0';
    return strtol(digits, nullptr, 16);
}

/* Whether every lead byte of text is followed by as many continuation
 * bytes as it announces, and no continuation byte stands alone. */
bool utf8_whole(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        int n = *p < 0x80 ? 1 : *p < 0xC0 ? 0 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : *p < 0xF8 ? 4 : 0;
        if (n == 0) {
            return false;
        }
        for (int k = 1; k < n; k++) {
            if ((p[k] & 0xC0) != 0x80) {
                return false;
            }
        }
        p += n;
    }
    return true;
}

/* A list of names: terminated rows up to count, empty rows after it. */
void check_list(const char (*names)[128], int32_t count, int32_t cap)
{
    check(count >= 0 && count <= cap);
    for (int32_t i = 0; i < cap; i++) {
        if (i < count) {
            check(terminated(names[i], 128));
        } else {
            check(names[i][0] == '\0');
        }
    }
}

/*
 * The scanner rules written the slow, literal way (every "newest token
 * still open" found by walking back over the pool), to check the real
 * scanner's shortcut token for token.
 */
int reference_scan(const char *text, json_token *tokens, int max_tokens)
{
    int count = 0;
    int parent = -1;
    auto add = [&](int32_t kind, int32_t start, int32_t end) -> bool {
        if (count >= max_tokens) {
            return false;
        }
        tokens[count++] = json_token{kind, start, end, 0};
        if (parent != -1 && !(kind & (JSON_OBJECT | JSON_ARRAY))) {
            tokens[parent].size++;
        }
        return true;
    };
    for (int32_t pos = 0; text[pos] != '\0'; pos++) {
        char c = text[pos];
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') {
            continue;
        }
        if (c == '{' || c == '[') {
            if (count >= max_tokens) {
                return -1;
            }
            if (parent != -1) {
                tokens[parent].size++;
            }
            tokens[count++] = json_token{c == '{' ? JSON_OBJECT : JSON_ARRAY, pos, -1, 0};
            parent = count - 1;
        } else if (c == '}' || c == ']') {
            int i = count - 1;
            while (i >= 0 && tokens[i].end != -1) {
                i--;
            }
            if (i < 0 || tokens[i].kind != (c == '}' ? JSON_OBJECT : JSON_ARRAY)) {
                return -1;
            }
            tokens[i].end = pos + 1;
            parent = -1;
            for (i--; i >= 0; i--) {
                if (tokens[i].end == -1) {
                    parent = i;
                    break;
                }
            }
        } else if (c == '"') {
            int32_t p = pos + 1;
            for (;; p++) {
                if (text[p] == '\0') {
                    return -1;
                }
                if (text[p] == '"') {
                    break;
                }
                if (text[p] == '\\') {
                    p++;
                    if (text[p] == 'u') {
                        long unit = unicode_unit(text, p);
                        if (unit < 0) {
                            return -1;
                        }
                        p += 4;
                        /* Text only: no NUL, no surrogate outside a pair. */
                        if (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) {
                            return -1;
                        }
                        if (unit >= 0xD800 && unit <= 0xDBFF) {
                            if (text[p + 1] != '\\' || text[p + 2] != 'u') {
                                return -1;
                            }
                            long low = unicode_unit(text, p + 2);
                            if (low < 0xDC00 || low > 0xDFFF) {
                                return -1;
                            }
                            p += 6;
                        }
                    } else if (text[p] == '\0' || !strchr("\"/\\bfnrt", text[p])) {
                        return -1;
                    }
                }
            }
            if (!add(JSON_STRING, pos + 1, p)) {
                return -1;
            }
            pos = p;
        } else if (c == ':') {
            parent = count - 1;
        } else if (c == ',') {
            if (parent != -1 && (tokens[parent].kind & (JSON_STRING | JSON_PRIMITIVE))) {
                for (int i = count - 1; i >= 0; i--) {
                    if ((tokens[i].kind & (JSON_OBJECT | JSON_ARRAY)) && tokens[i].end == -1) {
                        parent = i;
                        break;
                    }
                }
            }
        } else {
            int32_t p = pos;
            for (; text[p] != '\0' && !strchr("\t\r\n ,:]}", text[p]); p++) {
                unsigned char b = static_cast<unsigned char>(text[p]);
                if (b < 0x20 || b > 0x7E) {
                    return -1;
                }
            }
            if (!add(JSON_PRIMITIVE, pos, p)) {
                return -1;
            }
            pos = p - 1;
        }
    }
    return count;
}

/* Checks the scanner's tokens and tells whether parse_config has to accept
 * the text: something scanned, an object first, nothing left open. */
bool check_tokens(const char *text, size_t len)
{
    int count = json_scan(text, g_tokens, CONFIG_MAX_TOKENS);
    int expected = reference_scan(text, g_expected, CONFIG_MAX_TOKENS);
    check(count == expected);
    for (int i = 0; i < count; i++) {
        const json_token &a = g_tokens[i];
        const json_token &b = g_expected[i];
        check(a.kind == b.kind && a.start == b.start && a.end == b.end && a.size == b.size);
    }
    bool acceptable = count > 0 && g_tokens[0].kind == JSON_OBJECT;
    check(count >= -1 && count <= CONFIG_MAX_TOKENS);
    for (int i = 0; i < count; i++) {
        const json_token &t = g_tokens[i];
        check(t.kind == JSON_OBJECT || t.kind == JSON_ARRAY || t.kind == JSON_STRING ||
              t.kind == JSON_PRIMITIVE);
        check(t.start >= 0 && static_cast<size_t>(t.start) <= len);
        check(t.end == -1 || (t.end >= t.start && static_cast<size_t>(t.end) <= len));
        check(t.size >= 0 && t.size < count);
        if (t.kind == JSON_STRING || t.kind == JSON_PRIMITIVE) {
            check(t.end != -1);
        }
        if (t.end == -1) {
            acceptable = false;
        }
    }
    return acceptable;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(malloc(size + 1));
    if (text == nullptr) {
        return 0;
    }
    memcpy(text, data, size);
    text[size] = '\0';
    size_t len = strlen(text);

    bool acceptable = check_tokens(text, len);

    make_defaults(&g_defaults);
    memset(&g_cfg, 0x5A, sizeof g_cfg);
    int r = parse_config(text, &g_cfg);
    /* Beyond the scanner, only the values of the keys that must be one of
     * their words, or fit whole, refuse a document. */
    static const char *const refusing[] = {"require_auth", "sslmode", "channel_binding",
                                           "sslrootcert",  "sslcert", "sslkey",
                                           "data_format",  "compression"};
    bool may_refuse = strchr(text, '\\') != nullptr; /* a key written with escapes */
    for (const char *key : refusing)
        may_refuse = may_refuse || strstr(text, key) != nullptr;
    check(r == (acceptable ? 0 : -1) || (acceptable && may_refuse));
    if (r == -1) {
        check(memcmp(&g_cfg, &g_defaults, sizeof g_cfg) == 0);
    }
    check(terminated(g_cfg.host, sizeof g_cfg.host));
    check(terminated(g_cfg.user, sizeof g_cfg.user));
    check(terminated(g_cfg.password, sizeof g_cfg.password));
    check(terminated(g_cfg.database, sizeof g_cfg.database));
    check(terminated(g_cfg.out_path, sizeof g_cfg.out_path));
    /* Decoded escapes are whole characters and cuts fall between them, so
     * a document of whole UTF-8 gives fields of whole UTF-8. */
    if (utf8_whole(text)) {
        check(utf8_whole(g_cfg.host) && utf8_whole(g_cfg.user) && utf8_whole(g_cfg.password));
        check(utf8_whole(g_cfg.database) && utf8_whole(g_cfg.out_path));
        for (int i = 0; i < g_cfg.table_count; i++) {
            check(utf8_whole(g_cfg.tables[i]));
        }
    }
    check_list(g_cfg.tables, g_cfg.table_count, CONFIG_MAX_TABLES);
    check_list(g_cfg.schemas, g_cfg.schema_count, CONFIG_MAX_SCHEMAS);
    check_list(g_cfg.exclude_schemas, g_cfg.exclude_schema_count, CONFIG_MAX_SCHEMAS);
    check_list(g_cfg.exclude_tables, g_cfg.exclude_count, CONFIG_MAX_TABLES);
    check(terminated(g_cfg.require_auth, sizeof g_cfg.require_auth));
    pg_auth_policy policy;
    check(pg_parse_require_auth(g_cfg.require_auth, &policy, nullptr, 0) == 0);
    check(g_cfg.complete == 0 || g_cfg.complete == 1);
    check(terminated(g_cfg.sslmode, sizeof g_cfg.sslmode) && pg_tls_parse_mode(g_cfg.sslmode) >= 0);
    check(terminated(g_cfg.channel_binding, sizeof g_cfg.channel_binding) &&
          pg_tls_parse_channel_binding(g_cfg.channel_binding) >= 0);
    check(terminated(g_cfg.sslrootcert, sizeof g_cfg.sslrootcert));
    check(terminated(g_cfg.sslcert, sizeof g_cfg.sslcert));
    check(terminated(g_cfg.sslkey, sizeof g_cfg.sslkey));
    check(g_cfg.sslsni == 0 || g_cfg.sslsni == 1);
    check(g_cfg.connect_timeout >= 0 && g_cfg.connect_timeout <= 86400);
    check(g_cfg.include_owners == 0 || g_cfg.include_owners == 1);
    check(g_cfg.include_privileges == 0 || g_cfg.include_privileges == 1);
    check(g_cfg.rows_per_insert >= 1 && g_cfg.rows_per_insert <= 1000);
    check(g_cfg.include_schema == 0 || g_cfg.include_schema == 1);
    check(g_cfg.include_data == 0 || g_cfg.include_data == 1);
    check(g_cfg.include_drop == 0 || g_cfg.include_drop == 1);
    check(g_cfg.data_format == CONFIG_DATA_INSERTS || g_cfg.data_format == CONFIG_DATA_COPY);
    check(g_cfg.compression >= CONFIG_COMPRESS_NONE && g_cfg.compression <= CONFIG_COMPRESS_ZSTD);
    check(g_cfg.compression_level >= 0 && g_cfg.compression_level <= 22);
    check(g_cfg.jobs >= 1 && g_cfg.jobs <= CONFIG_MAX_JOBS);

    free(text);
    return 0;
}
