/*
 * The configuration as hosts write it: JSON writers that escape non-ASCII
 * characters and quotes, \u escapes and the cuts they meet, and the keys
 * beyond the base set.
 */
#include "config/config.h"
#include "config_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

/* --- documents from hosts' JSON writers --- */

/* What the host meant, in UTF-8: the oracle every writer's text must give. */
const char HOST_PASSWORD[] = "p\xc3\xa4's\"w+<>&/\\ \xf0\x9f\x98\x80";
const char *const HOST_TABLES[] = {"B\303\274cher's \"neu\"",
                                   "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "a\bb\fc"};

TEST_F(Config, EveryHostWritersTextGivesTheSameRecord)
{
    const char *writers[][2] = {
        /* python3 -c 'import json; print(json.dumps({...}))' */
        {"json.dumps",
         R"({"user": "vpg_json", "password": "p\u00e4's\"w+<>&/\\ \ud83d\ude00", "database": "db", "tables": ["B\u00fccher's \"neu\"", "\u65e5\u672c\u8a9e", "a\bb\fc"]})"},
        /* A writer that escapes '"+<>& and every non-ASCII character, and
         * the slash, with upper-case hex in surrogate pairs. */
        {"escape-all",
         R"({"user":"vpg_json","password":"p\u00e4\u0027s\u0022w\u002b\u003c\u003e\u0026\/\u005c \uD83D\uDE00","database":"db","tables":["B\u00fccher\u0027s \u0022neu\u0022","\u65e5\u672c\u8a9e","a\u0008b\u000cc"]})"},
        /* json.dumps(..., ensure_ascii=False): the characters as they are. */
        {"raw UTF-8", "{\"user\": \"vpg_json\", \"password\": \"p\xc3\xa4's\\\"w+<>&/\\\\ "
                      "\xf0\x9f\x98\x80\", \"database\": \"db\", \"tables\": [\"B\303\274cher's "
                      "\\\"neu\\\"\", \"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\", "
                      "\"a\\bb\\fc\"]}"},
    };
    for (const auto &w : writers) {
        dirty();
        ASSERT_EQ(parse(w[1]), 0) << w[0];
        EXPECT_STREQ(cfg.user, "vpg_json") << w[0];
        EXPECT_STREQ(cfg.password, HOST_PASSWORD) << w[0];
        EXPECT_STREQ(cfg.database, "db") << w[0];
        ASSERT_EQ(cfg.table_count, 3) << w[0];
        for (int i = 0; i < 3; i++)
            EXPECT_STREQ(cfg.tables[i], HOST_TABLES[i]) << w[0] << " table " << i;
    }
}

TEST_F(Config, UnicodeEscapesGiveUtf8AtEveryLengthBoundary)
{
    struct {
        const char *escape;
        const char *bytes;
    } cases[] = {
        {"\\u0001", "\x01"},
        {"\\u007f", "\x7f"},
        {"\\u0080", "\xc2\x80"},
        {"\\u07FF", "\xdf\xbf"},
        {"\\u0800", "\xe0\xa0\x80"},
        {"\\uD7ff", "\xed\x9f\xbf"},
        {"\\uE000", "\xee\x80\x80"},
        {"\\uffff", "\xef\xbf\xbf"},
        {"\\ud800\\udc00", "\xf0\x90\x80\x80"},
        {"\\uDBFF\\uDFFF", "\xf4\x8f\xbf\xbf"},
        {"a\\u0041\\u00e9b", "aA\303\251b"},
    };
    for (const auto &c : cases) {
        expect_accepted(std::string("{\"user\":\"") + c.escape + "\"}");
        EXPECT_STREQ(cfg.user, c.bytes) << c.escape;
    }
}

