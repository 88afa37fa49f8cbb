#include "client_fixture.h"

#include <atomic>

namespace
{

typedef std::vector<std::optional<std::string>> row;

/* A fake server that logs the client in and answers each query with the
 * next of replies, then waits for the Terminate. */
struct session {
    fake_server srv;
    pg_conn conn;

    explicit session(const std::vector<std::string> &replies)
    {
        srv.read_startup().send(be_trust_login());
        for (const std::string &r : replies)
            srv.read_message().send(r);
        srv.read_message();
        srv.start();
        connected = connect_trusted(&conn, srv);
    }
    ~session()
    {
        if (connected)
            pg_close(&conn);
        srv.join();
    }
    bool connected = false;
};

std::string columns_payload(int n)
{
    std::string p = be_i16((int16_t)n);
    for (int i = 0; i < n; i++)
        p += "c" + std::to_string(i) + '\0' + std::string(18, '\0');
    return p;
}

const std::string ready = be_ready();

} // namespace

TEST(Query, SelectOneGivesOneRowThenEnd)
{
    session s({be_notice("n") + be_row_description({{"?column?", 23}}) + be_data_row({"1"}) +
               be_complete("SELECT 1") + ready});
    ASSERT_TRUE(s.connected) << s.conn.error;
    pg_meta meta;
    ASSERT_EQ(pg_query(&s.conn, "SELECT 1", &meta), 1) << s.conn.error;
    ASSERT_EQ(meta.count, 1u);
    EXPECT_STREQ(meta.columns[0].name, "?column?");
    EXPECT_EQ(meta.columns[0].type_oid, 23u);
    pg_value v[1];
    ASSERT_EQ(pg_read_row(&s.conn, &meta, v), 1) << s.conn.error;
    EXPECT_EQ(value_of(v[0]), "1");
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 0) << s.conn.error;
    pg_meta_free(&meta);
    EXPECT_EQ(meta.columns, nullptr);
    EXPECT_EQ(meta.count, 0u);
    pg_meta_free(&meta);
    pg_close(&s.conn);
    s.connected = false;
    s.srv.join();
    EXPECT_EQ(s.srv.message(1), fe_query("SELECT 1"));
    EXPECT_EQ(s.srv.message(2), fe_terminate());
}

TEST(Query, NoRowsCommandsAndEmptyQuery)
{
    session s({be_row_description({{"a", 25}}) + be_complete("SELECT 0") + ready,
               be_complete("BEGIN") + be_notice("x") + ready, be_empty_query() + ready,
               be_param("TimeZone", "UTC") + be_complete("SET") + ready});
    ASSERT_TRUE(s.connected);
    pg_meta meta;
    pg_value v[1];
    ASSERT_EQ(pg_query(&s.conn, "SELECT a FROM t WHERE false", &meta), 1);
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 0);
    pg_meta_free(&meta);
    for (const char *sql : {"BEGIN", "", "SET TimeZone = 'UTC'"}) {
        EXPECT_EQ(pg_query(&s.conn, sql, &meta), 0) << sql << ": " << s.conn.error;
        EXPECT_EQ(meta.columns, nullptr);
        EXPECT_EQ(meta.count, 0u);
    }
}

TEST(Query, ServerErrorsFailTheQueryAndLeaveTheConnectionReady)
{
    session s({be_error("ERROR", "42P01", "relation \"nope\" does not exist") + ready,
               /* A later statement of a multi-statement text failing. */
               be_complete("BEGIN") + be_error("ERROR", "22012", "division by zero") + ready,
               be_row_description({{"x", 23}}) + be_data_row({"1"}) + be_data_row({"2"}) +
                   be_error("ERROR", "22012", "division by zero") + ready,
               be_complete("COMMIT") + ready});
    ASSERT_TRUE(s.connected);
    pg_meta meta;
    EXPECT_EQ(pg_query(&s.conn, "SELECT * FROM nope", &meta), -1);
    EXPECT_STREQ(s.conn.error, "ERROR: relation \"nope\" does not exist");
    EXPECT_EQ(meta.columns, nullptr);

    EXPECT_EQ(pg_query(&s.conn, "BEGIN; SELECT 1/0", &meta), -1);
    EXPECT_STREQ(s.conn.error, "ERROR: division by zero");

    ASSERT_EQ(pg_query(&s.conn, "SELECT ...", &meta), 1);
    pg_value v[1];
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 1);
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 1);
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), -1);
    EXPECT_STREQ(s.conn.error, "ERROR: division by zero");
    pg_meta_free(&meta);

    EXPECT_EQ(pg_query(&s.conn, "COMMIT", &meta), 0);
}

