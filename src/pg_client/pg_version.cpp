/*
 * Server version numbers.
 */
#include "pg_client/pg_version.h"

#include <cstdio>

/* Digits at *p as a number (at most 6 of them), moving p past them; -1
 * when there is none. */
static long digits(const char **p)
{
    long v = -1;
    for (int n = 0; n < 6 && **p >= '0' && **p <= '9'; n++, (*p)++)
        v = (v < 0 ? 0 : v * 10) + (**p - '0');
    return v;
}

int pg_version_num(const char *server_version)
{
    const char *p = server_version;
    long major = digits(&p);
    if (major <= 0 || major > 999)
        return 0;
    long minor = 0, patch = 0;
    if (*p == '.') {
        p++;
        minor = digits(&p);
        if (minor < 0 || minor > 99)
            return 0;
    }
    if (major < 10) { /* 9.6.24: two numbers name the major version */
        if (*p == '.') {
            p++;
            patch = digits(&p);
        }
        return (int)(major * 10000 + minor * 100 + (patch > 0 && patch < 100 ? patch : 0));
    }
    return (int)(major * 10000 + minor);
}

int pg_version_check(const char *server_version, char *text, size_t room)
{
    int v = pg_version_num(server_version);
    if (v >= PG_OLDEST_DUMPED)
        return 0;
    int n = 0; /* the version alone, without the builder's note */
    while (n < 40 && server_version[n] != '\0' && server_version[n] != ' ')
        n++;
    if (v == 0)
        snprintf(text, room,
                 "server version \"%.*s\" not understood: dumps read PostgreSQL 12 and newer", n,
                 server_version);
    else
        snprintf(text, room, "PostgreSQL %.*s is not supported: dumps read PostgreSQL 12 and newer",
                 n, server_version);
    return -1;
}
