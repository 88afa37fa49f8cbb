/*
 * Statements sent many per query message.  The server runs the statements
 * of one message in order and stops at the first error, so the count of
 * statements it finished names the one that failed and its line.
 *
 * Outside a transaction block the statements of one message share an
 * implicit transaction: when one fails, those before it in the same
 * message are rolled back with it.  psql would have committed each of them,
 * so they are sent again one message each, the failed one included, and
 * the script goes on as psql's run would.  (Sequence numbers drawn by the
 * rolled-back attempt stay drawn.)  Statements that act differently inside
 * such a message are never batched (rp_is_alone).
 */
#include "restore/restore_replay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* "line N: text" (or text alone for line 0) into the slot's error, with
 * the kind of the connection's failure when text is the connection's own
 * text, of the input's when it is the input's, else a script failure. */
static void set_failure(replay *rp, int32_t kind, uint64_t line, const char *text)
{
    run_session *s = rp->s;
    if (line > 0)
        snprintf(s->error, sizeof s->error, "line %llu: %s", (unsigned long long)line, text);
    else
        snprintf(s->error, sizeof s->error, "%s", text);
    if (kind != FAIL_NONE)
        fail_set(&s->fail, kind);
    else if (rp->conn != nullptr && text == rp->conn->error)
        fail_copy(&s->fail, &rp->conn->fail, FAIL_PROTOCOL);
    else
        fail_set(&s->fail, rp->in != nullptr && text == rp->in->error ? FAIL_IO : FAIL_SCRIPT);
}

int rp_fatal_kind(replay *rp, int32_t kind, uint64_t line, const char *text)
{
    set_failure(rp, kind, line, text);
    rp->fatal = 1;
    return -1;
}

int rp_fatal(replay *rp, uint64_t line, const char *text)
{
    return rp_fatal_kind(rp, FAIL_NONE, line, text);
}

int rp_failed(replay *rp, uint64_t line, const char *text)
{
    int64_t n = rp->job->errors.fetch_add(1, std::memory_order_relaxed) + 1;
    if (rp->job->stop_on_error)
        return rp_fatal(rp, line, text);
    /* The first failure stays in the slot's text for the result. */
    if (n == 1)
        set_failure(rp, FAIL_NONE, line, text);
    return 0;
}

static bool cancelled(replay *rp)
{
    return rp->s->cancel.load(std::memory_order_relaxed) != 0;
}

static int grow_batch(replay *rp, size_t need)
{
    /* The header in front and the NUL after the last statement. */
    size_t total = PG_FRAME_HEADER + need + 1;
    if (total <= rp->batch_cap)
        return 0;
    size_t cap = rp->batch_cap != 0 ? rp->batch_cap : RP_BATCH_BYTES;
    while (cap < total)
        cap *= 2;
    unsigned char *p = static_cast<unsigned char *>(realloc(rp->batch, cap));
    if (p == nullptr)
        return rp_fatal_kind(rp, FAIL_MEMORY, 0, "out of memory");
    rp->batch = p;
    rp->batch_cap = cap;
    return 0;
}

/* Sends statements [first, last) as one query message and reads the
 * answer.  They lie end to end in the batch; the bytes that the header and
 * the closing NUL borrow from the neighbours are put back afterwards. */
static int send_range(replay *rp, uint32_t first, uint32_t last, pg_exec_result *r)
{
    unsigned char *text = rp->batch + PG_FRAME_HEADER;
    size_t from = rp->stmts[first].off;
    size_t to = rp->stmts[last - 1].off + rp->stmts[last - 1].len;
    unsigned char *msg = text + from - PG_FRAME_HEADER;
    unsigned char saved[PG_FRAME_HEADER];
    memcpy(saved, msg, sizeof saved);
    unsigned char after = text[to];
    text[to] = 0;
    int rc = pg_send_framed(rp->conn, 'Q', msg, to - from + 1);
    memcpy(msg, saved, sizeof saved);
    text[to] = after;
    if (rc != 0)
        return -1;
    return pg_read_results(rp->conn, r);
}

