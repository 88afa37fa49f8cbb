/*
 * Reading the server version from a script's header.
 */
#include "restore/script_origin.h"

#include <cstdio>
#include <cstring>

#include "pg_client/pg_version.h"
#include "restore/script_input.h"

int script_origin(const char *path, char *out, size_t room)
{
    script_input in;
    if (si_open(&in, path) != 0)
        return -1;
    char head[512];
    size_t got = 0;
    long n = 0;
    while (got < sizeof head - 1 && (n = si_read(&in, reinterpret_cast<unsigned char *>(head) + got,
                                                 sizeof head - 1 - got)) > 0)
        got += (size_t)n;
    si_close(&in);
    head[got] = '\0';
    static const char MARK[] = "\n-- Server: PostgreSQL ";
    const char *at = strstr(head, MARK);
    if (at == nullptr || room == 0)
        return -1;
    at += sizeof MARK - 1;
    size_t len = strcspn(at, " \r\n");
    if (len == 0 || at[len] == '\0')
        return -1; /* nothing, or cut at the end of what was read */
    snprintf(out, room, "%.*s", (int)len, at);
    return 0;
}

void script_origin_note(const char *path, const char *server_version, char *text, size_t room)
{
    char origin[64];
    if (script_origin(path, origin, sizeof origin) != 0)
        return;
    int made = pg_version_num(origin), here = pg_version_num(server_version);
    if (made == 0 || here == 0 || made / 10000 <= here / 10000)
        return;
    size_t used = strlen(text);
    int cut = (int)strcspn(server_version, " ");
    snprintf(text + used, room - used,
             " (the script comes from PostgreSQL %s, newer than this server's %.*s)", origin, cut,
             server_version);
}
