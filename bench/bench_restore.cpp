/*
 * Times the restore of one INSERT script written by the library, psql -X -f
 * against the library, alternating within one run so that the machine's
 * state is shared: each pair in autocommit, then each pair as one
 * transaction (psql -1, single_transaction).  The target database is made
 * afresh before every restore.
 *
 *   bench_restore HOST PORT USER SOURCE_DB SCRIPT ROUNDS
 */
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "veltrano-pgdump.h"

namespace
{

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string g_conn;

int run(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    if (rc != 0)
        fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
    return rc;
}

int fresh_target()
{
    return run("psql -X -q" + g_conn +
               " -d postgres -c 'DROP DATABASE IF EXISTS bench_target' "
               "-c 'CREATE DATABASE bench_target' >/dev/null");
}

/* Runs a session to its end; 0 when it is done. */
int wait_done(int s, const char *what)
{
    if (s < 0) {
        fprintf(stderr, "%s: %s\n", what, pgdump_last_error());
        return 1;
    }
    while (pgdump_status(s) < 3)
        usleep(2000);
    int ok = pgdump_status(s) == 3;
    if (!ok)
        fprintf(stderr, "%s: %s\n", what, pgdump_result(s));
    pgdump_free(s);
    return ok ? 0 : 1;
}

double time_psql(const std::string &script, bool single)
{
    if (fresh_target() != 0)
        return -1;
    double t0 = now_s();
    if (run("psql -X -q -v ON_ERROR_STOP=1" + std::string(single ? " -1" : "") + g_conn +
            " -d bench_target -f " + script + " >/dev/null") != 0)
        return -1;
    return now_s() - t0;
}

double time_library(const std::string &base_cfg, const std::string &script, bool single)
{
    if (fresh_target() != 0)
        return -1;
    std::string cfg = base_cfg + "\"database\":\"bench_target\",\"in_path\":\"" + script +
                      "\",\"single_transaction\":" + (single ? "true" : "false") + "}";
    double t0 = now_s();
    if (wait_done(pgdump_restore_start(cfg.c_str()), "restore") != 0)
        return -1;
    return now_s() - t0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: bench_restore HOST PORT USER SOURCE_DB SCRIPT ROUNDS\n");
        return 2;
    }
    std::string host = argv[1], port = argv[2], user = argv[3], db = argv[4], script = argv[5];
    int rounds = atoi(argv[6]);
    g_conn = " -h " + host + " -p " + port + " -U " + user;
    std::string base =
        "{\"host\":\"" + host + "\",\"port\":" + port + ",\"user\":\"" + user + "\",";
    if (wait_done(
            pgdump_start(
                (base + "\"database\":\"" + db + "\",\"out_path\":\"" + script + "\"}").c_str()),
            "dump") != 0)
        return 1;
    printf("%-28s %10s\n", "restore of the INSERT script", "seconds");
    for (int r = 1; r <= rounds; r++) {
        for (bool single : {false, true}) {
            double p = time_psql(script, single);
            double l = time_library(base, script, single);
            printf("round %d %-12s psql -X -f%s %8.2f   library %8.2f   (%.2fx)\n", r,
                   single ? "one tx" : "autocommit", single ? " -1" : "   ", p, l,
                   l > 0 ? p / l : 0.0);
            fflush(stdout);
        }
    }
    return 0;
}
