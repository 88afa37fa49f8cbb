/*
 * The course of a replay: the script is read block by block into a
 * window, the lexer cuts it, and each event is acted on in script order:
 * statements join the batch, backslash commands are obeyed or refused,
 * COPY data goes to the server.  The end of the input settles what the
 * lexer still holds open: a clean end, or a truncated script.
 */
#include "restore/restore_replay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Bytes kept before the lexer's position when the window is compacted: the
 * lexer may still hold a byte back whose statement it has not decided. */
#define RP_KEEP_BEHIND 16

uint64_t g_rp_statement_limit = RP_STATEMENT_LIMIT;

/* The window keeps PG_FRAME_HEADER bytes in front of it and one after
 * it, so that a statement in it can be sent where it lies. */
static size_t win_bytes(size_t cap)
{
    return PG_FRAME_HEADER + cap + 1;
}

int rp_init(replay *rp)
{
    lx_init(&rp->lx);
    rp->win_cap = 2 * SI_BLOCK;
    rp->win_mem = static_cast<char *>(malloc(win_bytes(rp->win_cap)));
    rp->win = rp->win_mem != nullptr ? rp->win_mem + PG_FRAME_HEADER : nullptr;
    rp->out = static_cast<unsigned char *>(malloc(PG_FRAME_HEADER + RP_COPY_CHUNK));
    if (rp->win == nullptr || rp->out == nullptr)
        return rp_fatal_kind(rp, FAIL_MEMORY, 0, "out of memory");
    /* The settings of the login count like any later report. */
    rp->settings_seen = rp->conn->settings_reported - 1;
    return rp_follow_settings(rp);
}

void rp_free(replay *rp)
{
    free(rp->win_mem);
    free(rp->out);
    free(rp->batch);
    rp->win_mem = nullptr;
    rp->win = nullptr;
    rp->out = nullptr;
    rp->batch = nullptr;
}

static bool statement_under_way(const replay *rp)
{
    return rp->lx.stmt_start != LX_NO_STATEMENT && rp->lx.stmt_start >= rp->stmt_done;
}

/* Drops what no event needs any more and reads the next block.  Bytes
 * read, 0 at the end of the input, -1 (error set) on a read failure. */
static long fill(replay *rp)
{
    uint64_t pos = rp->win_base + rp->scan_pos;
    uint64_t keep = pos - (rp->scan_pos < RP_KEEP_BEHIND ? rp->scan_pos : RP_KEEP_BEHIND);
    if (statement_under_way(rp) && rp->lx.stmt_start < keep)
        keep = rp->lx.stmt_start;
    if (rp->in_meta && rp->meta_start < keep)
        keep = rp->meta_start;
    if (rp->copy_started && rp->data_from < keep)
        keep = rp->data_from;
    size_t drop = (size_t)(keep - rp->win_base);
    memmove(rp->win, rp->win + drop, rp->win_len - drop);
    rp->win_len -= drop;
    rp->scan_pos -= drop;
    rp->win_base = keep;
    /* What is held is one statement or command under way (or a little
     * COPY data): past the server's limit it can never be sent. */
    if (rp->win_len > g_rp_statement_limit) {
        char text[160];
        snprintf(text, sizeof text, "a %s longer than %llu bytes (the server's limit) begins here",
                 rp->in_meta ? "psql command" : "statement",
                 (unsigned long long)g_rp_statement_limit);
        uint64_t line = rp->in_meta ? rp->meta_line : rp->lx.stmt_line;
        return rp_fatal(rp, line, text);
    }
    if (rp->win_cap - rp->win_len < SI_BLOCK) {
        size_t cap = rp->win_cap * 2;
        char *p = static_cast<char *>(realloc(rp->win_mem, win_bytes(cap)));
        if (p == nullptr)
            return rp_fatal_kind(rp, FAIL_MEMORY, rp->lx.line,
                                 "out of memory (statement too long)");
        rp->win_mem = p;
        rp->win = p + PG_FRAME_HEADER;
        rp->win_cap = cap;
    }
    long n = si_read(rp->in, reinterpret_cast<unsigned char *>(rp->win) + rp->win_len,
                     rp->win_cap - rp->win_len);
    rp->job->bytes_read.store(rp->in->file_read, std::memory_order_relaxed);
    if (n < 0) {
        /* The complete statements before the damage run, as they would
         * from a pipe into psql. */
        if (rp_flush(rp) != 0)
            return -1;
        return rp_fatal(rp, rp->lx.line, rp->in->error);
    }
    rp->win_len += (size_t)n;
    return n;
}