TEST(Query, ServerVanishingWhileSkippingToReadyIsReported)
{
    fake_server srv;
    srv.read_startup().send(be_trust_login()).read_message();
    srv.send(be_error("ERROR", "XX000", "boom")).close();
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(connect_trusted(&conn, srv));
    pg_meta meta;
    EXPECT_EQ(pg_query(&conn, "SELECT 1", &meta), -1);
    EXPECT_STREQ(conn.error, "socket read failed");
    pg_close(&conn);
    srv.join();
}

TEST(RowDescription, ColumnCountLimits)
{
    {
        session s({be_msg('T', columns_payload(4096)) + be_complete("SELECT 0") + ready});
        ASSERT_TRUE(s.connected);
        pg_meta meta;
        ASSERT_EQ(pg_query(&s.conn, "q", &meta), 1) << s.conn.error;
        EXPECT_EQ(meta.count, 4096u);
        EXPECT_STREQ(meta.columns[4095].name, "c4095");
        std::vector<pg_value> v(4096);
        EXPECT_EQ(pg_read_row(&s.conn, &meta, v.data()), 0);
        pg_meta_free(&meta);
    }
    for (int n : {0, 4097}) {
        session s({be_msg('T', columns_payload(n)) + ready});
        ASSERT_TRUE(s.connected);
        pg_meta meta;
        EXPECT_EQ(pg_query(&s.conn, "q", &meta), -1);
        EXPECT_STREQ(s.conn.error, "bad column count");
        EXPECT_EQ(meta.columns, nullptr);
        EXPECT_EQ(meta.count, 0u);
    }
}

TEST(RowDescription, MalformedDescriptionsAreRefused)
{
    const std::string one_col = be_i16(1) + "name" + '\0' + std::string(18, '\0');
    struct {
        std::string payload;
        const char *text;
    } cases[] = {
        {"", "short row description"},
        {"\x01", "short row description"},
        {one_col.substr(0, one_col.size() - 1), "bad row description"},
        {be_i16(1) + "name-without-terminator", "bad row description"},
        {be_i16(2) + "a" + '\0' + std::string(18, '\0'), "bad row description"},
    };
    for (const auto &c : cases) {
        session s({be_msg('T', c.payload) + ready});
        ASSERT_TRUE(s.connected);
        pg_meta meta;
        EXPECT_EQ(pg_query(&s.conn, "q", &meta), -1);
        EXPECT_STREQ(s.conn.error, c.text);
        EXPECT_EQ(meta.columns, nullptr);
        EXPECT_EQ(meta.count, 0u);
    }
}

TEST(RowDescription, LongNameCutAndTrailingBytesIgnored)
{
    std::string name(200, 'n');
    session s({be_msg('T', be_i16(1) + name + '\0' + be_i32(0) + be_i16(0) + be_i32(1700) +
                               std::string(8, '\0') + "extra") +
               be_complete("SELECT 0") + ready});
    ASSERT_TRUE(s.connected);
    pg_meta meta;
    ASSERT_EQ(pg_query(&s.conn, "q", &meta), 1) << s.conn.error;
    EXPECT_EQ(std::string(meta.columns[0].name), name.substr(0, 127));
    EXPECT_EQ(meta.columns[0].type_oid, 1700u);
    pg_value v[1];
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 0);
    pg_meta_free(&meta);
}

TEST(DataRow, NullEmptyAndValuesAreTold)
{
    session s({be_row_description({{"a", 25}, {"b", 25}, {"c", 25}, {"d", 25}}) +
               be_msg('D', be_i16(4) + be_i32(-1) + be_i32(-2) + be_i32(0) + be_i32(3) + "xyz") +
               be_complete("SELECT 1") + ready});
    ASSERT_TRUE(s.connected);
    pg_meta meta;
    ASSERT_EQ(pg_query(&s.conn, "q", &meta), 1);
    pg_value v[4];
    ASSERT_EQ(pg_read_row(&s.conn, &meta, v), 1) << s.conn.error;
    EXPECT_EQ(v[0].data, nullptr);
    EXPECT_EQ(v[0].len, 0u);
    EXPECT_EQ(v[1].data, nullptr);
    EXPECT_EQ(v[1].len, 0u);
    EXPECT_NE(v[2].data, nullptr);
    EXPECT_EQ(v[2].len, 0u);
    EXPECT_EQ(value_of(v[3]), "xyz");
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), 0);
    pg_meta_free(&meta);
}

