#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <windows.h>

char *mkdtemp(char *tmpl)
{
    size_t n = strlen(tmpl);
    if (n < 6 || strcmp(tmpl + n - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    /* Process id and tick count make a name; a clash (a directory left by an
     * earlier run) just moves on to the next candidate. */
    unsigned seed = (unsigned)GetCurrentProcessId() * 2654435761u ^ (unsigned)GetTickCount();
    for (int attempt = 0; attempt < 100; attempt++) {
        snprintf(tmpl + n - 6, 7, "%06x", (seed + (unsigned)attempt * 7919u) & 0xFFFFFFu);
        if (_mkdir(tmpl) == 0)
            return tmpl;
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

int symlink(const char *, const char *)
{
    errno = ENOSYS;
    return -1;
}