/* The statement just cut was lexed before the server changed
 * standard_conforming_strings: the lexer reads it again, from its first
 * byte, as the server will. */
static int relex(replay *rp)
{
    uint64_t start = rp->lx.stmt_start, line = rp->lx.stmt_line;
    int std = rp->lx.std_strings;
    lx_init(&rp->lx);
    lx_set_std_strings(&rp->lx, std);
    rp->lx.offset = start;
    rp->lx.line = line;
    rp->scan_pos = (size_t)(start - rp->win_base);
    rp->relex = 0;
    return 0;
}

static int on_statement(replay *rp)
{
    uint64_t end = rp->lx.mark + 1;
    char *text = rp->win + (rp->lx.stmt_start - rp->win_base);
    size_t len = (size_t)(end - rp->lx.stmt_start);
    uint64_t line = rp->lx.mark_line;
    int copy = rp->lx.copy_from_stdin;
    bool alone = copy || rp_is_alone(text, len) || len > RP_BATCH_BYTES;
    bool full = rp->count >= RP_BATCH_MAX || rp->batch_len + len > RP_BATCH_BYTES;
    /* The batch goes first when this statement cannot join it; what the
     * server then reports may change how this statement reads. */
    if (rp->count > 0 && (alone || full)) {
        if (rp_flush(rp) != 0)
            return -1;
        if (rp->relex)
            return relex(rp);
    }
    rp->stmt_done = end;
    if (copy)
        lx_begin_copy(&rp->lx);
    if (memchr(text, 0, len) != nullptr)
        return rp_fatal(rp, line, "a NUL byte in a statement: this is no text script");
    if (copy) {
        int rc = len > RP_BATCH_BYTES ? rp_in_place(rp, text, len, line, 1)
                                      : rp_add(rp, text, len, line, 1);
        if (rc != 0)
            return -1;
        rp->copy_line = line;
        if (rp->copy == RP_COPY_NONE)
            rp->copy = RP_COPY_SKIP;
        return 0;
    }
    if (rp_is_blank(text, len))
        return 0;
    int priv = rp_privilege_kind(text, len);
    if ((priv == RP_PRIV_OWNER && rp->job->no_owner) ||
        (priv == RP_PRIV_GRANT && rp->job->no_privileges))
        return 0;
    if (len > RP_BATCH_BYTES)
        return rp_in_place(rp, text, len, line, 0);
    if (rp_is_alone(text, len))
        return rp_alone(rp, text, len, line);
    return rp_add(rp, text, len, line, 0);
}

/* A backslash command, from its backslash up to its newline (or the end of
 * the script).  Commands a PostgreSQL dump may hold are obeyed; \connect
 * always ends the run (the rest belongs in another database); any other
 * is a failed command. */
static int on_meta(replay *rp, const char *text, size_t len)
{
    char name[32];
    size_t n = 0;
    for (size_t i = 1; i < len && n < sizeof name - 1; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || (c == '\\' && i > 1))
            break;
        name[n++] = (char)c;
    }
    name[n] = '\0';
    /* pg_dump 15.14 and later fence a script with a random key; replayed
     * over the protocol there is no psql whose commands need fencing. */
    if (strcmp(name, "restrict") == 0 || strcmp(name, "unrestrict") == 0)
        return 0;
    char text_out[160];
    if (strcmp(name, "connect") == 0 || strcmp(name, "c") == 0) {
        snprintf(text_out, sizeof text_out,
                 "\\%s is refused: a restore stays in the database it was given", name);
        return rp_fatal(rp, rp->meta_line, text_out);
    }
    snprintf(text_out, sizeof text_out, "psql command \\%s is not supported", name);
    return rp_failed(rp, rp->meta_line, text_out);
}

