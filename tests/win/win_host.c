/*
 * A minimal host application: loads the library at run time by file name,
 * as a Windows host would, resolves the eleven exports by name and drives
 * them against a live server.
 *
 *   win_host LIBRARY HOST PORT USER PASSWORD DATABASE OUT_PATH
 *
 * Steps: version; a failing login (the password with "-wrong" appended);
 * a good login; the database list (must name DATABASE); the table list; a
 * full dump to OUT_PATH; the same dump to a name with non-ASCII letters
 * derived from OUT_PATH ("x.sql" -> "x-été-дамп.sql", UTF-8), which the
 * caller compares with the first; a dump into a missing directory, which
 * must fail; a dump cancelled and freed at once ("OUT_PATH.cancelled").
 * Every reply is printed.  Exit status 0
 * when every step answered as expected, 1 otherwise, 2 on bad usage or a
 * library that cannot be loaded.
 *
 * Built from the same source for Windows (LoadLibraryA) and for Linux
 * (dlopen) so that both builds of the library can be compared.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE lib_handle;
static lib_handle lib_open(const char *path)
{
    return LoadLibraryA(path);
}
static void *lib_sym(lib_handle h, const char *name)
{
    return (void *)GetProcAddress(h, name);
}
static void pause_ms(int ms)
{
    Sleep((DWORD)ms);
}
#else
#include <dlfcn.h>
#include <time.h>
typedef void *lib_handle;
static lib_handle lib_open(const char *path)
{
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static void *lib_sym(lib_handle h, const char *name)
{
    return dlsym(h, name);
}
static void pause_ms(int ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}
#endif

/* The library's own header is not included: the host sees only the names
 * and types, exactly as a foreign-language host would declare them.  Win64
 * has a single calling convention, so no __cdecl is needed here. */
typedef const char *(*text_fn)(void);
typedef const char *(*config_fn)(const char *);
typedef int32_t (*start_fn)(const char *);
typedef int32_t (*status_fn)(int32_t);
typedef const char *(*session_text_fn)(int32_t);
typedef void (*session_fn)(int32_t);

static struct {
    text_fn version, last_error;
    config_fn test_connection, list_databases, list_tables;
    start_fn start, restore_start;
    status_fn status;
    session_text_fn progress, result;
    session_fn cancel, free_session;
} api;

static int failures;

static void check(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        failures++;
}

static int starts(const char *s, const char *prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

/* Appends s to out as a JSON string, quotes included. */
static void json_put(char *out, size_t cap, const char *s)
{
    size_t n = strlen(out);
    if (n + 1 < cap)
        out[n++] = '"';
    for (; *s && n + 8 < cap; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') {
            out[n++] = '\\';
            out[n++] = (char)c;
        } else if (c < 0x20) {
            n += (size_t)snprintf(out + n, cap - n, "\\u%04x", c);
        } else {
            out[n++] = (char)c;
        }
    }
    if (n + 1 < cap)
        out[n++] = '"';
    out[n] = '\0';
}

static void make_config(char *out, size_t cap, const char *host, const char *port, const char *user,
                        const char *password, const char *db, const char *out_path)
{
    out[0] = '\0';
    strcat(out, "{\"host\":");
    json_put(out, cap, host);
    snprintf(out + strlen(out), cap - strlen(out), ",\"port\":%d,\"user\":", atoi(port));
    json_put(out, cap, user);
    strcat(out, ",\"password\":");
    json_put(out, cap, password);
    strcat(out, ",\"database\":");
    json_put(out, cap, db);
    if (out_path != NULL) {
        strcat(out, ",\"out_path\":");
        json_put(out, cap, out_path);
    }
    strcat(out, "}");
}

/* Runs one dump to the end; 0 when it finished as done. */
static int run_session(start_fn start, const char *config)
{
    int32_t s = start(config);
    printf("start: %d\n", (int)s);
    if (s < 0) {
        printf("last_error: %s\n", api.last_error());
        return -1;
    }
    int32_t state = api.status(s);
    /* Bounded: a sandbox dump takes well under a second. */
    for (int waited = 0; state >= 0 && state < 3 && waited < 120000; waited += 10) {
        pause_ms(10);
        state = api.status(s);
    }
    printf("progress: %s\n", api.progress(s));
    printf("result: %s\n", api.result(s));
    int ok = state == 3 && starts(api.result(s), "{\"ok\":true,");
    api.free_session(s);
    check(api.status(s) == 0, "slot idle after free");
    return ok ? 0 : -1;
}

static int dump_to(const char *config)
{
    return run_session(api.start, config);
}

