/*
 * COPY ... TO STDOUT against a scripted server, and the copy answers a
 * plain query never asked for: each must end in step, never in a wait.
 */
#include "client_fixture.h"

#include "dump/rows/table_rows.h"
#include "dump/run/dump_run.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace
{

const std::string ready = be_ready();
const std::string copy_out_text =
    be_msg('H', std::string(1, '\0') + be_i16(2) + be_i16(0) + be_i16(0));

std::string copy_data(const std::string &row)
{
    return be_msg('d', row);
}

/* Logs in, then per query: read it, send its answer; a non-empty
 * expect_fail also reads the client's CopyFail before the error. */
struct copy_session {
    fake_server srv;
    pg_conn conn;
    bool connected = false;

    void begin() { srv.read_startup().send(be_trust_login()); }
    void answer(const std::string &bytes) { srv.read_message().send(bytes); }
    void go()
    {
        srv.read_message();
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

TEST(CopyOut, RowsThenEndThenServerErrorMidCopyLeavesTheConnectionReady)
{
    copy_session s;
    s.begin();
    s.answer(copy_out_text + copy_data("1\ta\n") + be_notice("n") + copy_data("2\t\\N\n") +
             be_msg('c', "") + be_complete("COPY 2") + ready);
    s.answer(copy_out_text + copy_data("1\ta\n") +
             be_error("ERROR", "57014", "canceling statement") + ready);
    s.answer(be_row_description({{"x", 23}}) + be_data_row({"1"}) + be_complete("SELECT 1") +
             ready);
    s.answer(be_complete("SET") + ready);
    s.go();
    ASSERT_TRUE(s.connected) << s.conn.error;

    ASSERT_EQ(1, pg_copy_out(&s.conn, "COPY t TO STDOUT")) << s.conn.error;
    const unsigned char *row;
    uint64_t len;
    ASSERT_EQ(1, pg_copy_read(&s.conn, &row, &len));
    EXPECT_EQ("1\ta\n", std::string((const char *)row, len));
    ASSERT_EQ(1, pg_copy_read(&s.conn, &row, &len));
    EXPECT_EQ("2\t\\N\n", std::string((const char *)row, len));
    EXPECT_EQ(0, pg_copy_read(&s.conn, &row, &len));

    ASSERT_EQ(1, pg_copy_out(&s.conn, "COPY t TO STDOUT"));
    EXPECT_EQ(1, pg_copy_read(&s.conn, &row, &len));
    EXPECT_EQ(-1, pg_copy_read(&s.conn, &row, &len));
    EXPECT_STREQ("ERROR: canceling statement", s.conn.error);

    /* A query that gives rows instead of a copy fails, read to its end. */
    EXPECT_EQ(-1, pg_copy_out(&s.conn, "SELECT 1"));
    EXPECT_STREQ("the query gave no copy-out answer", s.conn.error);
    pg_meta meta;
    EXPECT_EQ(0, pg_query(&s.conn, "SET x = 1", &meta)) << s.conn.error;
}

TEST(CopyOut, CopyInAndCopyBothAnswersFailInsteadOfWaiting)
{
    copy_session s;
    s.begin();
    /* Copy-in to a plain query, to a query after a first statement, and
     * to a copy-out request: each is ended with CopyFail. */
    for (int i = 0; i < 3; i++) {
        s.answer((i == 1 ? be_complete("SET") : std::string()) +
                 be_msg('G', std::string(1, '\0') + be_i16(0)));
        s.srv.read_message().send(be_error("ERROR", "57014", "COPY from stdin failed") + ready);
    }
    s.answer(be_complete("SET") + ready);
    s.answer(be_msg('W', std::string(1, '\0') + be_i16(0)));
    s.go();
    ASSERT_TRUE(s.connected) << s.conn.error;

    pg_meta meta;
    EXPECT_EQ(-1, pg_query(&s.conn, "COPY t FROM STDIN", &meta));
    EXPECT_STREQ("unexpected copy-in answer from the server", s.conn.error);
    EXPECT_EQ(-1, pg_query(&s.conn, "SET x = 1; COPY t FROM STDIN", &meta));
    EXPECT_STREQ("unexpected copy-in answer from the server", s.conn.error);
    EXPECT_EQ(-1, pg_copy_out(&s.conn, "COPY t TO STDOUT"));
    EXPECT_STREQ("unexpected copy-in answer from the server", s.conn.error);
    EXPECT_EQ(0, pg_query(&s.conn, "SET x = 1", &meta)) << s.conn.error;
    EXPECT_EQ(-1, pg_query(&s.conn, "START_REPLICATION", &meta));
    EXPECT_STREQ("unexpected copy-both answer from the server", s.conn.error);
    pg_close(&s.conn);
    s.connected = false;
    ASSERT_TRUE(s.srv.join()) << s.srv.script_error();
    for (size_t m : {2u, 4u, 6u})
        EXPECT_EQ('f', s.srv.message(m)[0]) << "message " << m;
}

/* Every row a hostile server could use to smuggle a line into the script
 * is refused; rows an honest server sends pass. */
TEST(CopyRow, OnlyWholeSingleLinesThatAreNotTheEndMarkerPass)
{
    const std::pair<std::string, bool> rows[] = {
        {"1\ta\n", true},          {"\\N\n", true},     {"\n", true},
        {"\\\\.\n", true},         /* a value that is backslash and dot, escaped */
        {"a\\n\\\\.\\nb\n", true}, /* line feeds inside a value, escaped */
        {"\\.\n", false},          {"\\.", false},      {"", false},
        {"1\ta", false},           {"1\n\\.\n", false}, {"1\n\\! rm -rf /\n", false},
        {"\\.\r\n", false},        {"a\rb\n", false},   {std::string("a\0b\n", 4), false},
    };
    for (const auto &r : rows) {
        const char *fault =
            copy_row_fault(reinterpret_cast<const unsigned char *>(r.first.data()), r.first.size());
        EXPECT_EQ(r.second, fault == nullptr) << "row \"" << r.first << "\"";
    }
}

/* A hostile server's rows end the section with the table named; the
 * honest rows before it are all the file holds, never the smuggled line. */
TEST(CopySection, HostileRowFailsNamingTheTableAndNeverReachesTheScript)
{
    for (const std::string &bad : {std::string("\\.\n"), std::string("1\n\\! id\n"),
                                   std::string("2\tx"), std::string("3\0\n", 3)}) {
        copy_session s;
        s.begin();
        s.answer(copy_out_text + copy_data("1\tok\n") + copy_data(bad) + be_msg('c', "") +
                 be_complete("COPY 2") + ready);
        s.go();
        ASSERT_TRUE(s.connected) << s.conn.error;
        dump_config cfg = {};
        cfg.data_format = CONFIG_DATA_COPY;
        std::atomic<int64_t> rows{0}, elapsed{0}, bytes{0};
        std::atomic<int32_t> cancel{0};
        char error[512] = "";
        fail_info fail = {};
        section_context c = {&cfg, &rows, &elapsed, 0, &cancel, error, sizeof error, &fail};
        FILE *f = tmpfile();
        dw_sink sink;
        ASSERT_EQ(0, sink_open(&sink, f, &bytes, SINK_FILE, 0));
        std::vector<unsigned char> buf(4096);
        dump_writer w = {&sink, buf.data(), buf.size(), 0, 0};
        table_target t = {"public", "victim", nullptr, 1, 0, 0};
        int outcome = 0;
        EXPECT_EQ(SECTION_END, table_rows_write(&c, &s.conn, &w, &t, &outcome));
        EXPECT_EQ(SESSION_FAILED, outcome);
        EXPECT_NE(nullptr, strstr(error, "in table \"public.victim\"")) << error;
        ASSERT_EQ(0, dw_flush(&w));
        EXPECT_EQ(1, rows.load());
        std::string held(bytes.load(), '\0');
        rewind(f);
        ASSERT_EQ(held.size(), fread(&held[0], 1, held.size(), f));
        EXPECT_EQ("COPY \"public\".\"victim\" FROM stdin;\n1\tok\n", held);
        fclose(f);
    }
}
