/*
 * Checks and writers for server text bound for a script.
 */
#include "dump/sql_text.h"

#include <cstring>

#include "script/psql_lexer.h"
#include "sink/dump_writer.h"

bool sql_value_is(const pg_value *v, const char *word)
{
    size_t n = strlen(word);
    return v->data != nullptr && v->len == n && memcmp(v->data, word, n) == 0;
}

bool sql_value_is_name(const pg_value *v)
{
    return v->data != nullptr && v->len > 0 && memchr(v->data, 0, v->len) == nullptr;
}

bool sql_value_is_digits(const pg_value *v)
{
    if (v->data == nullptr || v->len == 0 || v->len > 10)
        return false;
    for (uint64_t i = 0; i < v->len; i++)
        if (v->data[i] < '0' || v->data[i] > '9')
            return false;
    return true;
}

bool sql_value_is_type_words(const pg_value *v)
{
    if (sql_value_is(v, "\"char\""))
        return true;
    if (v->data == nullptr || v->len == 0 || v->len > 64)
        return false;
    for (uint64_t i = 0; i < v->len; i++) {
        unsigned char c = v->data[i];
        bool blank_ok = c == ' ' && i > 0 && i + 1 < v->len && v->data[i - 1] != ' ';
        if (!((c >= 'a' && c <= 'z') || blank_ok))
            return false;
    }
    return true;
}

bool sql_value_is_inert(const pg_value *v)
{
    return v->data != nullptr &&
           lx_fragment_is_inert(reinterpret_cast<const char *>(v->data), (size_t)v->len) == 1;
}

bool sql_is_plain_identifier(const unsigned char *name, uint64_t n)
{
    if (n == 0 || !((name[0] >= 'a' && name[0] <= 'z') || name[0] == '_'))
        return false;
    for (uint64_t i = 1; i < n; i++) {
        unsigned char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$'))
            return false;
    }
    return true;
}

int sql_put_ident(dump_writer *w, const pg_value *v)
{
    return dw_put_ident_n(w, reinterpret_cast<const char *>(v->data), v->len);
}

int sql_put_name(dump_writer *w, const pg_value *v, bool server_plain)
{
    if (server_plain && sql_is_plain_identifier(v->data, v->len))
        return dw_put(w, v->data, v->len);
    return sql_put_ident(w, v);
}

int sql_escape_literal_body(const char *name, char *dst, size_t size)
{
    size_t n = 0;
    for (const char *p = name; *p != '\0'; p++) {
        bool twice = *p == '\'' || *p == '\\';
        if (n + (twice ? 2 : 1) + 1 > size) {
            if (size > 0)
                dst[0] = '\0';
            return -1;
        }
        dst[n++] = *p;
        if (twice)
            dst[n++] = *p;
    }
    dst[n] = '\0';
    return 0;
}

size_t sql_qualified_name(char *dst, const char *schema, const char *name)
{
    size_t n = 0;
    const char *parts[2] = {schema, name};
    for (int k = 0; k < 2; k++) {
        dst[n++] = '"';
        for (const char *p = parts[k]; *p != '\0'; p++) {
            dst[n++] = *p;
            if (*p == '"')
                dst[n++] = '"';
        }
        dst[n++] = '"';
        if (k == 0)
            dst[n++] = '.';
    }
    dst[n] = '\0';
    return n;
}
