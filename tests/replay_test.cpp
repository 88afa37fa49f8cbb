/*
 * Round trips: a database full of awkward types and values is dumped,
 * the script is replayed with psql into a fresh database, and every table
 * must read back byte for byte as it was.
 */
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "veltrano-pgdump.h"

namespace
{

const char CORPUS_SQL[] = R"SQL(
CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy');
CREATE TABLE types (
  id integer PRIMARY KEY, i2 smallint, i8 bigint, num numeric, num2 numeric(12,3),
  f4 real, f8 double precision, flag boolean, t text, vc varchar(40), ch char(5),
  bin bytea, d date, ts timestamp, tstz timestamptz, iv interval, js json, jb jsonb,
  u uuid, ia integer[], ta text[], b8 bit(8), vb bit varying(16), m mood, o oid,
  ip inet, tm time(3), va varchar(8)[]
);
INSERT INTO types VALUES
 (1, 32767, 9223372036854775807, 12345678901234567890.123456789, 123456789.123,
  3.4028235e38, 1.7976931348623157e308, true, 'plain', 'O''Brien', 'ab',
  '\x00ff27005c'::bytea, '2024-02-29', '2024-01-01 12:34:56.789',
  '2024-06-01 00:00:00+02', '1 year 2 mons 3 days 04:05:06.789', '{"a": "b\"c"}',
  '{"k": [1, "two", null]}', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '{1,2,NULL}',
  '{"a\"b","c,d",NULL,""}', B'10101010', B'101', 'happy', 4294967295,
  '192.168.0.1/24', '23:59:59.999', '{"x''y","z"}'),
 (2, -32768, -9223372036854775808, 'NaN', -0.001, 'NaN', 'Infinity', false,
  E'line1\nline2\ttab\\back''quote\r', E'\\x', 'NULL', '', '0001-01-01 BC', 'infinity',
  '-infinity', '-178000000 years', 'null', '"str"', '00000000-0000-0000-0000-000000000000',
  '{}', '{}', B'00000000', B'', 'sad', 0, '::1', '00:00', '{}'),
 (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
 (4, 0, 0, 'Infinity', 0, '-Infinity', '-0', NULL, 'é日本🙂 ünïcödé', 'NULL', NULL,
  decode(repeat('00', 5000), 'hex'), NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  '{{1,2},{3,4}}', '{"NULL",NULL}', NULL, NULL, 'ok', NULL, NULL, NULL, NULL),
 (5, 1, 1, '-Infinity', 1e-3, 1.5e-45, 5e-324, true, repeat(E'ab''c\\', 3000),
  repeat('x', 40), 'abcde', decode(repeat('27', 3000), 'hex'), '2000-01-01', NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
 (6, 2, 2, 0.1, 0.1, 0.1, 0.1, false, E'\x01\x02\x1b\x1f\x7f', '', '', '', NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
 (7, 3, 3, 1, 1, 1, 1, true, repeat('''', 5000), NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
 (8, 4, 4, 1, 1, 1, 1, true, repeat('y', 2044) || '''' || repeat('z', 2046), NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
  NULL, NULL),
 (9, 5, 5, 2, 2, 2, 2, true, '\.', E'\\.', E'\\.\n', E'\\x', NULL, NULL, NULL, NULL,
  NULL, NULL, NULL, NULL, '{"\\.",""}', NULL, NULL, NULL, NULL, NULL, NULL, NULL),
 (10, 6, 6, 3, 3, 3, 3, false, E'a\n\\.\nb\r\n\\.\r\nc\\', E'\t\\t', E'\\N', NULL, NULL,
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
CREATE TABLE "Mixed Case" (id serial PRIMARY KEY, "Value" text, "UPPER" int NOT NULL DEFAULT 7);
INSERT INTO "Mixed Case" ("Value") SELECT 'row ' || g FROM generate_series(1, 250) g;
CREATE TABLE "with space" (id bigserial PRIMARY KEY, "sp ace" varchar(10));
INSERT INTO "with space" ("sp ace") VALUES ('a'), (NULL), ('');
CREATE TABLE "we""ird" ("col""q" int PRIMARY KEY, "it's" text);
INSERT INTO "we""ird" VALUES (1, 'double " quote'), (2, 'single '' quote');
CREATE TABLE parent (id int PRIMARY KEY, v text);
CREATE TABLE child (extra int) INHERITS (parent);
INSERT INTO parent VALUES (1, 'p');
INSERT INTO child VALUES (2, 'c', 9);
)SQL";

std::vector<std::string> corpus_tables()
{
    return {"types", "Mixed Case", "with space", "we\"ird", "parent", "child"};
}

std::string ident(const std::string &name)
{
    std::string q = "\"";
    for (char c : name)
        q += (c == '"') ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string table_rows(const std::string &db, const std::string &table)
{
    return sandbox_psql_output(db, "COPY (SELECT * FROM ONLY " + ident(table) +
                                       " ORDER BY 1) TO STDOUT");
}

/* psql running the script at path; unzip, when given, is the standard
 * tool that decompresses it on the way. */
std::string psql_file(const std::string &db, const std::string &path, const std::string &unzip = "")
{
    const sandbox_info *sb = sandbox_server();
    std::string psql = "psql -X -q -v ON_ERROR_STOP=1 -h " + sb->host + " -p " +
                       std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER " -d " + db;
    if (!unzip.empty())
        return unzip + " " + path + " | " + psql + " -f - >/dev/null";
    return psql + " -f " + path + " >/dev/null";
}

int dump(const std::string &db, const std::string &out, const std::string &extra)
{
    std::string e = "\"out_path\":\"" + out + "\"";
    if (!extra.empty())
        e += "," + extra;
    int s = pgdump_start(sandbox_config(SANDBOX_TRUST_USER, "", db, e).c_str());
    EXPECT_GE(s, 0) << pgdump_last_error();
    int state = wait_final(s);
    EXPECT_EQ(3, state) << pgdump_result(s);
    pgdump_free(s);
    return state;
}

} // namespace

TEST(Replay, EveryTableOfTheCorpusRoundTripsExactly)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_corpus");
    ASSERT_EQ(0, sandbox_psql("vpg_corpus", CORPUS_SQL));
    /* Each way of writing the data: INSERT batches, COPY blocks, either
     * compressed, and tables read on parallel connections. */
    struct variant {
        const char *keys;
        const char *unzip;
    };
    const variant variants[] = {
        {"\"rows_per_insert\":1", ""},
        {"\"rows_per_insert\":3", ""},
        {"\"rows_per_insert\":100", ""},
        {"\"data_format\":\"copy\"", ""},
        {"\"data_format\":\"copy\",\"compression\":\"gzip\"", "gzip -dc"},
        {"\"data_format\":\"copy\",\"compression\":\"zstd\",\"compression_level\":19", "zstd -dcq"},
        {"\"rows_per_insert\":7,\"compression\":\"gzip\",\"compression_level\":1", "gzip -dc"},
        {"\"data_format\":\"copy\",\"jobs\":2", ""},
        {"\"rows_per_insert\":3,\"jobs\":4", ""},
    };
    std::string first_script;
    for (size_t v = 0; v < sizeof variants / sizeof variants[0]; v++) {
        SCOPED_TRACE(variants[v].keys);
        std::string out = temp_path("corpus" + std::to_string(v) + ".sql");
        ASSERT_EQ(
            3, dump("vpg_corpus", out, std::string("\"include_drop\":true,") + variants[v].keys));
        sandbox_fresh_db("vpg_corpus_copy");
        ASSERT_EQ(
            0, sandbox_psql("vpg_corpus_copy", "CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy')"));
        ASSERT_EQ(0, run_command(psql_file("vpg_corpus_copy", out, variants[v].unzip)))
            << "replay of " << out;
        for (const std::string &t : corpus_tables()) {
            std::string src = table_rows("vpg_corpus", t);
            ASSERT_FALSE(src.empty()) << t;
            EXPECT_EQ(src, table_rows("vpg_corpus_copy", t)) << "table " << t;
        }
        /* A second replay over the first works too (DROP ... CASCADE). */
        EXPECT_EQ(0, run_command(psql_file("vpg_corpus_copy", out, variants[v].unzip)));
    }
    /* Parallel tables write the very script one connection writes. */
    EXPECT_TRUE(read_file(temp_path("corpus3.sql")) == read_file(temp_path("corpus7.sql")));
    EXPECT_TRUE(read_file(temp_path("corpus1.sql")) == read_file(temp_path("corpus8.sql")));
    EXPECT_EQ("integer[]|bit(8)|bit varying(16)|mood\n",
              sandbox_psql_output("vpg_corpus_copy",
                                  "SELECT string_agg(format_type(atttypid, atttypmod), '|' "
                                  "ORDER BY attnum) FROM pg_attribute WHERE attrelid = "
                                  "'types'::regclass AND attname IN ('b8','m','ia','vb')"));
}

TEST(Replay, Latin1SourceIsWrittenAsUtf8)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_latin1", "ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C'");
    ASSERT_EQ(0,
              sandbox_psql("vpg_latin1", "CREATE TABLE words (id int PRIMARY KEY, w text); "
                                         "INSERT INTO words VALUES (1, 'café'), (2, 'Ærøskøbing'), "
                                         "(3, '½ ¼ ¾ ÿ')"));
    std::string out = temp_path("latin1.sql");
    ASSERT_EQ(3, dump("vpg_latin1", out, ""));
    std::string script = read_file(out);
    EXPECT_NE(std::string::npos, script.find("(1,'caf\xc3\xa9')"));
    sandbox_fresh_db("vpg_latin1_copy");
    ASSERT_EQ(0, run_command(psql_file("vpg_latin1_copy", out)));
    EXPECT_EQ(table_rows("vpg_latin1", "words"), table_rows("vpg_latin1_copy", "words"));
}

TEST(Replay, ServerSettingsDoNotLeakIntoValues)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vpg_settings");
    ASSERT_EQ(0, sandbox_psql("vpg_settings",
                              "CREATE TABLE s (id int PRIMARY KEY, d date, ts timestamp, "
                              "iv interval, f float8); INSERT INTO s VALUES "
                              "(1, '2024-03-04', '2024-03-04 05:06:07', '1 day -02:00', "
                              "0.30000000000000004); "
                              "ALTER DATABASE vpg_settings SET DateStyle = 'SQL, DMY'; "
                              "ALTER DATABASE vpg_settings SET IntervalStyle = 'sql_standard'; "
                              "ALTER DATABASE vpg_settings SET extra_float_digits = -3"));
    std::string out = temp_path("settings.sql");
    ASSERT_EQ(3, dump("vpg_settings", out, ""));
    EXPECT_NE(std::string::npos, read_file(out).find("'2024-03-04'"));
    sandbox_fresh_db("vpg_settings_copy");
    ASSERT_EQ(0, run_command(psql_file("vpg_settings_copy", out)));
    std::string q = "SELECT d, ts, iv, f::text FROM s";
    EXPECT_EQ(sandbox_psql_output(
                  "vpg_settings",
                  "SET DateStyle=ISO; SET IntervalStyle=postgres; SET extra_float_digits=3; " + q),
              sandbox_psql_output(
                  "vpg_settings_copy",
                  "SET DateStyle=ISO; SET IntervalStyle=postgres; SET extra_float_digits=3; " + q));
}
