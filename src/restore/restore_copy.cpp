/*
 * The data lines of COPY ... FROM stdin, taken from the window as the
 * lexer passes them and sent in CopyData messages of about RP_COPY_CHUNK
 * bytes (the server does not need them cut at lines).  The "\." line that
 * ends the data is never sent, so a line that could still become it is held
 * back until its next bytes decide.
 */
#include "restore/restore_replay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* The window byte at script offset off (which the window holds). */
static const char *at(const replay *rp, uint64_t off)
{
    return rp->win + (size_t)(off - rp->win_base);
}

static int out_flush(replay *rp)
{
    size_t n = rp->out_len;
    rp->out_len = 0;
    if (n == 0 || rp->copy != RP_COPY_SEND)
        return 0;
    if (pg_send_framed(rp->conn, 'd', rp->out, n) != 0)
        return rp_fatal(rp, rp->copy_line, rp->conn->error);
    return 0;
}

static int out_put(replay *rp, const char *p, size_t n)
{
    while (n > 0) {
        size_t take = RP_COPY_CHUNK - rp->out_len;
        if (take > n)
            take = n;
        memcpy(rp->out + PG_FRAME_HEADER + rp->out_len, p, take);
        rp->out_len += take;
        p += take;
        n -= take;
        if (rp->out_len == RP_COPY_CHUNK && out_flush(rp) != 0)
            return -1;
    }
    return 0;
}

/* 1 when the bytes of the line begun at p could still grow into "\.". */
static bool may_end_data(const char *p, size_t n)
{
    static const char end[] = "\\.\r";
    return n > 0 && n <= 3 && memcmp(p, end, n) == 0;
}

/* Sends (or drops) the data from data_from up to offset upto. */
static int take(replay *rp, uint64_t upto)
{
    if (upto <= rp->data_from)
        return 0;
    const char *p = at(rp, rp->data_from);
    size_t n = (size_t)(upto - rp->data_from);
    rp->data_from = upto;
    if (rp->copy != RP_COPY_SEND)
        return 0;
    return out_put(rp, p, n);
}

static int finish(replay *rp)
{
    if (rp->copy != RP_COPY_SEND) {
        rp->copy = RP_COPY_NONE;
        return 0;
    }
    if (out_flush(rp) != 0)
        return -1;
    rp->copy = RP_COPY_NONE;
    pg_exec_result r;
    if (pg_copy_end(rp->conn, nullptr, &r) != 0)
        return rp_fatal(rp, rp->copy_line, rp->conn->error);
    rp->tx = r.tx_status;
    if (r.failed)
        return rp_failed(rp, rp->copy_line, rp->conn->error);
    rp->job->statements_done.fetch_add(1, std::memory_order_relaxed);
    long long rows = 0;
    if (sscanf(r.tag, "COPY %lld", &rows) == 1)
        rp->job->rows_copied.fetch_add(rows, std::memory_order_relaxed);
    return 0;
}

int rp_copy_abort(replay *rp, const char *reason)
{
    if (rp->copy != RP_COPY_SEND) {
        rp->copy = RP_COPY_NONE;
        return 0;
    }
    rp->copy = RP_COPY_NONE;
    rp->out_len = 0;
    /* The answer to CopyFail must be read even though the host asked to
     * stop: that is what ends the copy cleanly. */
    const std::atomic<int32_t> *flag = rp->conn->cancel;
    rp->conn->cancel = nullptr;
    pg_exec_result r;
    int rc = pg_copy_end(rp->conn, reason, &r);
    rp->conn->cancel = flag;
    if (rc == 0)
        rp->tx = r.tx_status;
    return rc;
}

int rp_copy_data(replay *rp, int at_end, size_t term_len)
{
    if (rp->copy == RP_COPY_SEND && rp->s->cancel.load(std::memory_order_relaxed) != 0) {
        rp_copy_abort(rp, "restore cancelled");
        return rp_fatal(rp, 0, "cancelled");
    }
    uint64_t upto = rp->win_base + rp->scan_pos;
    if (at_end) {
        if (take(rp, upto - term_len) != 0)
            return -1;
        rp->data_from = upto;
        return finish(rp);
    }
    if (upto <= rp->data_from)
        return 0;
    /* Hold back the start of a last line that may yet be "\.". */
    uint64_t line = upto;
    while (line > rp->data_from && at(rp, line - 1)[0] != '\n')
        line--;
    bool line_start = line > rp->data_from || rp->data_line_start;
    if (line_start && may_end_data(at(rp, line), (size_t)(upto - line)))
        upto = line;
    if (take(rp, upto) != 0)
        return -1;
    rp->data_line_start = upto == line;
    return 0;
}

int rp_copy_eof(replay *rp)
{
    uint64_t end = rp->win_base + rp->win_len;
    uint64_t line = end;
    while (line > rp->data_from && at(rp, line - 1)[0] != '\n')
        line--;
    bool line_start = line > rp->data_from || rp->data_line_start;
    if (line_start && end - line == 2 && memcmp(at(rp, line), "\\.", 2) == 0) {
        /* psql too takes a last "\." without its newline as the end. */
        if (take(rp, line) != 0)
            return -1;
        rp->data_from = end;
        return finish(rp);
    }
    if (rp->copy == RP_COPY_SEND && rp_copy_abort(rp, "the script ends inside COPY data") != 0)
        return rp_fatal(rp, rp->copy_line, rp->conn->error);
    rp->copy = RP_COPY_NONE;
    char text[160];
    snprintf(text, sizeof text,
             "the script ends inside the COPY data begun here (truncated file?)");
    return rp_fatal(rp, rp->copy_line, text);
}
