/*
 * A script file that refuses one write, at every write a run makes in
 * turn, for both script kinds: each run must fail with the write error
 * (never pass as done, never fail on a connection out of step), keep the
 * earlier file at out_path as it was, and the run with no write left to
 * refuse must write the same script as an undisturbed run.
 */
#include <gtest/gtest.h>
#include <string>

#include "config/config.h"
#include "dump/run/dump_run.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"

namespace
{

const char DB[] = "vpg_write_fault";

struct outcome {
    int state;
    std::string error;
};

outcome run_dump(const std::string &out, bool complete)
{
    run_session *s = new run_session();
    /* A fixed fence key, so that every run writes the same bytes */
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", DB,
                                     "\"out_path\":\"" + out + "\",\"restrict_key\":\"faultkey\"");
    EXPECT_EQ(0, parse_config(cfg.c_str(), &s->cfg));
    s->cfg.complete = complete ? 1 : 0;
    s->state.store(SESSION_CONNECTING);
    dump_worker(s);
    outcome o = {s->state.load(), s->error};
    delete s;
    return o;
}

void check_every_write_fails_cleanly(bool complete)
{
    sandbox_fresh_db(DB);
    ASSERT_EQ(0, sandbox_psql(DB, "CREATE SEQUENCE s; "
                                  "CREATE TABLE t (id int PRIMARY KEY DEFAULT nextval('s'), "
                                  "name varchar(20), price numeric(8,2), flags bit(3), "
                                  "note text NOT NULL DEFAULT 'x'); "
                                  "INSERT INTO t (name, price, flags) SELECT 'n' || g, g, "
                                  "B'101' FROM generate_series(1, 3) g; "
                                  "CREATE TABLE u (a int, b bytea); "
                                  "INSERT INTO u VALUES (1, '\\x00ff'), (2, NULL); "
                                  "CREATE VIEW v AS SELECT id FROM t"));
    std::string out = temp_path(complete ? "fault_complete.sql" : "fault_tables.sql");
    std::string expected_out = out + ".expected";
    outcome clean = run_dump(expected_out, complete);
    ASSERT_EQ(SESSION_DONE, clean.state) << clean.error;
    std::string expected = read_file(expected_out);

    /* Every put a write of its own; the complete script, several times
     * longer, a write every few bytes. */
    dw_set_test_capacity(complete ? 8 : 1);
    int k = 1;
    for (; k < 20000; k++) {
        write_file(out, "earlier\n");
        sink_fail_once_at(k);
        outcome o = run_dump(out, complete);
        sink_fail_once_at(0);
        if (o.state == SESSION_DONE) {
            EXPECT_EQ(expected, read_file(out)) << "after " << k - 1 << " writes";
            break;
        }
        ASSERT_EQ(SESSION_FAILED, o.state) << "write " << k;
        EXPECT_TRUE(o.error == WRITE_FAILED_TEXT || o.error == "final flush failed")
            << "write " << k << ": " << o.error;
        EXPECT_EQ("earlier\n", read_file(out)) << "write " << k;
    }
    dw_set_test_capacity(0);
    EXPECT_GT(k, 20) << "too few writes to mean anything";
    EXPECT_LT(k, 20000) << "the run never got through";
}

} // namespace

TEST(WriteFault, TableOnlyScriptFailsCleanlyAtEveryWrite)
{
    REQUIRE_SANDBOX();
    check_every_write_fails_cleanly(false);
}

TEST(WriteFault, CompleteScriptFailsCleanlyAtEveryWrite)
{
    REQUIRE_SANDBOX();
    check_every_write_fails_cleanly(true);
}
