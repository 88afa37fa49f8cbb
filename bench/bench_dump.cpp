/*
 * Times a dump of one database three ways, alternating within one run so
 * that the machine's state is shared: the library (rows_per_insert 100),
 * pg_dump --inserts --rows-per-insert=100, and plain pg_dump (COPY, the
 * near-limit reference).  Each runs in a child process so that its peak
 * resident memory can be read from wait4().
 *
 *   bench_dump HOST PORT USER DB OUTDIR ROUNDS
 */
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "veltrano-pgdump.h"

namespace
{

struct sample {
    double seconds;
    double cpu; /* user + system time of the dumping process */
    long peak_kib;
    long long bytes;
};

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

long long file_size(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

int library_dump(const std::string &cfg)
{
    int s = pgdump_start(cfg.c_str());
    if (s < 0) {
        fprintf(stderr, "start: %s\n", pgdump_last_error());
        return 1;
    }
    while (pgdump_status(s) < 3)
        usleep(2000);
    int ok = pgdump_status(s) == 3;
    if (!ok)
        fprintf(stderr, "dump: %s\n", pgdump_result(s));
    pgdump_free(s);
    return ok ? 0 : 1;
}

/* Runs fn in a child (or execs argv) and measures it. */
sample measure(const std::string &out, const std::string &cfg, char *const argv[])
{
    double t0 = now_s();
    pid_t pid = fork();
    if (pid == 0) {
        if (argv != nullptr) {
            execvp(argv[0], argv);
            _exit(127);
        }
        _exit(library_dump(cfg));
    }
    int status = 0;
    rusage ru = {};
    wait4(pid, &status, 0, &ru);
    double t1 = now_s();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "run failed (%s)\n", argv ? argv[0] : "library");
        exit(1);
    }
    double cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
                 ru.ru_stime.tv_usec / 1e6;
    return {t1 - t0, cpu, ru.ru_maxrss, file_size(out)};
}

void report(const char *name, const sample *s, int n)
{
    double best = s[0].seconds, sum = 0, cpu = 0;
    long peak = 0;
    for (int i = 0; i < n; i++) {
        best = s[i].seconds < best ? s[i].seconds : best;
        sum += s[i].seconds;
        cpu += s[i].cpu;
        peak = s[i].peak_kib > peak ? s[i].peak_kib : peak;
    }
    printf("%-34s best %6.2f s  mean %6.2f s  client cpu %6.2f s  peak RSS %6ld KiB  output "
           "%10lld bytes\n",
           name, best, sum / n, cpu / n, peak, s[n - 1].bytes);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: %s HOST PORT USER DB OUTDIR ROUNDS\n", argv[0]);
        return 2;
    }
    std::string host = argv[1], port = argv[2], user = argv[3], db = argv[4], dir = argv[5];
    int rounds = atoi(argv[6]);
    if (rounds < 1 || rounds > 20)
        rounds = 3;

    std::string lib_out = dir + "/library.sql";
    std::string ins_out = dir + "/pg_dump_inserts.sql";
    std::string copy_out = dir + "/pg_dump_copy.sql";
    std::string cfg = "{\"host\":\"" + host + "\",\"port\":" + port + ",\"user\":\"" + user +
                      "\",\"database\":\"" + db + "\",\"out_path\":\"" + lib_out +
                      "\",\"rows_per_insert\":100}";
    std::string f_ins = "--file=" + ins_out, f_copy = "--file=" + copy_out;
    std::string h = "--host=" + host, p = "--port=" + port, u = "--username=" + user,
                d = "--dbname=" + db;
    char *ins_argv[] = {(char *)"pg_dump",
                        (char *)h.c_str(),
                        (char *)p.c_str(),
                        (char *)u.c_str(),
                        (char *)"--no-password",
                        (char *)"--inserts",
                        (char *)"--rows-per-insert=100",
                        (char *)f_ins.c_str(),
                        (char *)d.c_str(),
                        nullptr};
    char *copy_argv[] = {
        (char *)"pg_dump",       (char *)h.c_str(),      (char *)p.c_str(), (char *)u.c_str(),
        (char *)"--no-password", (char *)f_copy.c_str(), (char *)d.c_str(), nullptr};

    sample lib[20], ins[20], copy[20];
    for (int r = 0; r < rounds; r++) {
        lib[r] = measure(lib_out, cfg, nullptr);
        ins[r] = measure(ins_out, "", ins_argv);
        copy[r] = measure(copy_out, "", copy_argv);
        fprintf(stderr, "round %d: library %.2f s, pg_dump --inserts %.2f s, pg_dump %.2f s\n",
                r + 1, lib[r].seconds, ins[r].seconds, copy[r].seconds);
    }
    report("veltrano-pgdump (100 rows/INSERT)", lib, rounds);
    report("pg_dump --inserts --rows-per-insert", ins, rounds);
    report("pg_dump (COPY)", copy, rounds);
    double best_lib = lib[0].seconds, best_ins = ins[0].seconds, best_copy = copy[0].seconds;
    for (int r = 1; r < rounds; r++) {
        best_lib = lib[r].seconds < best_lib ? lib[r].seconds : best_lib;
        best_ins = ins[r].seconds < best_ins ? ins[r].seconds : best_ins;
        best_copy = copy[r].seconds < best_copy ? copy[r].seconds : best_copy;
    }
    printf("speed-up over pg_dump --inserts: %.2fx; time relative to plain pg_dump: %.2fx\n",
           best_ins / best_lib, best_lib / best_copy);
    return 0;
}
