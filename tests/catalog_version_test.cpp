/*
 * Server versions: the number read from the server's version text, the
 * refusal of servers older than 12 (by the catalogue and by every dump,
 * before a file is touched), catalogue texts chosen by version, and
 * answers read by column name.  The real servers of every version are
 * the matrix's (scripts/version-matrix).
 */
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "pg_client/pg_client.h"
#include "pg_client/pg_version.h"
#include "support/dump_wait.h"
#include "support/fake_server.h"
#include "support/hostile_dump.h"

TEST(ServerVersion, NumbersAsServerVersionNumAndRefusalsNameTheVersion)
{
    struct {
        const char *text;
        int num;
        const char *refusal; /* "" when supported */
    } cases[] = {
        {"18.7", 180007, ""},
        {"15.18 (Debian 15.18-0+deb12u1)", 150018, ""},
        {"12.0", 120000, ""},
        {"18beta1", 180000, ""},
        {"19devel", 190000, ""},
        {"11.22 (Ubuntu 11.22-1)", 110022,
         "PostgreSQL 11.22 is not supported: dumps read PostgreSQL 12 and newer"},
        {"9.6.24", 90624, "PostgreSQL 9.6.24 is not supported: dumps read PostgreSQL 12 and newer"},
        {"", 0, "server version \"\" not understood: dumps read PostgreSQL 12 and newer"},
        {"x18.7", 0, "server version \"x18.7\" not understood: dumps read PostgreSQL 12 and newer"},
        {"1000.1", 0,
         "server version \"1000.1\" not understood: dumps read PostgreSQL 12 and newer"},
        {"18.1234", 0,
         "server version \"18.1234\" not understood: dumps read PostgreSQL 12 and newer"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.num, pg_version_num(c.text)) << c.text;
        char text[160] = "";
        EXPECT_EQ(c.refusal[0] ? -1 : 0, pg_version_check(c.text, text, sizeof text)) << c.text;
        EXPECT_STREQ(c.refusal, text) << c.text;
    }
}

namespace
{

struct probe {
    uint32_t oid;
    int32_t flag;
    cat_str text;
};

const cat_piece HEAD[] = {{"WITH x AS (SELECT 1) SELECT DISTINCT ", 0, nullptr}};
const cat_column_def COLS[] = {
    CAT_COL(probe, "oid", CF_OID, oid, "t.oid"),
    CAT_COL_SINCE(probe, "flag", CF_BOOL, flag, 140000, "t.newer", "false"),
    CAT_COL_SINCE(probe, "text", CF_TEXT, text, 180000, "t.newest", nullptr),
};
const cat_piece TAIL[] = {
    {"FROM t ", 0, nullptr},
    {"WHERE t.parent = 0 ", 130000, ""},
    {"ORDER BY oid", 0, nullptr},
};
const cat_query_def PROBE = CAT_QUERY("probes", HEAD, CAT_COUNT(HEAD), COLS, TAIL);

std::string text_for(int32_t version)
{
    catalog cat = {};
    char *sql = cat_query_text(&cat, &PROBE, version, 0);
    std::string out = sql ? sql : "";
    free(sql);
    cat_free(&cat);
    return out;
}

} // namespace

TEST(CatalogQuery, EachPieceHoldsFromItsVersionAndOlderServersGetTheirOwn)
{
    EXPECT_EQ("WITH x AS (SELECT 1) SELECT DISTINCT t.oid AS oid, false AS flag, NULL AS text "
              "FROM t ORDER BY oid",
              text_for(120000));
    EXPECT_EQ("WITH x AS (SELECT 1) SELECT DISTINCT t.oid AS oid, t.newer AS flag, NULL AS text "
              "FROM t WHERE t.parent = 0 ORDER BY oid",
              text_for(170000));
    EXPECT_EQ("WITH x AS (SELECT 1) SELECT DISTINCT t.oid AS oid, t.newer AS flag, "
              "t.newest AS text FROM t WHERE t.parent = 0 ORDER BY oid",
              text_for(180000));

    /* Every query of the catalogue names each column once, on every
     * server, so that the answer's columns are found by name. */
    for (int32_t version : {120000, 130000, 140000, 170000, 180000}) {
        catalog cat = {};
        cat_source src[CAT_SOURCES + 1];
        uint32_t n = cat_item_sources(&cat, src);
        n += cat_part_sources(&cat, src + n);
        src[n++] = cat_seqval_source(&cat);
        for (uint32_t i = 0; i < n; i++) {
            char *sql = cat_query_text(&cat, src[i].q, version, 0);
            ASSERT_NE(nullptr, sql);
            for (uint32_t k = 0; k < src[i].q->column_count; k++) {
                std::string alias = std::string(" AS ") + src[i].q->columns[k].name;
                const char *at = strstr(sql, (alias + ",").c_str());
                if (at == nullptr)
                    at = strstr(sql, (alias + " ").c_str());
                EXPECT_NE(nullptr, at) << src[i].q->what << " " << alias << " " << version;
            }
            free(sql);
        }
        cat_free(&cat);
    }
}

