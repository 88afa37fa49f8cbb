/*
 * Statement-counted answers and copy-in: what the restore engine learns
 * from one query message, fed by a fake server, including the copy answers
 * a restore has no use for (copy-out is read to its end, copy-both refused).
 */
#include "client_fixture.h"

namespace
{

/* Sends msg framed as type t from a buffer with room for the header. */
int send_framed(pg_conn *conn, char t, const std::string &payload)
{
    std::string buf(PG_FRAME_HEADER, '\0');
    buf += payload;
    return pg_send_framed(conn, t, reinterpret_cast<unsigned char *>(&buf[0]), payload.size());
}

struct copy_session {
    fake_server srv;
    pg_conn conn;
    bool connected = false;
    /* One query message answered with answer; then each further step. */
    copy_session(const std::string &answer, const std::vector<std::string> &then)
    {
        srv.read_startup().send(be_trust_login()).read_message().send(answer);
        for (const std::string &step : then) {
            if (step.empty())
                srv.read_message();
            else
                srv.send(step);
        }
        srv.start();
        connected = connect_trusted(&conn, srv);
    }
    ~copy_session()
    {
        if (connected)
            pg_close(&conn);
        srv.join();
    }
};

} // namespace

TEST(CopyClient, FailedStatementIsNamedByTheCountBeforeIt)
{
    copy_session s(be_complete("CREATE TABLE") + be_notice("n") + be_complete("INSERT 0 1") +
                       be_error("ERROR", "42P01", "relation \"x\" does not exist") + be_ready('T'),
                   {""});
    ASSERT_TRUE(s.connected);
    ASSERT_EQ(0, send_framed(&s.conn, 'Q', std::string("a;b;c;d;") + '\0'));
    pg_exec_result r;
    ASSERT_EQ(0, pg_read_results(&s.conn, &r)) << s.conn.error;
    EXPECT_EQ(2u, r.completed);
    EXPECT_EQ(1, r.failed);
    EXPECT_EQ(2u, r.failed_at);
    EXPECT_EQ('T', r.tx_status);
    EXPECT_STREQ("INSERT 0 1", r.tag);
    EXPECT_STREQ("ERROR: relation \"x\" does not exist", s.conn.error);
    pg_close(&s.conn);
    s.connected = false;
    ASSERT_TRUE(s.srv.join()) << s.srv.script_error();
    EXPECT_EQ(fe_query("a;b;c;d;"), s.srv.message(1));
}

TEST(CopyClient, CopyInEndsWithDoneOrFailAndCopyOutOrBothNeverHang)
{
    /* Copy-in: data, then CopyFail with its reason; the server's error ends it. */
    {
        copy_session s(
            be_msg('G', std::string(1, '\0') + be_i16(0)),
            {"", "", be_error("ERROR", "57014", "COPY from stdin failed: stop") + be_ready('I')});
        ASSERT_TRUE(s.connected);
        ASSERT_EQ(0, send_framed(&s.conn, 'Q', std::string("COPY t FROM stdin;") + '\0'));
        pg_exec_result r;
        ASSERT_EQ(0, pg_read_results(&s.conn, &r));
        EXPECT_EQ(1, r.copy_in);
        ASSERT_EQ(0, send_framed(&s.conn, 'd', "1\tx\n"));
        ASSERT_EQ(0, pg_copy_end(&s.conn, "stop", &r));
        EXPECT_EQ(1, r.failed);
        EXPECT_EQ('I', r.tx_status);
        pg_close(&s.conn);
        s.connected = false;
        ASSERT_TRUE(s.srv.join()) << s.srv.script_error();
        EXPECT_EQ(be_msg('d', "1\tx\n"), s.srv.message(2));
        EXPECT_EQ(be_msg('f', std::string("stop") + '\0'), s.srv.message(3));
    }
    /* Copy-out: read to its end, counted as a failed statement, ready again. */
    {
        copy_session s(be_msg('H', std::string(1, '\0') + be_i16(0)) + be_msg('d', "1\n") +
                           be_msg('c', "") + be_complete("COPY 1") + be_complete("SELECT 1") +
                           be_ready('I'),
                       {""});
        ASSERT_TRUE(s.connected);
        ASSERT_EQ(0, send_framed(&s.conn, 'Q', std::string("COPY x TO STDOUT;SELECT 1;") + '\0'));
        pg_exec_result r;
        ASSERT_EQ(0, pg_read_results(&s.conn, &r)) << s.conn.error;
        EXPECT_EQ(1, r.failed);
        EXPECT_EQ(0u, r.failed_at);
        EXPECT_EQ(2u, r.completed);
        EXPECT_NE(nullptr, strstr(s.conn.error, "COPY TO STDOUT"));
    }
    /* Copy-both: refused at once. */
    {
        copy_session s(be_msg('W', std::string(1, '\0') + be_i16(0)), {""});
        ASSERT_TRUE(s.connected);
        ASSERT_EQ(0, send_framed(&s.conn, 'Q', std::string("START_REPLICATION;") + '\0'));
        pg_exec_result r;
        EXPECT_EQ(-1, pg_read_results(&s.conn, &r));
        EXPECT_STREQ("copy-both answer refused", s.conn.error);
    }
}
