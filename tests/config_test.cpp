/*
 * The configuration scanner and the walk that fills dump_config.
 */
#include "config/config.h"
#include "config_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

/* An object of n keys "k0".."k(n-1)", each with the one-word value 1:
 * 1 + 2n tokens. */
std::string object_of_keys(int n, const std::string &tail = "")
{
    std::string s = "{";
    for (int i = 0; i < n; i++) {
        s += "\"k" + std::to_string(i) + "\":1,";
    }
    return s + tail + "}";
}

TEST_F(Config, EmptyObjectGivesEveryDefault)
{
    dirty();
    expect_accepted("{}");
    EXPECT_TRUE(at_defaults());
    EXPECT_STREQ(cfg.host, "127.0.0.1");
    EXPECT_EQ(cfg.port, 5432);
    EXPECT_EQ(cfg.rows_per_insert, 100);
}

TEST_F(Config, TextsWithoutAnObjectAreRefused)
{
    expect_refused("");
    expect_refused("   \t\r\n");
    expect_refused(":,:,,");
    expect_refused("[]");
    expect_refused("[{\"user\":\"u\"}]");
    expect_refused("\"user\"");
    expect_refused("42");
    expect_refused("user");
}

TEST_F(Config, UnbalancedBracketsAreRefused)
{
    expect_refused("{");
    expect_refused("{\"user\":\"u\"");
    expect_refused("{\"tables\":[\"a\"}");
    expect_refused("{}}");
    expect_refused("}{");
    expect_refused("{\"tables\":[\"a\"]]}");
    expect_refused("{\"tables\":[}]");
    expect_refused("{}[");
}

TEST_F(Config, BadStringsAreRefused)
{
    expect_refused("{\"user\":\"a\\qb\"}");
    expect_refused("{\"user\":\"\\u00G1\"}");
    expect_refused("{\"user\":\"\\u00\"}");
    expect_refused("{\"user\":\"\\u12");
    expect_refused("{\"user\":\"abc");
    expect_refused("{\"user\":\"");
    expect_refused("{\"user\":\"abc\\");
    expect_refused("{\"us\\");
}

TEST_F(Config, EveryAllowedEscapeIsAccepted)
{
    expect_accepted("{\"user\":\"\\\" \\/ \\\\ \\b \\f \\n \\r \\t \\u0041 \\uabCD\"}");
}

TEST_F(Config, BytesOutsidePrintableAsciiRefuseABareWordOnly)
{
    expect_accepted("{\"user\":\"a\x01\x7f\x80\xff"
                    "b\"}");
    EXPECT_STREQ(cfg.user, "a\x01\x7f\x80\xff"
                           "b");

    expect_refused("{\"user\":a\x01}");
    expect_refused("{\"user\":a\x7f}");
    expect_refused("{\"user\":\x80}");
    expect_refused("{\"user\":ab\xc3\xa9}");
    expect_refused("{\x01}");
    /* Tab, line feed and carriage return end a word instead. */
    expect_accepted("{\"user\":ab\tcd\r\n}");
    EXPECT_STREQ(cfg.user, "ab");
}

TEST_F(Config, PoolHoldsExactly1600Tokens)
{
    expect_accepted(object_of_keys(799));
    expect_accepted(object_of_keys(799, "x"));
    expect_refused(object_of_keys(800));
    expect_refused(object_of_keys(799, "x y"));
    /* The 1601st token refuses whatever its kind. */
    expect_refused(object_of_keys(799, "x []"));
    expect_refused(object_of_keys(799, "x \"s\""));
    /* Tokens after the root count toward the same pool. */
    expect_accepted(object_of_keys(799) + " x");
    expect_refused(object_of_keys(799, "x") + " y");
}

TEST_F(Config, ColonsAndCommasAreOptional)
{
    expect_accepted("{\"host\" \"db.local\" \"user\" \"u\"}");
    EXPECT_STREQ(cfg.host, "db.local");
    EXPECT_STREQ(cfg.user, "u");

    expect_accepted("{,,\"user\"::\"u\",,}");
    EXPECT_STREQ(cfg.user, "u");
}

