/*
 * The replay of one script over one connection, shared by the files of
 * the restore engine (restore_replay.cpp: the input window and the lexer's
 * events; restore_batch.cpp: statements sent many per query message;
 * restore_copy.cpp: COPY data; restore_classify.cpp: what a statement is).
 *
 * Offsets are positions in the decompressed script from its first byte.
 * The window holds the script from win_base on: the statement under way,
 * unsent COPY data or a backslash command stay in it until used; what lies
 * before is dropped when more input is read.
 */
#ifndef PGDUMP_RESTORE_REPLAY_H
#define PGDUMP_RESTORE_REPLAY_H

#include <cstddef>
#include <cstdint>

#include "pg_client/pg_client.h"
#include "restore/restore_job.h"
#include "restore/script_input.h"
#include "script/psql_lexer.h"
#include "session/session.h"

/* Statements per query message, and the bytes after which a batch is sent
 * whatever its count: enough to hide the round trip, small enough that a
 * failed batch is cheap to resend. */
#define RP_BATCH_MAX 256
#define RP_BATCH_BYTES 262144
/* COPY data is sent in messages of about this size. */
#define RP_COPY_CHUNK 65536

/* One statement of the batch. */
struct rp_stmt {
    size_t off;    /* in batch, from PG_FRAME_HEADER */
    size_t len;    /* through its ';' */
    uint64_t line; /* line of its ';' (psql's numbering of errors) */
    int32_t copy;  /* 1: COPY ... FROM stdin, always the last of a batch */
};

enum { RP_COPY_NONE = 0, RP_COPY_SEND = 1, RP_COPY_SKIP = 2 };

struct replay {
    run_session *s;
    restore_job *job;
    pg_conn *conn;
    script_input *in;
    lx_scanner lx;

    char *win; /* heap: script bytes from win_base */
    size_t win_cap;
    size_t win_len;     /* bytes held */
    size_t scan_pos;    /* bytes of win the lexer has consumed */
    uint64_t win_base;  /* offset of win[0] */
    uint64_t stmt_done; /* offset after the last statement taken */
    int32_t in_meta;    /* 1 between LX_EV_BACKSLASH and its end */
    uint64_t meta_start;
    uint64_t meta_line;

    unsigned char *batch; /* heap: PG_FRAME_HEADER free bytes, statements, NUL */
    size_t batch_cap;
    size_t batch_len; /* bytes after the header */
    rp_stmt stmts[RP_BATCH_MAX];
    uint32_t count;
    char tx; /* transaction status of the last answer: 'I', 'T', 'E' */

    int32_t copy;            /* RP_COPY_* while a COPY's data is read */
    int32_t copy_started;    /* 1 between LX_EV_COPY_START and LX_EV_COPY_END */
    uint64_t copy_line;      /* line of the COPY statement */
    uint64_t data_from;      /* offset of the first COPY data byte not yet taken */
    int32_t data_line_start; /* 1 when data_from starts a line */
    unsigned char *out;      /* heap: PG_FRAME_HEADER + RP_COPY_CHUNK bytes */
    size_t out_len;

    int32_t fatal; /* 1 once the run must end; s->error says why */

    /* The server's settings that change the lexing, as last followed. */
    uint32_t settings_seen; /* conn->settings_reported when last looked at */
    int32_t one_by_one;     /* 1 once standard_conforming_strings changed:
                               each statement in a message of its own, as
                               psql sends it */
    int32_t relex;          /* 1: the statement just cut was lexed before
                               the change and must be cut again */
    char *win_mem;          /* heap: PG_FRAME_HEADER bytes, win, one more */
};

/* A statement or backslash command longer than this fails the run as
 * soon as it passes it: the server takes no message over 1 GiB.  Tests
 * lower it. */
extern uint64_t g_rp_statement_limit;
#define RP_STATEMENT_LIMIT ((uint64_t)1 << 30)

/* restore_replay.cpp */

/* Sets up rp's buffers and scanner (the caller fills s, job, conn, in and
 * tx first).  0, or -1 with the slot's error set. */
int rp_init(replay *rp);