static int on_backslash(replay *rp)
{
    if (statement_under_way(rp))
        return rp_fatal(rp, rp->lx.line, "a psql command inside a statement is not supported");
    if (rp_flush(rp) != 0)
        return -1;
    rp->in_meta = 1;
    rp->meta_start = rp->lx.mark;
    rp->meta_line = rp->lx.mark_line;
    return 0;
}

static int meta_end(replay *rp, uint64_t end)
{
    rp->in_meta = 0;
    return on_meta(rp, rp->win + (rp->meta_start - rp->win_base), (size_t)(end - rp->meta_start));
}

static const char *open_text(int open)
{
    switch (open) {
    case LX_OPEN_QUOTE:
        return "inside a quoted string";
    case LX_OPEN_IDENT:
        return "inside a quoted identifier";
    case LX_OPEN_DOLLAR:
        return "inside a dollar-quoted string";
    case LX_OPEN_COMMENT:
        return "inside a comment";
    default:
        return "inside a statement without its ';'";
    }
}

/* The input has ended: what the lexer still holds open says whether the
 * script was whole. */
static int at_end(replay *rp)
{
    /* What the batch's last statements set may change how the text after
     * them reads: cut it again before judging the end. */
    if (rp->count > 0 && statement_under_way(rp) && !rp->copy_started) {
        if (rp_flush(rp) != 0)
            return -1;
        if (rp->relex)
            return relex(rp) == 0 ? 1 : -1;
    }
    int open = lx_finish(&rp->lx);
    if (open < 0)
        return rp_fatal(rp, rp->lx.line, rp->lx.error);
    if (open == LX_OPEN_COPY)
        return rp_copy_eof(rp);
    if (rp_flush(rp) != 0)
        return -1;
    if (open == LX_OPEN_NONE)
        return 0;
    if (open == LX_OPEN_META)
        return meta_end(rp, rp->win_base + rp->win_len);
    char text[200];
    snprintf(text, sizeof text, "the script ends %s begun at line %llu (truncated file?)",
             open_text(open), (unsigned long long)rp->lx.stmt_line);
    return rp_fatal(rp, rp->lx.line, text);
}

static int on_event(replay *rp, int ev)
{
    switch (ev) {
    case LX_EV_STATEMENT:
        return on_statement(rp);
    case LX_EV_BACKSLASH:
        return on_backslash(rp);
    case LX_EV_META_END:
        return meta_end(rp, rp->lx.mark + 1);
    case LX_EV_COPY_START:
        rp->copy_started = 1;
        rp->data_from = rp->lx.mark + 1;
        rp->data_line_start = 1;
        return 0;
    case LX_EV_COPY_END: {
        rp->copy_started = 0;
        uint64_t end = rp->lx.mark + 1;
        size_t term = rp->win[end - 2 - rp->win_base] == '\r' ? 4 : 3;
        return rp_copy_data(rp, 1, term);
    }
    case LX_EV_ERROR:
        return rp_fatal(rp, rp->lx.line, rp->lx.error);
    default:
        return 0;
    }
}

int rp_replay(replay *rp)
{
    for (;;) {
        if (rp->scan_pos == rp->win_len) {
            if (rp->copy_started && rp_copy_data(rp, 0, 0) != 0)
                return -1;
            long n = fill(rp);
            if (n < 0)
                return -1;
            if (n == 0) {
                int rc = at_end(rp);
                if (rc != 1)
                    return rc;
            }
        }
        size_t used = 0;
        int ev = lx_scan(&rp->lx, rp->win + rp->scan_pos, rp->win_len - rp->scan_pos, &used);
        rp->scan_pos += used;
        if (on_event(rp, ev) != 0)
            return -1;
    }
}
