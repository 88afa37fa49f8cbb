/*
 * The restore command: replay a script through the library (no psql),
 * followed like a dump: progress by bytes of the script read, Ctrl-C as a
 * cancel, the same exit statuses.
 */
#include "commands.h"

#include "cli.h"
#include "session_wait.h"
#include "stdio_file.h"
#include "terminal.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char g_usage[] =
    "Usage: veltrano-pgdump restore -d DBNAME -f FILE [OPTION]...\n"
    "\n"
    "Replays a plain SQL script (written by this program or by PostgreSQL's dump\n"
    "tool; gzip or zstd compressed too) into DBNAME, without psql.\n"
    "\n"
    "Restore options:\n"
    "  -f, --file=FILE          the script (\"-\" for standard input)\n"
    "  -1, --single-transaction  the whole script in one transaction: all or nothing\n"
    "  -O, --no-owner           skip ALTER ... OWNER TO statements (for a cluster\n"
    "                           without the script's roles)\n"
    "  -x, --no-privileges      skip GRANT, REVOKE and ALTER DEFAULT PRIVILEGES\n"
    "      --role=ROLE          SET ROLE to ROLE before restoring\n"
    "      --continue-on-error  go on after a failed statement and count the failures\n"
    "                           (the exit status is then 1 when any failed)\n"
    "  -v, --verbose            name each table on standard error as its rows are\n"
    "                           restored\n"
    "      --progress           plain progress lines every 5 s even without a terminal\n"
    "      --no-progress        no progress output\n"
    "\n"
    "A progress line is drawn on standard error while it is a terminal.  Ctrl-C\n"
    "cancels the restore and the exit status is 130.  With --json the final\n"
    "result reply is printed on standard output.\n"
    "\n"
    "Connection options as for the other commands (see veltrano-pgdump --help).\n";

const char *const g_own[] = {
    "file",    "single-transaction", "continue-on-error", "progress", "no-progress",
    "verbose", "no-owner",           "no-privileges",     "role",     nullptr};

/* A script file the library could not read, named with the system's
 * reason; "" when it can be read. */
std::string unreadable(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "cannot open script file \"" + printable(path) + "\": " + strerror(errno);
    struct stat st;
    std::string why;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        why = "cannot read script file \"" + printable(path) + "\": " + strerror(EISDIR);
    close(fd);
    return why;
}

const size_t LIMIT_IN_PATH = 1023;

int configure(const options &o, config_doc &c, target &t)
{
    if (t.dbname.empty()) {
        error_msg("no database: give -d DBNAME or set PGDATABASE");
        return EXIT_FAIL;
    }
    if (!o.file_set || o.file.empty()) {
        error_msg("no script: give -f FILE (\"-\" for standard input)");
        return EXIT_FAIL;
    }
    t.file = o.file;
    std::string why = o.file == "-" || o.print_config ? "" : unreadable(o.file);
    if (!why.empty()) {
        error_msg(why);
        return EXIT_FAIL;
    }
    if (o.file == "-") {
        std::string err;
        if (temp_dir_make(t.temp_dir, err) != 0) {
            error_msg(err);
            return EXIT_FAIL;
        }
        t.file = t.temp_dir + "/script.sql";
        t.via_stdio = true;
        /* The library reads by path, and a restore reports where it got
         * to in bytes of a known total: the whole input first. */
        catch_interrupts();
        if (!o.print_config && copy_fd_to_file(STDIN_FILENO, t.file, err) != 0) {
            error_msg(err);
            return g_interrupts > 0 ? EXIT_CANCELLED : EXIT_FAIL;
        }
    }
    cd_text(c, "in_path", t.file, LIMIT_IN_PATH, "the script path");
    if (o.single_transaction)
        cd_flag(c, "single_transaction", true);
    if (o.continue_on_error)
        cd_flag(c, "stop_on_error", false);
    if (o.owners == 0)
        cd_flag(c, "no_owner", true);
    if (o.privileges == 0)
        cd_flag(c, "no_privileges", true);
    if (o.role_set)
        cd_text(c, "role", o.role, LIMIT_ROLE, "the role");
    return 0;
}