TEST_F(Config, NulAndLoneSurrogatesRefuseTheDocument)
{
    for (const char *bad :
         {"\\u0000", "a\\u0000b", "\\ud800", "\\uDBFFx", "\\udc00", "\\uDFFF\\uD800",
          "\\ud800\\u0041", "\\ud800\\ud800", "\\ud800\\n", "\\ud800\\u00"}) {
        expect_refused(std::string("{\"user\":\"") + bad + "\"}");
        /* Wherever the string stands: a key, an ignored value, a list. */
        expect_refused(std::string("{\"") + bad + "\":1}");
        expect_refused(std::string("{\"extra\":[\"") + bad + "\"]}");
    }
    /* Outside a string a backslash is a word's byte like any other, and the
     * word is copied as before. */
    expect_accepted("{\"user\":a\\u0000}");
    EXPECT_STREQ(cfg.user, "au0000");
}

TEST_F(Config, EscapedCharactersAreChargedTheirDecodedLength)
{
    std::string e_acute(2 * 63, '\0');
    for (int i = 0; i < 63; i++)
        e_acute.replace(2 * (size_t)i, 2, "\xc3\xa9");
    std::string escaped;
    for (int i = 0; i < 63; i++)
        escaped += "\\u00e9";
    /* 63 escaped characters are 378 raw bytes but 126 bytes of name. */
    expect_accepted("{\"tables\":[\"" + escaped + "x\",\"" + escaped + "\\u00e9\"]}");
    ASSERT_EQ(cfg.table_count, 2);
    EXPECT_EQ(std::string(cfg.tables[0]), e_acute + "x");
    /* A 64th two-byte character would make 128: it is left out whole. */
    EXPECT_EQ(std::string(cfg.tables[1]), e_acute);

    struct {
        std::string value;
        std::string field;
    } cuts[] = {
        /* raw UTF-8 across the cut: the partial character goes */
        {std::string(126, 'a') + "\xc3\xa9", std::string(126, 'a')},
        {std::string(125, 'a') + "\xe6\x97\xa5", std::string(125, 'a')},
        {std::string(124, 'a') + "\\ud83d\\ude00", std::string(124, 'a')},
        {std::string(123, 'a') + "\\ud83d\\ude00", std::string(123, 'a') + "\xf0\x9f\x98\x80"},
        /* a byte that is not UTF-8 is cut like any other */
        {std::string(126, 'a') + "\xe9\xe9", std::string(126, 'a') + "\xe9"},
        /* a two-byte escape keeps its historic cut */
        {std::string(126, 'a') + "\\nz", std::string(126, 'a') + "\\"},
    };
    for (const auto &c : cuts) {
        expect_accepted("{\"user\":\"" + c.value + "\"}");
        EXPECT_EQ(std::string(cfg.user), c.field) << c.value;
    }
}

/* --- keys beyond the base set --- */

TEST_F(Config, NewFlagsAreSetOnlyByTrue)
{
    struct {
        const char *value;
        int32_t set;
    } cases[] = {{"true", 1}, {"\"true\"", 1}, {"false", 0}, {"1", 0},
                 {"TRUE", 0}, {"[true]", 0},   {"\"\"", 0},  {"\"tru\\u0065\"", 0}};
    for (const auto &c : cases) {
        std::string v = c.value;
        expect_accepted("{\"complete\":" + v + ",\"include_owners\":" + v +
                        ",\"include_privileges\":" + v + "}");
        EXPECT_EQ(cfg.complete, c.set) << v;
        EXPECT_EQ(cfg.include_owners, c.set) << v;
        EXPECT_EQ(cfg.include_privileges, c.set) << v;
    }
    dirty();
    expect_accepted("{\"user\":\"u\"}");
    EXPECT_EQ(cfg.complete, 0);
    EXPECT_EQ(cfg.include_owners, 0);
    EXPECT_EQ(cfg.include_privileges, 0);
}