TEST(CatalogQuery, FieldsTakeTheirColumnsTextsByType)
{
    catalog cat = {};
    probe p = {};
    EXPECT_EQ(0, cat_fill_field(&cat, &p, &COLS[0], "4294967295", 10));
    EXPECT_EQ(4294967295u, p.oid);
    EXPECT_EQ(0, cat_fill_field(&cat, &p, &COLS[1], "t", 1));
    EXPECT_EQ(1, p.flag);
    EXPECT_EQ(0, cat_fill_field(&cat, &p, &COLS[1], "true", 4)); /* only the server's "t" */
    EXPECT_EQ(0, p.flag);
    EXPECT_EQ(0, cat_fill_field(&cat, &p, &COLS[2], nullptr, 0));
    EXPECT_EQ(0u, p.text); /* NULL */
    EXPECT_EQ(0, cat_fill_field(&cat, &p, &COLS[2], "", 0));
    EXPECT_NE(0u, p.text); /* an empty text is not NULL */
    EXPECT_STREQ("", cat_text(&cat, p.text));
    cat_free(&cat);
}

TEST(CatalogRead, AnAnswerWithoutANamedColumnFailsAndTheConnectionStaysInStep)
{
    fake_server srv;
    /* The schemas' answer lacks "comment"; its rows are read all the same. */
    std::string answer =
        be_row_description(
            {{"role", 19}, {"oid", 26}, {"nsp", 26}, {"kind", 18}, {"name", 19}, {"schema", 19}}) +
        be_data_row({"app", "1", "1", "s", "app", "app"}) + be_complete("SELECT 1") + be_ready();
    srv.read_startup()
        .send(be_trust_login("18.7"))
        .read_message()
        .send(answer)
        .read_message()
        .send(be_single_column("x", {"1"}))
        .read_until_closed();
    srv.start();
    pg_conn conn;
    ASSERT_EQ(0, pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"));
    catalog cat = {};
    EXPECT_EQ(-1, catalog_read(&cat, &conn, 0));
    EXPECT_STREQ("unexpected catalogue answer: schemas without column \"comment\"", cat.error);
    EXPECT_EQ(0u, cat.items.n);
    pg_meta meta = {};
    ASSERT_EQ(1, pg_query(&conn, "SELECT 1", &meta)) << conn.error;
    pg_value v[1];
    EXPECT_EQ(1, pg_read_row(&conn, &meta, v));
    EXPECT_EQ(0, pg_read_row(&conn, &meta, v));
    pg_meta_free(&meta);
    cat_free(&cat);
    pg_close(&conn);
    EXPECT_TRUE(srv.join()) << srv.script_error();
}

TEST(CatalogRead, ServersOlderThan12AreRefusedBeforeAnyQuery)
{
    fake_server srv;
    srv.read_startup().send(be_trust_login("11.22")).read_until_closed();
    srv.start();
    pg_conn conn;
    ASSERT_EQ(0, pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"));
    catalog cat = {};
    EXPECT_EQ(-1, catalog_read(&cat, &conn, 1));
    EXPECT_STREQ("PostgreSQL 11.22 is not supported: dumps read PostgreSQL 12 and newer",
                 cat.error);
    cat_free(&cat);
    pg_close(&conn);
    EXPECT_TRUE(srv.join()) << srv.script_error();
    /* Nothing was asked between the start-up and the goodbye. */
    EXPECT_EQ(fe_terminate(), srv.received().substr(srv.message(0).size()));
}

TEST(DumpRun, AServerOlderThan12IsRefusedBeforeTheFileIsWritten)
{
    hostile_catalogue cat;
    cat.server_version = "11.22";
    std::string out = temp_path("old_server.sql");
    remove(out.c_str());
    hostile_outcome o = run_hostile_dump(cat, out);
    EXPECT_EQ(5, o.state);
    EXPECT_NE(std::string::npos,
              o.error.find("PostgreSQL 11.22 is not supported: dumps read PostgreSQL 12 and newer"))
        << o.error;
    FILE *f = fopen(out.c_str(), "rb");
    EXPECT_EQ(nullptr, f);
    if (f != nullptr)
        fclose(f);
}

/* The library asks for protocol 3.0 without options: a server's
 * NegotiateProtocolVersion naming just that is taken, any other refused
 * with what it said. */
TEST(ServerVersion, ProtocolNegotiationIsTakenForThreeZeroAndRefusedOtherwise)
{
    struct {
        int32_t minor;
        std::vector<std::string> options;
        const char *error; /* "" when the login goes on */
    } cases[] = {
        {0, {}, ""},
        {2,
         {},
         "server answered the start-up with protocol 3.2 and 0 unknown options; the "
         "library speaks protocol 3.0 without options"},
        {0,
         {"_pq_.x"},
         "server answered the start-up with protocol 3.0 and 1 unknown options; "
         "the library speaks protocol 3.0 without options"},
    };
    for (const auto &c : cases) {
        std::string body = be_i32(c.minor) + be_i32((int32_t)c.options.size());
        for (const std::string &o : c.options)
            body += o + std::string(1, '\0');
        fake_server srv;
        srv.read_startup().send(be_msg('v', body) + be_trust_login("18.7")).read_until_closed();
        srv.start();
        pg_conn conn;
        int rc = pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d");
        EXPECT_EQ(c.error[0] ? -1 : 0, rc) << c.minor;
        if (c.error[0])
            EXPECT_STREQ(c.error, conn.error);
        else
            EXPECT_STREQ("18.7", conn.server_version);
        pg_close(&conn);
        srv.join();
    }
    fake_server srv; /* a message too short to hold the two numbers */
    srv.read_startup().send(be_msg('v', be_i32(0))).read_until_closed();
    srv.start();
    pg_conn conn;
    EXPECT_EQ(-1, pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"));
    EXPECT_STREQ("short protocol negotiation message", conn.error);
    pg_close(&conn);
    srv.join();
}