int main(int argc, char **argv)
{
    if (argc != 8 && argc != 9) {
        fprintf(stderr, "usage: %s LIBRARY HOST PORT USER PASSWORD DATABASE OUT_PATH [RESTORE_DB]\n",
                argv[0]);
        return 2;
    }
    const char *host = argv[2], *port = argv[3], *user = argv[4], *password = argv[5];
    const char *db = argv[6], *out_path = argv[7];

    lib_handle lib = lib_open(argv[1]);
    if (!lib) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    struct {
        const char *name;
        void *slot; /* a function pointer of api */
    } names[] = {
        {"pgdump_version", &api.version},
        {"pgdump_last_error", &api.last_error},
        {"pgdump_test_connection", &api.test_connection},
        {"pgdump_list_databases", &api.list_databases},
        {"pgdump_list_tables", &api.list_tables},
        {"pgdump_start", &api.start},
        {"pgdump_restore_start", &api.restore_start},
        {"pgdump_status", &api.status},
        {"pgdump_progress", &api.progress},
        {"pgdump_result", &api.result},
        {"pgdump_cancel", &api.cancel},
        {"pgdump_free", &api.free_session},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        void *sym = lib_sym(lib, names[i].name);
        if (sym == NULL) {
            fprintf(stderr, "export %s missing\n", names[i].name);
            return 2;
        }
        memcpy(names[i].slot, &sym, sizeof sym);
    }

    static char config[4096], reply[65536], wrong[300], utf8_path[1200];
    const char *r = api.version();
    printf("version: %s\n", r);
    check(strcmp(r, "veltrano-pgdump 1.0.0") == 0, "version");

    snprintf(wrong, sizeof wrong, "%s-wrong", password);
    make_config(config, sizeof config, host, port, user, wrong, db, NULL);
    r = api.test_connection(config);
    printf("test_connection (wrong password): %s\n", r);
    check(starts(r, "{\"ok\":false,\"error\":\""), "wrong password refused");

    make_config(config, sizeof config, host, port, user, password, db, NULL);
    r = api.test_connection(config);
    printf("test_connection: %s\n", r);
    check(starts(r, "{\"ok\":true,\"server_version\":\""), "login");

    snprintf(reply, sizeof reply, "%s", api.list_databases(config));
    printf("list_databases: %s\n", reply);
    snprintf(wrong, sizeof wrong, "\"%s\"", db);
    check(starts(reply, "{\"ok\":true,\"databases\":[") && strstr(reply, wrong), "database listed");

    r = api.list_tables(config);
    printf("list_tables: %s\n", r);
    check(starts(r, "{\"ok\":true,\"tables\":[{"), "tables listed");

    make_config(config, sizeof config, host, port, user, password, db, out_path);
    check(dump_to(config) == 0, "dump");

    /* The same dump over TLS, verify-full with channel binding, when the
     * test names the server's CA. */
    const char *ca = getenv("PGDUMP_TLS_CA");
    if (ca != NULL && ca[0] != '\0') {
        snprintf(utf8_path, sizeof utf8_path, "%s.tls", out_path);
        make_config(config, sizeof config, host, port, user, password, db, utf8_path);
        config[strlen(config) - 1] = '\0';
        strcat(config, ",\"sslmode\":\"verify-full\",\"channel_binding\":\"require\","
                       "\"sslrootcert\":");
        json_put(config, sizeof config, ca);
        strcat(config, "}");
        check(dump_to(config) == 0, "dump over verify-full TLS with channel binding");
    }

    /* The complete script of the same database, beside the first; one
     * fence key for both hosts, so that their scripts compare byte for
     * byte. */
    snprintf(utf8_path, sizeof utf8_path, "%s.complete", out_path);
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    config[strlen(config) - 1] = '\0';
    strcat(config, ",\"complete\":true,\"restrict_key\":\"WinHostCheck\"}");
    check(dump_to(config) == 0, "complete dump");
    if (argc == 9) {
        /* That script restored by the library itself into RESTORE_DB. */
        make_config(config, sizeof config, host, port, user, password, argv[8], NULL);
        config[strlen(config) - 1] = '\0';
        strcat(config, ",\"in_path\":");
        json_put(config, sizeof config, utf8_path);
        strcat(config, "}");
        check(run_session(api.restore_start, config) == 0, "restore of the complete script");
    }

    /* The same data as COPY blocks read on two connections, zstd- and
     * gzip-compressed (the DLL's static zlib and zstd against the
     * system's). */
    snprintf(utf8_path, sizeof utf8_path, "%s.copy.zst", out_path);
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    config[strlen(config) - 1] = '\0';
    strcat(config, ",\"data_format\":\"copy\",\"jobs\":2,\"compression\":\"zstd\"}");
    check(dump_to(config) == 0, "parallel COPY dump, zstd");
    snprintf(utf8_path, sizeof utf8_path, "%s.gz", out_path);
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    config[strlen(config) - 1] = '\0';
    strcat(config, ",\"compression\":\"gzip\",\"compression_level\":6}");
    check(dump_to(config) == 0, "gzip dump");

    /* "-été-дамп" before the extension, in UTF-8. */
    const char *dot = strrchr(out_path, '.');
    size_t stem = dot ? (size_t)(dot - out_path) : strlen(out_path);
    snprintf(utf8_path, sizeof utf8_path,
             "%.*s-\xc3\xa9t\xc3\xa9-\xd0\xb4\xd0\xb0\xd0\xbc\xd0\xbf%s", (int)stem, out_path,
             dot ? dot : "");
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    check(dump_to(config) == 0, "dump to a non-ASCII path");

    /* A file in a directory that does not exist: refused by the file layer,
     * reported as the session's failure. */
    char sep = strchr(out_path, '\\') ? '\\' : '/';
    snprintf(utf8_path, sizeof utf8_path, "%s.missing%cx.sql", out_path, sep);
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    int32_t s = api.start(config);
    int32_t state = s;
    for (int waited = 0; s >= 0 && state >= 0 && state < 3 && waited < 120000; waited += 10) {
        pause_ms(10);
        state = api.status(s);
    }
    if (s >= 0) {
        r = api.result(s);
        printf("result (missing directory): %s\n", r);
        check(state == 5 && strstr(r, "cannot open output file") != NULL,
              "missing directory reported");
        api.free_session(s);
    } else {
        check(0, "missing directory reported");
    }

    /* Cancelled at once and freed while the worker may still run: free
     * must wait for the thread and leave the slot idle. */
    snprintf(utf8_path, sizeof utf8_path, "%s.cancelled", out_path);
    make_config(config, sizeof config, host, port, user, password, db, utf8_path);
    s = api.start(config);
    if (s >= 0) {
        api.cancel(s);
        api.free_session(s);
        check(api.status(s) == 0, "cancelled session freed");
    } else {
        check(0, "cancelled session freed");
    }

    printf("%s\n", failures ? "host checks failed" : "host checks passed");
    return failures ? 1 : 0;
}