TEST_F(Config, BareWordsAreValuesLikeAnyOther)
{
    expect_accepted("{\"host\":db.example,\"database\":null,\"user\":a\"b{c}");
    EXPECT_STREQ(cfg.host, "db.example");
    EXPECT_STREQ(cfg.database, "null");
    EXPECT_STREQ(cfg.user, "a\"b{c");
}

TEST_F(Config, ObjectsAfterTheRootAreWalkedToo)
{
    expect_accepted("{\"user\":\"a\"} {\"host\":\"h\"} \"database\" \"d\"");
    EXPECT_STREQ(cfg.user, "a");
    EXPECT_STREQ(cfg.host, "h");
    EXPECT_STREQ(cfg.database, "d");
}

TEST_F(Config, KeysAreMatchedRawAndWhole)
{
    expect_accepted("{\"User\":\"a\",\"use\":\"b\",\"users\":\"c\",\"\\u0075ser\":\"d\"}");
    EXPECT_STREQ(cfg.user, "");
}

TEST_F(Config, UnrecognisedKeysValueIsSkippedWhole)
{
    expect_accepted("{\"extra\":{\"host\":\"evil\",\"list\":[\"user\",\"u\"]},\"user\":\"me\"}");
    EXPECT_STREQ(cfg.host, "127.0.0.1");
    EXPECT_STREQ(cfg.user, "me");

    expect_accepted("{\"extra\":[\"user\",\"u\"],\"port\":1}");
    EXPECT_STREQ(cfg.user, "");
    EXPECT_EQ(cfg.port, 1);
}

TEST_F(Config, RecognisedKeysObjectValueIsCopiedRawAndThenWalked)
{
    expect_accepted("{\"database\":{\"user\":\"u\"}}");
    EXPECT_STREQ(cfg.database, "{\"user\":\"u\"}");
    EXPECT_STREQ(cfg.user, "u");

    expect_accepted("{\"password\":[1, 2]}");
    EXPECT_STREQ(cfg.password, "[1, 2]");
}

TEST_F(Config, LaterDuplicateKeysWin)
{
    expect_accepted("{\"user\":\"first\",\"port\":1,\"include_drop\":true,\"rows_per_insert\":5,"
                    "\"user\":\"second\",\"port\":2,\"include_drop\":false,\"rows_per_insert\":6}");
    EXPECT_STREQ(cfg.user, "second");
    EXPECT_EQ(cfg.port, 2);
    EXPECT_EQ(cfg.include_drop, 0);
    EXPECT_EQ(cfg.rows_per_insert, 6);
}

TEST_F(Config, KeyWithoutValueAtTheEndIsIgnored)
{
    expect_accepted("{\"user\":\"u\",\"host\"}");
    EXPECT_STREQ(cfg.host, "127.0.0.1");
    EXPECT_STREQ(cfg.user, "u");

    expect_accepted("{\"port\":}");
    EXPECT_EQ(cfg.port, 5432);

    expect_accepted("{\"tables\":}");
    EXPECT_EQ(cfg.table_count, 0);

    expect_accepted("{} \"unknown\"");
}

TEST_F(Config, PortReadsTheLeadingInteger)
{
    struct {
        const char *value;
        int32_t port;
    } cases[] = {
        {"5433", 5433},
        {"\"6000\"", 6000},
        {"\"\"", 0},
        {"abc", 0},
        {"-17", -17},
        {"+17", 17},
        {"\" \\t 42x\"", 0}, /* the raw text starts with a space, then a backslash */
        {"\" \t\r\n 42x\"", 42},
        {"\"\v\f7\"", 7},
        {"\"- 5\"", 0},
        {"12.9", 12},
        {"1e3", 1},
        {"0000000000000000000000000000080", 80},    /* 31 bytes */
        {"00000000000000000000000000000080", 5432}, /* 32 bytes */
        {"\"0000000000000000000000000000000000000000\"", 5432},
    };
    for (const auto &c : cases) {
        expect_accepted(std::string("{\"port\":") + c.value + "}");
        EXPECT_EQ(cfg.port, c.port) << c.value;
    }
}

