/*
 * Parsing of the require_auth list.  Items are split at commas and taken
 * as written: no blanks are trimmed, so " md5" is an unknown name, and an
 * empty item (a leading, doubled or trailing comma) is one too, as in
 * libpq.  The error texts follow libpq's.
 */
#include "pg_require_auth.h"

#include <cstdio>
#include <cstring>

namespace
{

struct method_name {
    const char *name;
    uint32_t bit;
};

const method_name METHODS[] = {
    {"password", PG_AUTH_PASSWORD},
    {"md5", PG_AUTH_MD5},
    {"scram-sha-256", PG_AUTH_SCRAM},
    {"none", PG_AUTH_NONE},
};

/* The bit of the n-byte name at p, or 0 when it names no method. */
uint32_t method_bit(const char *p, size_t n)
{
    for (const method_name &m : METHODS) {
        if (strlen(m.name) == n && memcmp(m.name, p, n) == 0)
            return m.bit;
    }
    return 0;
}

int refuse(char *err, size_t err_size, const char *format, const char *item, size_t n)
{
    if (err != nullptr && err_size > 0)
        snprintf(err, err_size, format, static_cast<int>(n), item);
    return -1;
}

} // namespace

int pg_parse_require_auth(const char *list, pg_auth_policy *out, char *err, size_t err_size)
{
    out->allowed = PG_AUTH_ALL;
    out->limited = 0;
    if (err != nullptr && err_size > 0)
        err[0] = '\0';
    if (list == nullptr || list[0] == '\0')
        return 0;
    if (strnlen(list, PG_REQUIRE_AUTH_MAX + 1) > PG_REQUIRE_AUTH_MAX) {
        if (err != nullptr && err_size > 0)
            snprintf(err, err_size, "require_auth list longer than %d bytes", PG_REQUIRE_AUTH_MAX);
        return -1;
    }

    bool negative = list[0] == '!';
    uint32_t seen = 0;
    for (const char *p = list;;) {
        const char *end = strchr(p, ',');
        if (end == nullptr)
            end = p + strlen(p);
        size_t n = static_cast<size_t>(end - p);
        bool item_negative = n > 0 && p[0] == '!';
        if (item_negative != negative) {
            return refuse(err, err_size,
                          negative ? "require_auth method \"%.*s\" cannot be mixed with negative "
                                     "methods"
                                   : "negative require_auth method \"%.*s\" cannot be mixed with "
                                     "non-negative methods",
                          p, n);
        }
        const char *name = item_negative ? p + 1 : p;
        size_t name_len = item_negative ? n - 1 : n;
        uint32_t bit = method_bit(name, name_len);
        if (bit == 0)
            return refuse(err, err_size, "invalid require_auth value: \"%.*s\"", p, n);
        if ((seen & bit) != 0)
            return refuse(err, err_size, "require_auth method \"%.*s\" is specified more than once",
                          name, name_len);
        seen |= bit;
        if (*end == '\0')
            break;
        p = end + 1;
    }
    out->allowed = negative ? PG_AUTH_ALL & ~seen : seen;
    out->limited = 1;
    return 0;
}