static void count_done(replay *rp, uint32_t n)
{
    rp->job->statements_done.fetch_add(n, std::memory_order_relaxed);
}

/* The server's answer to every statement but transaction control in a
 * failed transaction block: known without asking it. */
#define ABORTED_TEXT                                                                               \
    "ERROR: current transaction is aborted, commands ignored until end of transaction block"

/* Statements [first, last) meet a failed transaction block (only a
 * stop_on_error-less run gets here): each fails as it would on the
 * server, and a COPY among them leaves its data unread. */
static int aborted(replay *rp, uint32_t first, uint32_t last)
{
    for (uint32_t i = first; i < last; i++) {
        if (rp->stmts[i].copy)
            rp->copy = RP_COPY_SKIP;
        if (rp_failed(rp, rp->stmts[i].line, ABORTED_TEXT) != 0)
            return -1;
    }
    return 0;
}

/* The statement of [first, last) that failed.  The server runs them one
 * after the other, so the count of those it finished names it, unless the
 * message failed before any ran: a syntax error anywhere in it fails the
 * whole message at parse time, and the error's position (characters from
 * the message's start) says where. */
static uint32_t failed_statement(replay *rp, uint32_t first, uint32_t last, const pg_exec_result *r)
{
    uint32_t at = first + r->failed_at;
    if (at >= last)
        return last - 1; /* the implicit commit after the last statement failed */
    if (r->failed_at != 0 || rp->conn->position <= 0 || last - first < 2)
        return at;
    const unsigned char *text = rp->batch + PG_FRAME_HEADER;
    size_t from = rp->stmts[first].off;
    size_t end = rp->stmts[last - 1].off + rp->stmts[last - 1].len;
    int64_t chars = 0;
    size_t pos = from;
    /* Characters are counted as UTF-8, the encoding the library's scripts
     * and PostgreSQL's usual ones are written in. */
    for (; pos < end; pos++)
        if ((text[pos] & 0xC0) != 0x80 && ++chars == rp->conn->position)
            break;
    for (uint32_t i = first; i < last; i++)
        if (pos < rp->stmts[i].off + rp->stmts[i].len)
            return i;
    return at;
}

/* Statement i of a batch is sent again alone: when a statement resent
 * before it changed standard_conforming_strings, it must still be one
 * whole statement as the server will now read it. */
static int resend_checked(replay *rp, uint32_t i)
{
    int std = rp->conn->std_strings;
    if (std == rp->lx.std_strings)
        return 0;
    const char *text =
        reinterpret_cast<const char *>(rp->batch + PG_FRAME_HEADER) + rp->stmts[i].off;
    size_t len = rp->stmts[i].len, used = 0;
    lx_scanner lx;
    lx_init(&lx);
    lx_set_std_strings(&lx, std);
    if (lx_scan(&lx, text, len, &used) == LX_EV_STATEMENT && used == len)
        return 0;
    return rp_fatal(rp, rp->stmts[i].line,
                    "standard_conforming_strings changed within a batch that had to be sent "
                    "again, and this statement reads differently now");
}

/* Runs statements [first, last) and settles each outcome. */
static int run_range(replay *rp, uint32_t first, uint32_t last)
{
    while (first < last) {
        if (cancelled(rp))
            return rp_fatal(rp, 0, "cancelled");
        char tx_before = rp->tx;
        pg_exec_result r;
        memset(&r, 0, sizeof r);
        if (send_range(rp, first, last, &r) != 0) {
            uint32_t at = first + r.completed < last ? first + r.completed : last - 1;
            return rp_fatal(rp, rp->stmts[at].line, rp->conn->error);
        }
        if (r.copy_in) {
            uint32_t at = first + r.completed;
            if (at != last - 1 || !rp->stmts[at].copy)
                return rp_fatal(rp, rp->stmts[at < last ? at : last - 1].line,
                                "the server expects COPY data the script does not mark as such");
            count_done(rp, r.completed);
            rp->copy = RP_COPY_SEND;
            return 0;
        }
        rp->tx = r.tx_status;
        if (!r.failed) {
            count_done(rp, last - first);
            return 0;
        }
        uint32_t at = failed_statement(rp, first, last, &r);
        if (tx_before == 'I' && last - first > 1) {
            for (uint32_t i = first; i <= at; i++)
                if (resend_checked(rp, i) != 0 || run_range(rp, i, i + 1) != 0)
                    return -1;
            first = at + 1;
            continue;
        }
        count_done(rp, at - first);
        if (rp->stmts[at].copy)
            rp->copy = RP_COPY_SKIP;
        if (rp_failed(rp, rp->stmts[at].line, rp->conn->error) != 0)
            return -1;
        first = at + 1;
        if (rp->tx == 'E')
            return aborted(rp, first, last);
    }
    return 0;
}