TEST_F(Config, PortBeyondInt32Saturates)
{
    struct {
        const char *value;
        int32_t port;
    } cases[] = {
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"9999999999999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-999999999999999999999999999999", INT32_MIN},
    };
    for (const auto &c : cases) {
        expect_accepted(std::string("{\"port\":") + c.value + "}");
        EXPECT_EQ(cfg.port, c.port) << c.value;
    }
}

TEST_F(Config, LongPortResetsToDefaultAfterAnEarlierOne)
{
    expect_accepted("{\"port\":1,\"port\":\"" + std::string(31, ' ') + "9\"}");
    EXPECT_EQ(cfg.port, 5432);
}

TEST_F(Config, RowsPerInsertIsClampedTo1Through1000)
{
    struct {
        const char *value;
        int32_t rows;
    } cases[] = {
        {"250", 250},
        {"0", 1},
        {"-3", 1},
        {"1", 1},
        {"1000", 1000},
        {"5000", 1000},
        {"many", 1},
        {"\"\"", 1},
        {"\"75\"", 75},
        {"99999999999999999999", 1000},
        {"-99999999999999999999", 1},
        {"0000000000000000000000000000007", 7},    /* 31 bytes */
        {"00000000000000000000000000000007", 100}, /* 32 bytes */
    };
    for (const auto &c : cases) {
        expect_accepted(std::string("{\"rows_per_insert\":") + c.value + "}");
        EXPECT_EQ(cfg.rows_per_insert, c.rows) << c.value;
    }
}

TEST_F(Config, FlagsCompareTheRawTextExactly)
{
    struct {
        const char *value;
        int32_t schema; /* include_schema and include_data: only "false" clears */
        int32_t drop;   /* include_drop: only "true" sets */
    } cases[] = {
        {"false", 0, 0},  {"\"false\"", 0, 0},
        {"true", 1, 1},   {"\"true\"", 1, 1},
        {"FALSE", 1, 0},  {"TRUE", 1, 0},
        {"0", 1, 0},      {"1", 1, 0},
        {"no", 1, 0},     {"falsey", 1, 0},
        {"truex", 1, 0},  {"\"\"", 1, 0},
        {"[true]", 1, 0}, {"\"fals\\u0065\"", 1, 0},
    };
    for (const auto &c : cases) {
        std::string v = c.value;
        expect_accepted("{\"include_schema\":" + v + ",\"include_data\":" + v +
                        ",\"include_drop\":" + v + "}");
        EXPECT_EQ(cfg.include_schema, c.schema) << v;
        EXPECT_EQ(cfg.include_data, c.schema) << v;
        EXPECT_EQ(cfg.include_drop, c.drop) << v;
    }
}

TEST_F(Config, EveryTextFieldIsFilled)
{
    expect_accepted("{\"host\":\"h\",\"user\":\"u\",\"password\":\"p\",\"database\":\"d\","
                    "\"out_path\":\"C:\\\\dumps\\\\a.sql\"}");
    EXPECT_STREQ(cfg.host, "h");
    EXPECT_STREQ(cfg.user, "u");
    EXPECT_STREQ(cfg.password, "p");
    EXPECT_STREQ(cfg.database, "d");
    EXPECT_STREQ(cfg.out_path, "C:\\dumps\\a.sql");
}

TEST_F(Config, TextFieldsAreCutToTheirLimit)
{
    struct {
        const char *key;
        const char *field;
        size_t limit;
    } fields[] = {
        {"host", cfg.host, 255},          {"user", cfg.user, 127},
        {"password", cfg.password, 255},  {"database", cfg.database, 127},
        {"out_path", cfg.out_path, 1023},
    };
    for (const auto &f : fields) {
        std::string exact(f.limit, 'a');
        expect_accepted(std::string("{\"") + f.key + "\":\"" + exact + "\"}");
        EXPECT_EQ(std::string(f.field), exact) << f.key;

        std::string longer = exact + "bcdef";
        expect_accepted(std::string("{\"") + f.key + "\":\"" + longer + "\"}");
        EXPECT_EQ(std::string(f.field), exact) << f.key;
    }
}

