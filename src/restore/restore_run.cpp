/*
 * The course of one restore on its worker thread: open the script (a
 * missing or unreadable file fails before any connection), connect, BEGIN
 * when the whole script is one transaction, replay, COMMIT, and publish
 * the outcome.  The final state is stored last of all.
 */
#include "restore/restore_run.h"

#include <cstdio>
#include <cstring>

#include "restore/restore_replay.h"
#include "restore/script_origin.h"
#include "session/connect.h"

void restore_job_reset(restore_job *job)
{
    job->in_path[0] = '\0';
    job->single_transaction = 0;
    job->stop_on_error = 1;
    job->no_owner = 0;
    job->no_privileges = 0;
    job->bytes_total.store(0, std::memory_order_relaxed);
    job->bytes_read.store(0, std::memory_order_relaxed);
    job->statements_done.store(0, std::memory_order_relaxed);
    job->errors.store(0, std::memory_order_relaxed);
    job->rows_copied.store(0, std::memory_order_relaxed);
    job->committed.store(0, std::memory_order_relaxed);
}

static void finish(run_session *s, int outcome)
{
    s->elapsed_ms.store(now_ms() - s->start_ms.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
    /* Whatever failed after the host asked to stop failed because of it. */
    if (outcome == SESSION_FAILED && s->cancel.load(std::memory_order_relaxed) != 0) {
        s->error[0] = '\0';
        outcome = SESSION_CANCELLED;
    }
    s->state.store(outcome, std::memory_order_release);
}

/* BEGIN or COMMIT of the single transaction.  0 when it took effect; for
 * COMMIT, 1 when the server answered ROLLBACK (statements had failed). */
static int control(replay *rp, const char *sql)
{
    unsigned char msg[PG_FRAME_HEADER + 16];
    size_t n = strlen(sql) + 1;
    memcpy(msg + PG_FRAME_HEADER, sql, n);
    pg_exec_result r;
    if (pg_send_framed(rp->conn, 'Q', msg, n) != 0 || pg_read_results(rp->conn, &r) != 0 ||
        r.copy_in)
        return rp_fatal(rp, 0, rp->conn->error);
    rp->tx = r.tx_status;
    if (r.failed) {
        char text[600];
        snprintf(text, sizeof text, "%s: %s", sql, rp->conn->error);
        rp_fatal(rp, 0, text);
        fail_copy(&rp->s->fail, &rp->conn->fail, FAIL_SERVER);
        return -1;
    }
    return strcmp(r.tag, "ROLLBACK") == 0 ? 1 : 0;
}

static int run_script(replay *rp)
{
    restore_job *job = rp->job;
    if (rp_init(rp) != 0)
        return -1;
    if (job->single_transaction && control(rp, "BEGIN") != 0)
        return -1;
    if (rp_replay(rp) != 0)
        return -1;
    session_set_table(rp->s, "");
    if (job->single_transaction) {
        int rc = control(rp, "COMMIT");
        if (rc < 0)
            return -1;
        job->committed.store(rc == 0 ? 1 : 0, std::memory_order_relaxed);
    }
    return 0;
}

void restore_run(run_session *s, restore_job *job)
{
    s->start_ms.store(now_ms(), std::memory_order_relaxed);

    script_input in;
    if (si_open(&in, job->in_path) != 0) {
        session_set_error(s, FAIL_IO, in.error);
        finish(s, SESSION_FAILED);
        return;
    }
    job->bytes_total.store(in.file_size, std::memory_order_relaxed);
    job->bytes_read.store(in.file_read, std::memory_order_relaxed);

    pg_conn conn;
    int connected = session_connect(&s->cfg, nullptr, &s->cancel, CONN_BARE, &conn);
    /* The password is not needed after the login, whatever its outcome. */
    config_wipe_password(&s->cfg);
    if (connected != 0) {
        session_set_conn_error(s, &conn);
        si_close(&in);
        finish(s, SESSION_FAILED);
        return;
    }
    s->state.store(SESSION_RUNNING, std::memory_order_release);

    replay rp;
    memset(&rp, 0, sizeof rp);
    rp.s = s;
    rp.job = job;
    rp.conn = &conn;
    rp.in = &in;
    rp.tx = 'I';
    int rc = run_script(&rp);
    job->bytes_read.store(in.file_read, std::memory_order_relaxed);
    rp_free(&rp);
    si_close(&in);
    /* Closing ends a transaction left open by a failure: the server rolls
     * it back, so a single-transaction restore leaves nothing behind. */
    if (rc != 0) /* a failure may come from a script newer than the server */
        script_origin_note(job->in_path, conn.server_version, s->error, sizeof s->error);
    pg_close(&conn);
    finish(s, rc == 0 ? SESSION_DONE : SESSION_FAILED);
}