int rp_follow_settings(replay *rp)
{
    pg_conn *conn = rp->conn;
    if (conn->settings_reported == rp->settings_seen)
        return 0;
    rp->settings_seen = conn->settings_reported;
    if (conn->client_encoding[0] != '\0' && !lx_encoding_is_safe(conn->client_encoding)) {
        char text[200];
        snprintf(text, sizeof text,
                 "the server's client_encoding is %s, which a restore cannot read safely "
                 "(its characters may hold quotes and backslashes)",
                 conn->client_encoding);
        return rp_fatal(rp, rp->lx.line, text);
    }
    if (conn->std_strings != rp->lx.std_strings) {
        lx_set_std_strings(&rp->lx, conn->std_strings);
        /* At the start (nothing cut yet) this is just the reading to use. */
        bool started = rp->lx.offset > 0;
        rp->one_by_one = started ? 1 : rp->one_by_one;
        rp->relex = started ? 1 : 0;
    }
    return 0;
}

int rp_flush(replay *rp)
{
    if (rp->count == 0)
        return 0;
    int rc = run_range(rp, 0, rp->count);
    rp->count = 0;
    rp->batch_len = 0;
    if (rc == 0 && rp_follow_settings(rp) != 0)
        return -1;
    return rc;
}

int rp_in_place(replay *rp, char *text, size_t len, uint64_t line, int copy)
{
    if (rp_flush(rp) != 0)
        return -1;
    unsigned char *batch = rp->batch;
    size_t cap = rp->batch_cap;
    rp->batch = reinterpret_cast<unsigned char *>(text) - PG_FRAME_HEADER;
    rp->batch_cap = PG_FRAME_HEADER + len + 1;
    rp->stmts[0] = rp_stmt{0, len, line, copy};
    rp->count = 1;
    rp->batch_len = len;
    char table[128];
    if (rp_target_table(text, len, table, sizeof table))
        session_set_table(rp->s, table);
    int rc = rp_flush(rp);
    rp->batch = batch;
    rp->batch_cap = cap;
    return rc;
}

int rp_add(replay *rp, const char *text, size_t len, uint64_t line, int copy)
{
    /* Outside a transaction block a COPY travels alone: a failed or
     * cancelled copy must not take the statements before it along. */
    bool full = rp->count >= RP_BATCH_MAX || rp->batch_len + len > RP_BATCH_BYTES;
    if (rp->count > 0 && (full || (copy && rp->tx == 'I')) && rp_flush(rp) != 0)
        return -1;
    if (rp->tx == 'E' && !copy && !rp_is_alone(text, len))
        return rp_failed(rp, line, ABORTED_TEXT);
    if (grow_batch(rp, rp->batch_len + len) != 0)
        return -1;
    memcpy(rp->batch + PG_FRAME_HEADER + rp->batch_len, text, len);
    rp_stmt *st = &rp->stmts[rp->count++];
    st->off = rp->batch_len;
    st->len = len;
    st->line = line;
    st->copy = copy;
    rp->batch_len += len;

    char table[128];
    if (rp_target_table(text, len, table, sizeof table))
        session_set_table(rp->s, table);
    return copy || rp->one_by_one ? rp_flush(rp) : 0;
}

int rp_alone(replay *rp, const char *text, size_t len, uint64_t line)
{
    if (rp_flush(rp) != 0 || rp_add(rp, text, len, line, 0) != 0)
        return -1;
    return rp_flush(rp);
}