TEST(DataRow, MalformedRowsAreRefused)
{
    struct {
        std::string payload;
        const char *text;
    } cases[] = {
        {std::string(1, '\0'), "short data row"},
        {be_i16(1) + be_i32(1) + "a", "column count mismatch"},
        {be_i16(3) + be_i32(1) + "a" + be_i32(1) + "b" + be_i32(1) + "c", "column count mismatch"},
        {be_i16(2) + be_i32(1) + "a" + be_i32(3) + "bc", "row overrun"},
        {be_i16(2) + be_i32(1) + "a" + std::string(3, '\0'), "row overrun"},
        {be_i16(2) + be_i32(0x7FFFFFFF) + "a", "row overrun"},
    };
    for (const auto &c : cases) {
        session s({be_row_description({{"a", 25}, {"b", 25}}) + be_msg('D', c.payload) +
                   be_complete("SELECT 1") + ready});
        ASSERT_TRUE(s.connected);
        pg_meta meta;
        ASSERT_EQ(pg_query(&s.conn, "q", &meta), 1);
        pg_value v[2];
        EXPECT_EQ(pg_read_row(&s.conn, &meta, v), -1);
        EXPECT_STREQ(s.conn.error, c.text);
        pg_meta_free(&meta);
    }
}

TEST(DataRow, CancelStopsTheRowStream)
{
    session s({be_single_column("a", {std::string("1"), std::string("2"), std::string("3")})});
    ASSERT_TRUE(s.connected);
    std::atomic<int32_t> flag{0};
    s.conn.cancel = &flag;
    pg_meta meta;
    ASSERT_EQ(pg_query(&s.conn, "q", &meta), 1);
    pg_value v[1];
    ASSERT_EQ(pg_read_row(&s.conn, &meta, v), 1);
    flag = 1;
    EXPECT_EQ(pg_read_row(&s.conn, &meta, v), -1);
    EXPECT_STREQ(s.conn.error, "cancelled");
    pg_meta_free(&meta);
    s.conn.cancel = nullptr;
}

TEST(QuerySingle, FirstNonNullValueAfterReadingEveryRow)
{
    const row four = {std::nullopt, std::nullopt, std::string("abc"), std::string("defg")};
    session s({be_single_column("k", four), be_single_column("k", four),
               be_complete("SELECT 1") + ready});
    ASSERT_TRUE(s.connected);
    char dst[16];
    EXPECT_EQ(pg_query_single(&s.conn, "q", dst, sizeof dst), 0) << s.conn.error;
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(pg_query_single(&s.conn, "q", dst, 3), 0);
    EXPECT_STREQ(dst, "ab");
    /* Still in step: the next reply is read as the next query's. */
    pg_meta meta;
    EXPECT_EQ(pg_query(&s.conn, "q", &meta), 0);
}

TEST(QuerySingle, NoUsableValueLeavesDestinationAlone)
{
    session s({be_single_column("k", {}), be_single_column("k", {std::nullopt, std::nullopt}),
               be_complete("SET") + ready, be_error("ERROR", "42601", "syntax error") + ready});
    ASSERT_TRUE(s.connected);
    for (int i = 0; i < 4; i++) {
        char dst[8] = "keep";
        EXPECT_EQ(pg_query_single(&s.conn, "q", dst, sizeof dst), -1) << i;
        EXPECT_STREQ(dst, "keep");
    }
    EXPECT_STREQ(s.conn.error, "ERROR: syntax error");
}

TEST(QuerySingle, ErrorAfterTheValueFailsWithValueKept)
{
    session s({be_row_description({{"k", 25}}) + be_data_row({"v"}) +
               be_error("ERROR", "57014", "canceling statement") + ready});
    ASSERT_TRUE(s.connected);
    char dst[8] = "";
    EXPECT_EQ(pg_query_single(&s.conn, "q", dst, sizeof dst), -1);
    EXPECT_STREQ(dst, "v");
    EXPECT_STREQ(s.conn.error, "ERROR: canceling statement");
}

TEST(QuerySingle, MoreThanSixteenColumnsAreRefusedInStep)
{
    auto wide = [](int n) {
        std::vector<std::pair<std::string, uint32_t>> cols;
        row r;
        for (int i = 0; i < n; i++) {
            cols.push_back({"c" + std::to_string(i), 25});
            r.push_back(std::to_string(i));
        }
        return be_row_description(cols) + be_data_row(r) + be_complete("SELECT 1") + ready;
    };
    session s({wide(17), wide(16), be_complete("SET") + ready});
    ASSERT_TRUE(s.connected);
    char dst[8] = "keep";
    EXPECT_EQ(pg_query_single(&s.conn, "q", dst, sizeof dst), -1);
    EXPECT_STREQ(s.conn.error, "too many columns");
    EXPECT_STREQ(dst, "keep");
    EXPECT_EQ(pg_query_single(&s.conn, "q", dst, sizeof dst), 0) << s.conn.error;
    EXPECT_STREQ(dst, "0");
    pg_meta meta;
    EXPECT_EQ(pg_query(&s.conn, "SET", &meta), 0);
}