/* What a restore that stopped left in the database, as far as the host
 * knows it: nothing inside one transaction; else what ran before the
 * failing line, each statement having committed on its own unless the
 * script holds its own transaction. */
std::string committed_note(const options &o, const session_outcome &r)
{
    if (o.single_transaction)
        return "nothing was committed: the script ran in one transaction, rolled back";
    long long done = jnum(r.progress, "statements_done");
    if (done == 0)
        return "nothing was committed";
    unsigned long long line = 0;
    if (sscanf(r.error.c_str(), "line %llu:", &line) == 1 && line > 1)
        return "the " + grouped(done) + " statements before line " + std::to_string(line) +
               " ran and stay committed, except those inside a transaction the script left "
               "open";
    return "the " + grouped(done) +
           " statements that ran stay committed, except those inside "
           "a transaction the script left open";
}

int report(const options &o, const target &t, const session_outcome &r)
{
    const json &res = r.result;
    long long errors = jnum(res, "errors");
    if (o.json) {
        printf("%s\n", r.reply.c_str());
        if (r.state == 3)
            return errors > 0 ? EXIT_FAIL : EXIT_OK;
        return r.cancelled ? EXIT_CANCELLED : EXIT_FAIL;
    }
    if (r.state == 3) {
        long long bytes = jnum(res, "bytes"), ms = jnum(res, "elapsed_ms");
        long long rate = ms > 0 ? bytes * 1000 / ms : 0;
        std::string from =
            t.via_stdio ? std::string("standard input") : printable(jstr(res, "in_path"));
        ms = r.elapsed_ms; /* the run's own time */
        rate = ms > 0 ? bytes * 1000 / ms : 0;
        /* Rows are counted in COPY blocks only: none is no news. */
        long long copied = jnum(res, "rows_copied");
        std::string rows = copied > 0 ? ", " + grouped(copied) + " rows copied" : "";
        fprintf(stderr, "Restored %s statements%s, %s in %.1f s (%s/s) from %s\n",
                grouped(jnum(res, "statements")).c_str(), rows.c_str(), human_bytes(bytes).c_str(),
                (double)ms / 1000.0, human_bytes(rate).c_str(), from.c_str());
        if (errors == 0)
            return EXIT_OK;
        fprintf(stderr, "%s: warning: %lld statement%s failed; the first: %s\n", g_prog, errors,
                errors == 1 ? "" : "s", printable(jstr(res, "first_error")).c_str());
        return EXIT_FAIL;
    }
    if (r.cancelled) {
        std::string note = committed_note(o, r);
        fprintf(stderr, "%s: cancelled after %s: %lld statements done%s%s\n", g_prog,
                human_duration(r.elapsed_ms).c_str(), jnum(r.progress, "statements_done"),
                note.empty() ? "" : "; ", note.c_str());
        return EXIT_CANCELLED;
    }
    error_msg(r.error.empty() ? std::string("restore failed without a reason") : r.error);
    password_hint(t, r.error);
    std::string note = committed_note(o, r);
    if (!note.empty())
        fprintf(stderr, "%s: %s\n", g_prog, note.c_str());
    return EXIT_FAIL;
}

int run(const options &o, const target &t)
{
    progress_view pv;
    pv.restore = true;
    pv.verbose = o.verbose ? "processing data for table" : nullptr;
    if (o.progress == 0)
        pv.mode = 0;
    else if (isatty(STDERR_FILENO))
        pv.mode = 1;
    else
        pv.mode = o.progress == 1 ? 2 : 0;

    catch_interrupts();
    pv.started = monotonic_ms();
    pv.last_plain = pv.started;
    int32_t s = pgdump_restore_start(t.config.c_str());
    if (s < 0) {
        error_msg(pgdump_last_error());
        return EXIT_FAIL;
    }
    session_outcome r;
    session_wait(s, pv, "the restore", r);
    return report(o, t, r);
}

} // namespace

const command_def g_cmd_restore = {"restore", g_usage, g_own, configure, run};