TEST_F(Config, EveryStandardEscapeIsDecoded)
{
    expect_accepted("{\"password\":\"\\t\\n\\r\\\"\\\\\\/\\b\\f\\u0041\"}");
    EXPECT_STREQ(cfg.password, "\t\n\r\"\\/\b\fA");
}

TEST_F(Config, CutCountsRawBytesSoEscapesShortenTheField)
{
    /* 254 letters then an escape pair whose backslash is the 255th raw
     * byte: the pair is split by the window and the backslash stays. */
    expect_accepted("{\"host\":\"" + std::string(254, 'a') + "\\nzzz\"}");
    EXPECT_EQ(strlen(cfg.host), 255u);
    EXPECT_EQ(cfg.host[254], '\\');

    /* 200 escape pairs: 400 raw bytes, window 255 gives 127 decoded pairs
     * and a lone backslash. */
    std::string pairs;
    for (int i = 0; i < 200; i++) {
        pairs += "\\t";
    }
    expect_accepted("{\"host\":\"" + pairs + "\"}");
    EXPECT_EQ(std::string(cfg.host), std::string(127, '\t') + "\\");
}

TEST_F(Config, TablesTakesOnlyTopLevelStrings)
{
    expect_accepted("{\"tables\":[\"a\",\"b\",12,[\"nested\",{\"user\":\"n\"}],\"\",\"c\"]}");
    ASSERT_EQ(cfg.table_count, 4);
    EXPECT_STREQ(cfg.tables[0], "a");
    EXPECT_STREQ(cfg.tables[1], "b");
    EXPECT_STREQ(cfg.tables[2], "");
    EXPECT_STREQ(cfg.tables[3], "c");
    EXPECT_STREQ(cfg.tables[4], "");
    EXPECT_STREQ(cfg.user, "");
}

TEST_F(Config, TablesThatIsNotANonEmptyArrayGivesNoNames)
{
    expect_accepted("{\"tables\":\"a\"}");
    EXPECT_EQ(cfg.table_count, 0);
    expect_accepted("{\"tables\":[],\"user\":\"u\"}");
    EXPECT_EQ(cfg.table_count, 0);
    EXPECT_STREQ(cfg.user, "u");
    /* An object here is entered: its members are keys like any other. */
    expect_accepted("{\"tables\":{\"user\":\"v\"}}");
    EXPECT_EQ(cfg.table_count, 0);
    EXPECT_STREQ(cfg.user, "v");
}

TEST_F(Config, TablesListsAddUp)
{
    expect_accepted("{\"tables\":[\"a\",\"b\"],\"user\":\"u\",\"tables\":[\"c\"]}");
    ASSERT_EQ(cfg.table_count, 3);
    EXPECT_STREQ(cfg.tables[0], "a");
    EXPECT_STREQ(cfg.tables[1], "b");
    EXPECT_STREQ(cfg.tables[2], "c");
}

TEST_F(Config, TableNamesAreCutTo127Bytes)
{
    expect_accepted("{\"tables\":[\"" + std::string(300, 't') + "\"]}");
    ASSERT_EQ(cfg.table_count, 1);
    EXPECT_EQ(std::string(cfg.tables[0]), std::string(127, 't'));
}

TEST_F(Config, TablesStopAt512AndTheWalkGoesOn)
{
    std::string list;
    for (int i = 0; i < 600; i++) {
        list += "\"t" + std::to_string(i) + "\",";
    }
    expect_accepted("{\"tables\":[" + list + "],\"user\":\"after\",\"tables\":[\"more\"]}");
    ASSERT_EQ(cfg.table_count, 512);
    EXPECT_STREQ(cfg.tables[0], "t0");
    EXPECT_STREQ(cfg.tables[511], "t511");
    EXPECT_STREQ(cfg.user, "after");
}

