/*
 * The dump command: start a session, draw the progress line, pass Ctrl-C
 * on as a cancel, and report the result.
 */
#include "commands.h"

#include "cli.h"
#include "progress.h"
#include "terminal.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>
#include <unistd.h>

namespace
{

/* The sum of the planner's row estimates of the tables the dump takes. */
long long row_estimate(const target &t)
{
    if (!t.include_data)
        return 0;
    jvalue doc;
    const char *reply = pgdump_list_tables(t.config.c_str());
    if (!json_parse(reply, doc) || !doc.flag("ok"))
        return 0;
    const jvalue *list = doc.get("tables");
    if (list == nullptr)
        return 0;
    long long sum = 0;
    for (const jvalue &v : list->items) {
        bool wanted = t.tables.empty();
        for (const std::string &name : t.tables)
            if (name == v.str("name"))
                wanted = true;
        if (wanted)
            sum += v.num("rows");
    }
    return sum;
}

} // namespace

int cmd_dump(const options &o, const target &t)
{
    progress_view pv;
    if (o.progress == 0)
        pv.mode = 0;
    else if (isatty(STDERR_FILENO))
        pv.mode = 1;
    else
        pv.mode = o.progress == 1 ? 2 : 0;
    /* Without a strict reading of a --config document the table list is
     * unknown; the estimate then covers every table, a fair guess. */
    if (pv.mode != 0)
        pv.estimate = row_estimate(t);

    catch_interrupts();
    pv.started = monotonic_ms();
    pv.last_plain = pv.started;
    int32_t s = pgdump_start(t.config.c_str());
    if (s < 0) {
        error_msg(pgdump_last_error());
        return EXIT_FAIL;
    }

    bool cancel_sent = false;
    int32_t state = 0;
    jvalue p;
    for (;;) {
        if (g_interrupts > 0 && !cancel_sent) {
            pgdump_cancel(s);
            cancel_sent = true;
        }
        if (g_interrupts > 1) {
            /* A second Ctrl-C: the worker may be stuck in a read from a
             * server that stopped answering; leave without waiting. */
            clear_progress(pv);
            fprintf(stderr, "%s: interrupted again, leaving without waiting for the dump\n",
                    g_prog);
            fflush(stderr);
            _exit(EXIT_CANCELLED);
        }
        state = pgdump_status(s);
        if (state >= 3 || state < 0)
            break;
        if (json_parse(pgdump_progress(s), p))
            show_progress(pv, p, cancel_sent);
        sleep_ms(100);
    }
    json_parse(pgdump_progress(s), p);
    clear_progress(pv);

    const char *reply = pgdump_result(s);
    jvalue r;
    json_parse(reply, r);
    std::string error = r.str("error");
    long long elapsed = monotonic_ms() - pv.started;
    /* A cancel that reaches the worker while it waits for the server ends
     * the run as failed with "cancelled"; for the user both are the same. */
    bool cancelled = state == 4 || (cancel_sent && state == 5 && error == "cancelled");
    std::string out_path = r.str("out_path");
    int rc;
    if (o.json) {
        printf("%s\n", reply);
        rc = state == 3 ? EXIT_OK : (cancelled ? EXIT_CANCELLED : EXIT_FAIL);
    } else if (state == 3) {
        long long bytes = r.num("bytes");
        long long ms = r.num("elapsed_ms");
        long long rate = ms > 0 ? bytes * 1000 / ms : 0;
        printf("Dumped %lld table%s, %s rows, %s in %.1f s (%s/s) to %s\n", r.num("tables"),
               r.num("tables") == 1 ? "" : "s", grouped(r.num("rows")).c_str(),
               human_bytes(bytes).c_str(), (double)ms / 1000.0, human_bytes(rate).c_str(),
               printable(out_path).c_str());
        rc = EXIT_OK;
    } else if (cancelled) {
        fprintf(stderr,
                "%s: cancelled after %s: %lld of %lld tables done, %s rows; the partial "
                "script stays on disk\n",
                g_prog, human_duration(elapsed).c_str(), p.num("tables_done"),
                p.num("tables_total"), grouped(p.num("rows_written")).c_str());
        rc = EXIT_CANCELLED;
    } else {
        error_msg(error.empty() ? std::string("dump failed (no reason given; a write to the "
                                              "output file may have failed)")
                                : error);
        password_hint(t, error);
        if (p.num("bytes_written") > 0)
            fprintf(stderr, "%s: the partial script stays on disk\n", g_prog);
        rc = EXIT_FAIL;
    }
    pgdump_free(s);
    return rc;
}