/* Replays the whole script.  0 when it ran to its end (statements may have
 * failed without stop_on_error); -1 when the run ended early, with the
 * slot's error set. */
int rp_replay(replay *rp);

/* Frees what rp_init took. */
void rp_free(replay *rp);

/* restore_batch.cpp */

/* Appends a statement (text through its ';') to the batch.  0, or -1
 * (fatal set) on a failure that ends the run. */
int rp_add(replay *rp, const char *text, size_t len, uint64_t line, int copy);

/* Sends the batch and settles its outcome: counters, errors, the resend
 * after an autocommit batch failed, the start of a COPY; then follows
 * what the server reported of its settings (rp_follow_settings).  0 while
 * the run goes on; -1 when it ends (fatal set). */
int rp_flush(replay *rp);

/* Runs one statement that lies in the window as it is, in a message of
 * its own (no copy of it is made): the bytes around it are borrowed for
 * the message's header and NUL and put back. */
int rp_in_place(replay *rp, char *text, size_t len, uint64_t line, int copy);

/* Reads the server's latest standard_conforming_strings and
 * client_encoding: the lexer follows the first (from the next statement
 * on, one statement per message, and relex set when it changed), an
 * encoding the lexer cannot read safely ends the run.  0 or -1. */
int rp_follow_settings(replay *rp);

/* Runs one statement the batch never holds (transaction control and the
 * like) in its own message, through rp_flush. */
int rp_alone(replay *rp, const char *text, size_t len, uint64_t line);

/* Counts a failed statement or command at line: with stop_on_error the
 * run ends.  text is the failure's own text; the first one is kept in the
 * slot's error as "line N: text".  0 to go on, -1 to end. */
int rp_failed(replay *rp, uint64_t line, const char *text);

/* Ends the run: "line N: text" into the slot's error, fatal set; -1.  The
 * failure's kind is the connection's when text is conn->error, FAIL_IO
 * when it is the input's error, else FAIL_SCRIPT. */
int rp_fatal(replay *rp, uint64_t line, const char *text);

/* rp_fatal with the failure's kind (FAIL_*). */
int rp_fatal_kind(replay *rp, int32_t kind, uint64_t line, const char *text);

/* restore_copy.cpp */

/* Takes COPY data from the window up to the lexer's position: sent when
 * the server reads it, dropped otherwise.  at_end: the "\." line (of
 * term_len bytes) ends the data, and the copy is finished.  0 or -1. */
int rp_copy_data(replay *rp, int at_end, size_t term_len);

/* The script ended inside COPY data: a lone "\." without its newline ends
 * it cleanly, anything else fails the copy (truncated script). */
int rp_copy_eof(replay *rp);

/* Stops a copy the server reads (CopyFail with reason); 0 or -1. */
int rp_copy_abort(replay *rp, const char *reason);

/* restore_classify.cpp */

/* 1 when the statement must travel in a message of its own: transaction
 * control, and statements that act differently inside the implicit
 * transaction of a many-statement message (LOCK, DECLARE, SET LOCAL,
 * VACUUM, CREATE DATABASE, ...). */
int rp_is_alone(const char *text, size_t len);

/* What rp_privilege_kind tells. */
enum { RP_PRIV_NONE = 0, RP_PRIV_OWNER = 1, RP_PRIV_GRANT = 2 };

/* RP_PRIV_OWNER for a whole ALTER ... OWNER TO statement, RP_PRIV_GRANT
 * for GRANT, REVOKE and ALTER DEFAULT PRIVILEGES, by the words at the
 * statement's top level (outside quotes and parentheses). */
int rp_privilege_kind(const char *text, size_t len);

/* 1 when the statement holds nothing but blanks, comments and ';'. */
int rp_is_blank(const char *text, size_t len);

/* The table named by INSERT INTO / COPY at the start of text, written into
 * dst (quotes removed, parts joined by '.'), cut to size-1 bytes.  0 when
 * the statement is neither (dst untouched), 1 when dst was written. */
int rp_target_table(const char *text, size_t len, char *dst, size_t size);

#endif