TEST_F(Config, TablesCapPassesOverNestedContent)
{
    std::string list;
    for (int i = 0; i < 512; i++) {
        list += "\"t\",";
    }
    /* Past the cap, the rest of the array (strings that look like keys
     * included) must be passed over, not walked. */
    expect_accepted("{\"tables\":[" + list + "\"user\",\"evil\",{\"host\":\"evil\"}],\"port\":7}");
    EXPECT_EQ(cfg.table_count, 512);
    EXPECT_STREQ(cfg.user, "");
    EXPECT_STREQ(cfg.host, "127.0.0.1");
    EXPECT_EQ(cfg.port, 7);
}

TEST_F(Config, RefusalAfterAnAcceptedParseLeavesDefaults)
{
    expect_accepted("{\"user\":\"u\",\"tables\":[\"a\"],\"include_drop\":true}");
    EXPECT_EQ(parse("{\"user\":\"u\",\"tables\":[\"a\"],\"include_drop\":true"), -1);
    EXPECT_TRUE(at_defaults());
}

/* --- the scanner on its own --- */

struct scanned {
    json_token tokens[16];
    int count;
};

scanned scan(const char *text)
{
    scanned s;
    memset(&s, 0, sizeof s);
    s.count = json_scan(text, s.tokens, 16);
    return s;
}

TEST(JsonScan, StrictDocumentSizesCountMembers)
{
    scanned s = scan("{\"a\":1,\"b\":[true,\"x\",{}]}");
    ASSERT_EQ(s.count, 8);
    EXPECT_EQ(s.tokens[0].kind, JSON_OBJECT);
    EXPECT_EQ(s.tokens[0].size, 2);
    EXPECT_EQ(s.tokens[0].end, 25);
    EXPECT_EQ(s.tokens[1].kind, JSON_STRING);
    EXPECT_EQ(s.tokens[1].size, 1); /* the value counts toward its key */
    EXPECT_EQ(s.tokens[2].kind, JSON_PRIMITIVE);
    EXPECT_EQ(s.tokens[4].kind, JSON_ARRAY);
    EXPECT_EQ(s.tokens[4].size, 3);
    EXPECT_EQ(s.tokens[7].kind, JSON_OBJECT);
    EXPECT_EQ(s.tokens[7].size, 0);
}

TEST(JsonScan, OffsetsPointAtRawText)
{
    scanned s = scan(" {\"ab\\\"c\" : word}");
    ASSERT_EQ(s.count, 3);
    EXPECT_EQ(s.tokens[0].start, 1);
    EXPECT_EQ(s.tokens[0].end, 17);
    EXPECT_EQ(s.tokens[1].start, 3); /* after the quote */
    EXPECT_EQ(s.tokens[1].end, 8);   /* on the closing quote */
    EXPECT_EQ(s.tokens[2].start, 12);
    EXPECT_EQ(s.tokens[2].end, 16); /* on the delimiter */
}

TEST(JsonScan, CommaReturnsToTheOpenContainer)
{
    /* Without the comma the second key would count toward the first
     * key's value. */
    scanned s = scan("{\"a\":1,\"b\":2}");
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.tokens[0].size, 2);
    EXPECT_EQ(s.tokens[2].size, 0);

    s = scan("{\"a\":1 \"b\":2}");
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.tokens[0].size, 1);
    EXPECT_EQ(s.tokens[1].size, 2);

    /* With no open container a comma leaves the parent where it was. */
    s = scan("{} \"a\":1, \"b\"");
    ASSERT_EQ(s.count, 4);
    EXPECT_EQ(s.tokens[1].size, 2);
}

TEST(JsonScan, ColonMakesTheNewestTokenTheParentEvenAClosedOne)
{
    scanned s = scan("{\"a\":[]:1:2}");
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.tokens[2].kind, JSON_ARRAY);
    EXPECT_EQ(s.tokens[2].size, 1);
    EXPECT_EQ(s.tokens[3].size, 1);

    s = scan(":1");
    ASSERT_EQ(s.count, 1);
}

