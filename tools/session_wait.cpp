/*
 * Following a started session to its end.
 */
#include "session_wait.h"

#include "cli.h"
#include "terminal.h"

#include "veltrano-pgdump.h"

#include <cstdio>
#include <unistd.h>

void session_wait(int32_t s, progress_view &pv, const char *what, session_outcome &out)
{
    bool cancel_sent = false;
    int32_t state = 0;
    for (;;) {
        if (g_interrupts > 0 && !cancel_sent) {
            pgdump_cancel(s);
            cancel_sent = true;
        }
        if (g_interrupts > 1) {
            /* A second Ctrl-C: the worker may be stuck in a read from a
             * server that stopped answering; leave without waiting. */
            clear_progress(pv);
            fprintf(stderr, "%s: interrupted again, leaving without waiting for %s\n", g_prog,
                    what);
            fflush(stderr);
            _exit(EXIT_CANCELLED);
        }
        state = pgdump_status(s);
        if (state >= 3 || state < 0)
            break;
        json p = reply_parse(pgdump_progress(s));
        if (p.is_object()) {
            note_table(pv, p);
            show_progress(pv, p, cancel_sent);
        }
        sleep_ms(100);
    }
    out.progress = reply_parse(pgdump_progress(s));
    clear_progress(pv);
    note_table(pv, out.progress);
    const char *reply = pgdump_result(s);
    out.reply = reply != nullptr ? reply : "";
    out.result = reply_parse(reply);
    out.error = jstr(out.result, "error");
    out.state = state;
    out.elapsed_ms = monotonic_ms() - pv.started;
    /* A cancel that reaches the worker while it waits for the server ends
     * the run as failed with "cancelled"; for the user both are the same. */
    out.cancelled = state == 4 || (cancel_sent && state == 5 && out.error == "cancelled");
    pgdump_free(s);
}
