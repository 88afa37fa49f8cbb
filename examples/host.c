/*
 * A minimal host of veltrano-pgdump: start one dump, follow its progress,
 * read the result and release the session.
 *
 *   example-host '{"host":"127.0.0.1","port":5432,"user":"me",
 *                  "password":"secret","database":"shop","out_path":"shop.sql"}'
 *
 * Without an argument the configuration is taken from the environment
 * variable PGDUMP_CONFIG.  Exit status 0 when the dump is complete.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep under strict C */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <veltrano-pgdump.h>

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(int ms)
{
    Sleep((DWORD)ms);
}
#else
#include <time.h>
static void pause_ms(int ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}
#endif

int main(int argc, char **argv)
{
    const char *config = argc > 1 ? argv[1] : getenv("PGDUMP_CONFIG");
    if (config == NULL) {
        fprintf(stderr, "usage: %s CONFIG_JSON   (or set PGDUMP_CONFIG)\n", argv[0]);
        return 2;
    }
    printf("%s\n", pgdump_version());

    int32_t session = pgdump_start(config);
    if (session < 0) {
        /* -1: the configuration was refused; -2: all four sessions busy. */
        fprintf(stderr, "cannot start: %s\n", pgdump_last_error());
        return 1;
    }

    /* States 3 (done), 4 (cancelled) and 5 (failed) are final. */
    int32_t state;
    while ((state = pgdump_status(session)) >= 0 && state < 3) {
        printf("progress %s\n", pgdump_progress(session));
        pause_ms(200);
    }

    /* The reply text belongs to the library and stays valid until the next
     * pgdump_result() or pgdump_free() of this session: use it first. */
    const char *result = pgdump_result(session);
    printf("result %s\n", result);
    int ok = strncmp(result, "{\"ok\":true", 10) == 0;

    pgdump_free(session);
    return ok ? 0 : 1;
}