TEST(JsonScan, OpenContainersAtTheEndAreLeftToTheCaller)
{
    scanned s = scan("{\"a\":[[1");
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.tokens[0].end, -1);
    EXPECT_EQ(s.tokens[2].end, -1);
    EXPECT_EQ(s.tokens[3].end, -1);
}

TEST(JsonScan, PoolLimitRefuses)
{
    json_token tokens[2];
    EXPECT_EQ(json_scan("[1]", tokens, 2), 2);
    EXPECT_EQ(json_scan("[1,2]", tokens, 2), -1);
    EXPECT_EQ(json_scan("[[]]", tokens, 2), 2);
    EXPECT_EQ(json_scan("[[],[]]", tokens, 2), -1);
}

/* --- the value copy --- */

TEST(TokCopy, WindowIsLimitRawBytes)
{
    char dst[8];
    memset(dst, '#', sizeof dst);
    tok_copy("abcdefghij", 0, 10, dst, 4);
    EXPECT_STREQ(dst, "abcd");
    EXPECT_EQ(dst[5], '#'); /* nothing written past the NUL */

    tok_copy("ab\\n", 0, 4, dst, 4);
    EXPECT_STREQ(dst, "ab\n");
    tok_copy("abc\\n", 0, 5, dst, 4);
    EXPECT_STREQ(dst, "abc\\");
    /* A backslash that is the last raw byte is copied even inside the limit. */
    tok_copy("ab\\", 0, 3, dst, 7);
    EXPECT_STREQ(dst, "ab\\");
}

} // namespace

/* The keys of big dumps: choices take their exact words only (anything
 * else refuses the document rather than writing an unexpected file);
 * numbers are clamped like rows_per_insert. */
TEST_F(Config, BigDumpKeysTakeTheirWordsAndClampTheirNumbers)
{
    expect_accepted("{}");
    EXPECT_EQ(cfg.data_format, CONFIG_DATA_INSERTS);
    EXPECT_EQ(cfg.compression, CONFIG_COMPRESS_NONE);
    EXPECT_EQ(cfg.compression_level, 0);
    EXPECT_EQ(cfg.jobs, 1);
    struct {
        const char *doc;
        int32_t format, compression, level, jobs;
    } accepted[] = {
        {"{\"data_format\":\"copy\"}", CONFIG_DATA_COPY, 0, 0, 1},
        {"{\"data_format\":\"inserts\"}", CONFIG_DATA_INSERTS, 0, 0, 1},
        {"{\"compression\":\"gzip\",\"compression_level\":6}", 0, CONFIG_COMPRESS_GZIP, 6, 1},
        {"{\"compression\":\"zstd\",\"compression_level\":99}", 0, CONFIG_COMPRESS_ZSTD, 22, 1},
        {"{\"compression\":\"none\",\"compression_level\":-4}", 0, 0, 0, 1},
        {"{\"jobs\":4}", 0, 0, 0, 4},
        {"{\"jobs\":0}", 0, 0, 0, 1},
        {"{\"jobs\":64}", 0, 0, 0, 8},
        {"{\"jobs\":\"many\"}", 0, 0, 0, 1},
    };
    for (const auto &c : accepted) {
        expect_accepted(c.doc);
        EXPECT_EQ(cfg.data_format, c.format) << c.doc;
        EXPECT_EQ(cfg.compression, c.compression) << c.doc;
        EXPECT_EQ(cfg.compression_level, c.level) << c.doc;
        EXPECT_EQ(cfg.jobs, c.jobs) << c.doc;
    }
    for (const char *doc : {"{\"data_format\":\"csv\"}", "{\"data_format\":copy}",
                            "{\"data_format\":\"COPY\"}", "{\"compression\":\"lz4\"}",
                            "{\"compression\":\"\"}", "{\"compression\":true}"}) {
        dump_config c;
        EXPECT_EQ(-1, parse_config(doc, &c)) << doc;
    }
}