TEST_F(Config, NewNameListsFollowTheTablesRule)
{
    struct {
        const char *key;
        char (*names)[128];
        int32_t *count;
        int32_t cap;
    } lists[] = {
        {"schemas", cfg.schemas, &cfg.schema_count, 64},
        {"exclude_schemas", cfg.exclude_schemas, &cfg.exclude_schema_count, 64},
        {"exclude_tables", cfg.exclude_tables, &cfg.exclude_count, 512},
        {"tables", cfg.tables, &cfg.table_count, 512},
    };
    for (const auto &l : lists) {
        std::string key = std::string("\"") + l.key + "\":";
        expect_accepted("{" + key + "[\"a\",7,[\"nested\"],\"B\\u00fc\",\"" +
                        std::string(200, 'n') + "\"]," + key + "[\"c\"]}");
        ASSERT_EQ(*l.count, 4) << l.key;
        EXPECT_STREQ(l.names[0], "a");
        EXPECT_STREQ(l.names[1], "B\xc3\xbc");
        EXPECT_EQ(std::string(l.names[2]), std::string(127, 'n'));
        EXPECT_STREQ(l.names[3], "c");

        expect_accepted("{" + key + "\"a\"}");
        EXPECT_EQ(*l.count, 0) << l.key;

        /* The cap: the rest of the array is passed over, the walk goes on. */
        std::string many;
        for (int i = 0; i < l.cap + 10; i++)
            many += "\"n" + std::to_string(i) + "\",";
        expect_accepted("{" + key + "[" + many + "\"user\",\"evil\"],\"port\":7}");
        EXPECT_EQ(*l.count, l.cap) << l.key;
        EXPECT_EQ(std::string(l.names[l.cap - 1]), "n" + std::to_string(l.cap - 1));
        EXPECT_STREQ(cfg.user, "");
        EXPECT_EQ(cfg.port, 7);
    }
}

TEST_F(Config, RequireAuthTakesOnlyListsTheClientAccepts)
{
    struct {
        const char *value; /* JSON text of the value */
        const char *field; /* null: the document is refused */
    } cases[] = {
        {"\"\"", ""},
        {"\"password\"", "password"},
        {"\"md5,scram-sha-256\"", "md5,scram-sha-256"},
        {"\"scram-sha-256,none\"", "scram-sha-256,none"},
        {"\"!password,!md5\"", "!password,!md5"},
        {"\"!none\"", "!none"},
        {"\"\\u006d\\u0064\\u0035\"", "md5"},
        {"\"bogus\"", nullptr},
        {"\"MD5\"", nullptr},
        {"\"gss\"", nullptr},
        {"\" md5\"", nullptr},
        {"\"md5,\"", nullptr},
        {"\",md5\"", nullptr},
        {"\"md5,md5\"", nullptr},
        {"\"!md5,!md5\"", nullptr},
        {"\"md5,!password\"", nullptr},
        {"\"!password,md5\"", nullptr},
        {"\"!\"", nullptr},
        {"null", nullptr},
        {"[\"md5\"]", nullptr},
    };
    for (const auto &c : cases) {
        std::string doc = std::string("{\"user\":\"u\",\"require_auth\":") + c.value + "}";
        if (c.field == nullptr) {
            expect_refused(doc);
        } else {
            expect_accepted(doc);
            EXPECT_STREQ(cfg.require_auth, c.field) << c.value;
        }
    }
    /* A later key replaces an earlier one; only the last is judged. */
    expect_accepted("{\"require_auth\":\"bogus\",\"require_auth\":\"md5\"}");
    EXPECT_STREQ(cfg.require_auth, "md5");
    expect_refused("{\"require_auth\":\"md5\",\"require_auth\":\"bogus\"}");
    /* 128 bytes cannot be held whole: refused, never cut into a list. */
    expect_refused("{\"require_auth\":\"md5," + std::string(124, 'x') + "\"}");
    expect_refused("{\"require_auth\":\"" + std::string(130, 'x') + "\"}");
}

TEST_F(Config, WipingThePasswordLeavesTheRestOfTheRecord)
{
    expect_accepted("{\"user\":\"u\",\"password\":\"secret\",\"host\":\"h\"}");
    dump_config before = cfg;
    config_wipe_password(&cfg);
    for (char c : cfg.password)
        EXPECT_EQ(c, '\0');
    memset(before.password, 0, sizeof before.password);
    EXPECT_EQ(memcmp(&before, &cfg, sizeof cfg), 0);
}

} // namespace
