#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "script/psql_lexer.h"
#include "support/dump_wait.h"
#include "support/lexer_events.h"
#include "support/sandbox.h"

namespace
{

/* Items other than blanks as "<kind><line>:<text>" joined by "|"; kinds
 * S statement, M backslash command, C COPY data, I incomplete. */
std::string render(const std::string &text, lx_split_result *r)
{
    std::vector<lx_item> items(text.size() + 1);
    int rc = lx_split(text.data(), text.size(), items.data(), items.size(), r);
    std::string out = rc == 0 ? "" : "error:" + std::string(r->error);
    uint64_t at = 0;
    for (size_t i = 0; i < r->count && i < items.size(); i++) {
        const lx_item &it = items[i];
        EXPECT_EQ(at, it.start) << "items must tile the text";
        at = it.start + it.len;
        if (it.kind == LX_ITEM_SPACE)
            continue;
        if (!out.empty())
            out += "|";
        out += "_SMCI"[it.kind];
        out += std::to_string(it.line) + ":" + text.substr(it.start, it.len);
    }
    if (rc == 0) {
        EXPECT_EQ(text.size(), at) << "items must cover the text";
    }
    return out;
}

struct split_case {
    std::string text;
    std::string items;
    int open;
    uint32_t flags;
};

const std::string LONG_TAG(64, 't');

const split_case SPLIT_CASES[] = {
    {"SELECT 1;", "S1:SELECT 1;", LX_OPEN_NONE, 0},
    {"SELECT 1; SELECT 2;\n", "S1:SELECT 1;|S1:SELECT 2;", LX_OPEN_NONE, 0},
    {"  -- c; \\! x\nSELECT ';' ;", "S2:SELECT ';' ;", LX_OPEN_NONE, 0},
    {"SELECT 'it''s; \\! no';", "S1:SELECT 'it''s; \\! no';", LX_OPEN_NONE, 0},
    /* standard strings: a backslash is an ordinary byte */
    {"SELECT 'a\\'; \\! id\nSELECT 2;", "S1:SELECT 'a\\';|M1:\\! id\n|S2:SELECT 2;", 0, 0},
    {"SELECT E'a\\';b';", "S1:SELECT E'a\\';b';", LX_OPEN_NONE, 0},
    {"SELECT e'\\'';", "S1:SELECT e'\\'';", LX_OPEN_NONE, 0},
    {"SELECT E'a'';b';", "S1:SELECT E'a'';b';", LX_OPEN_NONE, 0},
    {"SELECT abe'x\\';", "S1:SELECT abe'x\\';", LX_OPEN_NONE, 0},
    {"SELECT b'1\\', x'\\', n'\\', u&'\\', U&\"\\\";",
     "S1:SELECT b'1\\', x'\\', n'\\', u&'\\', U&\"\\\";", LX_OPEN_NONE, 0},
    /* an E string continues after blanks holding a carriage return, but
     * psql reads line by line: a line break never joins two strings */
    {"SELECT E'a' -- c\r'\\';' ;", "S1:SELECT E'a' -- c\r'\\';' ;", 0, LX_F_CONTINUED},
    {"SELECT E'a'\n\r  '\\';' ;", "S1:SELECT E'a'\n\r  '\\';' ;", 0, LX_F_CONTINUED},
    {"SELECT E'a'\n  -- c\n'\\';' ;", "S1:SELECT E'a'\n  -- c\n'\\';|I3:' ;", LX_OPEN_QUOTE, 0},
    {"SELECT E'a' \n'\\';' ;", "S1:SELECT E'a' \n'\\';|I2:' ;", LX_OPEN_QUOTE, 0},
    {"SELECT E'a' '\\';' ;", "S1:SELECT E'a' '\\';|I1:' ;", LX_OPEN_QUOTE, 0},
    {"SELECT E'a'\n-1;", "S1:SELECT E'a'\n-1;", LX_OPEN_NONE, 0},
    {"SELECT \"a;\"\"b\\\";", "S1:SELECT \"a;\"\"b\\\";", LX_OPEN_NONE, 0},
    {"SELECT $$a;\\$$, $x$ $$ ; $x$;", "S1:SELECT $$a;\\$$, $x$ $$ ; $x$;", LX_OPEN_NONE, 0},
    {"SELECT $a$ $b$ ; $ab$ $$a$;", "S1:SELECT $a$ $b$ ; $ab$ $$a$;", LX_OPEN_NONE, 0},
    {"SELECT $ab$;$abc$;$ab$;", "S1:SELECT $ab$;$abc$;$ab$;", LX_OPEN_NONE, 0},
    {"SELECT $1; SELECT $1$;", "S1:SELECT $1;|S1:SELECT $1$;", LX_OPEN_NONE, 0},
    {"SELECT a$$b; SELECT 1;", "S1:SELECT a$$b;|S1:SELECT 1;", LX_OPEN_NONE, 0},
    {"SELECT 1$$;$$;", "S1:SELECT 1$$;$$;", LX_OPEN_NONE, 0},
    {"SELECT $" + LONG_TAG + " ;", "S1:SELECT $" + LONG_TAG + " ;", LX_OPEN_NONE, 0},
    {"SELECT $" + LONG_TAG + "$ x", "error:dollar-quote tag too long at line 1", 0, 0},
    {"/* a /* b; */ c; \\! */ SELECT 1;", "S1:SELECT 1;", LX_OPEN_NONE, 0},
    {"SELECT 1/**/;/*/ x */", "S1:SELECT 1/**/;", LX_OPEN_NONE, 0},
    {"SELECT 1 +--x;\n-2;", "S1:SELECT 1 +--x;\n-2;", LX_OPEN_NONE, 0},
    {"SELECT 1 -- \\! x\n;", "S1:SELECT 1 -- \\! x\n;", LX_OPEN_NONE, 0},
    {"SELECT (1;2);", "S1:SELECT (1;2);", LX_OPEN_NONE, 0},
    /* a backslash anywhere outside quotes and comments */
    {"SELECT 1 \\! rm\nSELECT 2;", "I1:SELECT 1 |M1:\\! rm\n|S2:SELECT 2;", 0, 0},
    {"\n\nSELECT\n1;\n\\x\n", "S3:SELECT\n1;|M5:\\x\n", LX_OPEN_NONE, 0},
    {"SELECT 1 \\; SELECT 2 \\:;", "S1:SELECT 1 \\; SELECT 2 \\:;", 0, LX_F_FORCED},
    {"\\", "M1:\\", LX_OPEN_META, 0},
    {"SELECT 1;\\g", "S1:SELECT 1;|M1:\\g", LX_OPEN_META, 0},
    /* function bodies */
    {"CREATE FUNCTION f() RETURNS int LANGUAGE sql BEGIN ATOMIC SELECT 1; SELECT 2; END; "
     "SELECT 3;",
     "S1:CREATE FUNCTION f() RETURNS int LANGUAGE sql BEGIN ATOMIC SELECT 1; SELECT 2; END;|"
     "S1:SELECT 3;",
     LX_OPEN_NONE, 0},
    {"create or replace procedure p() begin atomic select case when true then 1 end; end;x;",
     "S1:create or replace procedure p() begin atomic select case when true then 1 end; end;|"
     "S1:x;",
     LX_OPEN_NONE, 0},
    {"CREATE TABLE begin (a int); SELECT 1;", "S1:CREATE TABLE begin (a int);|S1:SELECT 1;", 0, 0},
    /* COPY data */
    {"COPY t (a) FROM stdin;\n1\t\\N\n\\.\nSELECT 1;",
     "S1:COPY t (a) FROM stdin;|C2:1\t\\N\n\\.\n|S4:SELECT 1;", LX_OPEN_NONE, 0},
    {"copy t from STDIN ; -- x\r\na;b\r\n\\.x\n\\.\r\n",
     "S1:copy t from STDIN ;|C2:a;b\r\n\\.x\n\\.\r\n", LX_OPEN_NONE, 0},
    {"COPY t FROM stdin;\nx\n", "S1:COPY t FROM stdin;|C2:x\n", LX_OPEN_COPY, 0},
    {"COPY t TO stdout;\n\\.\n", "S1:COPY t TO stdout;|M2:\\.\n", LX_OPEN_NONE, 0},
    {"COPY (SELECT 1 FROM stdin) TO stdout;\n\\.\n",
     "S1:COPY (SELECT 1 FROM stdin) TO stdout;|M2:\\.\n", LX_OPEN_NONE, 0},
    /* where psql 15 and 16 part, psql 15 is followed and the spot flagged */
    {"SELECT 1e'x\\';';", "S1:SELECT 1e'x\\';';", LX_OPEN_NONE, LX_F_AMBIGUOUS},
    {"SELECT 1e--x\n;", "S1:SELECT 1e--x\n;", LX_OPEN_NONE, LX_F_AMBIGUOUS},
    {"SELECT 1e5'x\\';", "S1:SELECT 1e5'x\\';", LX_OPEN_NONE, 0},
    {"SELECT $1e'\\'';", "S1:SELECT $1e'\\'';", LX_OPEN_NONE, LX_F_AMBIGUOUS},
    /* psql variables */
    {"SELECT :foo, :'bar', 1::int, a[1:2], x:=1;", "S1:SELECT :foo, :'bar', 1::int, a[1:2], x:=1;",
     0, LX_F_VARIABLE},
    {"SELECT a[1:2], ':x', 1::text;", "S1:SELECT a[1:2], ':x', 1::text;", 0, LX_F_VARIABLE},
    {std::string("SELECT '\0';", 11), std::string("S1:SELECT '\0';", 14), 0, LX_F_NUL},
    {"SELECT 'open", "I1:SELECT 'open", LX_OPEN_QUOTE, 0},
    {"SELECT \"open", "I1:SELECT \"open", LX_OPEN_IDENT, 0},
    {"SELECT $q$open", "I1:SELECT $q$open", LX_OPEN_DOLLAR, 0},
    {"/* open", "", LX_OPEN_COMMENT, 0},
    {"SELECT 1", "I1:SELECT 1", LX_OPEN_STATEMENT, 0},
    {"  \n-- only\n", "", LX_OPEN_NONE, 0},
};

} // namespace

TEST(PsqlLexer, SplitsScriptsWherePsqlDoes)
{
    for (const split_case &c : SPLIT_CASES) {
        lx_split_result r;
        EXPECT_EQ(c.items, render(c.text, &r)) << c.text;
        if (c.items.rfind("error:", 0) == 0)
            continue;
        EXPECT_EQ(c.open, r.open) << c.text;
        EXPECT_EQ(c.flags, r.flags) << c.text;
    }
}

TEST(PsqlLexer, AnyChunkingGivesTheSameEvents)
{
    std::mt19937 rng(7);
    for (const split_case &c : SPLIT_CASES) {
        lexer_run whole = lexer_events(c.text, {});
        for (int round = 0; round < 20; round++) {
            std::vector<size_t> chunks;
            for (int i = 0; i < 8; i++)
                chunks.push_back(round == 0 ? 1 : rng() % 5);
            lexer_run cut = lexer_events(c.text, chunks);
            EXPECT_TRUE(whole.events == cut.events) << c.text;
            EXPECT_EQ(whole.open, cut.open) << c.text;
            EXPECT_EQ(whole.flags, cut.flags) << c.text;
            EXPECT_EQ(whole.end_line, cut.end_line) << c.text;
        }
    }
}

TEST(PsqlLexer, SplitWritesNoMoreItemsThanItsRoom)
{
    std::string text = "SELECT 1; SELECT 2; SELECT 3;";
    lx_item items[2];
    lx_split_result r;
    EXPECT_EQ(0, lx_split(text.data(), text.size(), items, 2, &r));
    EXPECT_EQ(5u, r.count);
    EXPECT_EQ(LX_ITEM_STATEMENT, items[0].kind);
    EXPECT_EQ(0, lx_split(nullptr, 0, nullptr, 0, &r));
    EXPECT_EQ(0u, r.count);
}

TEST(PsqlLexer, InertFragmentsAreThoseThatCannotMoveACut)
{
    /* inert: 0 neither, 1 fragment and statement, 2 statement only */
    const struct {
        std::string text;
        int inert;
    } cases[] = {
        {"", 1},
        {"nextval('s'::regclass)", 1},
        {"'a;b\\'::text", 1},
        {"E'x; \\' ; \\! id --'::text", 1},
        {"'x; \\' ; \\! id --'", 0},
        {"1; DROP TABLE x", 0},
        {"a -- c", 0},
        {"a -- c\n", 1},
        {"/* x */ 1", 1},
        {"/* x", 0},
        {"(a", 0},
        {"a)", 0},
        {"(a;b)", 1},
        {"$$x$$", 1},
        {"$x", 0},
        {"x -", 0},
        {"x /", 0},
        {"a \\; b", 0},
        {"a \\! b", 0},
        {":foo", 1},
        {"a[1:n]", 1},
        {"a[1:2]", 1},
        {"E'a'", 0},
        {"E'a'::text", 1},
        {"1e'x'", 0},
        {std::string("'\0'", 3), 0},
        {"'open", 0},
        {"\"open", 0},
        /* a function body's ';' stays inside only where the statement
         * starts with CREATE FUNCTION, which a fragment cannot know */
        {"CREATE FUNCTION f() BEGIN ATOMIC SELECT 1; END", 2},
        {"CREATE FUNCTION f() BEGIN ATOMIC SELECT 1;", 0},
        {"CREATE FUNCTION f() BEGIN ATOMIC SELECT 1; END; SELECT 2", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.inert == 1, lx_fragment_is_inert(c.text.data(), c.text.size()) == 1) << c.text;
        EXPECT_EQ(c.inert >= 1, lx_statement_is_inert(c.text.data(), c.text.size()) == 1) << c.text;
    }
}

/* psql itself as the oracle: a script of SELECTs whose quotes, comments
 * and bodies hold semicolons and backslashes.  psql runs it against the
 * sandbox, and each SELECT that arrived whole prints its number; the lexer
 * must cut the same script into the same statements. */
TEST(PsqlLexer, CutsLikePsqlOnARealServer)
{
    REQUIRE_SANDBOX();
    const char *const pieces[] = {
        "'a;b'",
        "'it''s; \\'",
        "E'x\\';y'",
        "e'\\\\;'",
        "E'a' -- ;\r'b;\\''",
        "E'a'\r\r  '\\'' AS \"\\\"",
        "'a'\n'b;'",
        "$$a;b$$",
        "$q$ $$ ; $q$",
        "$a$;$b$;$a$",
        "1 AS \"a;\"\"b\"",
        "/* nested /* ; */ ; */ 2",
        "2 -- ; \\! no\n",
        "U&'\\0041;'",
        "B'101'",
        "X'1F'",
        "N'x;'",
        "(ARRAY[1,2])[1:1]",
        "1::text",
        "E'\\x41'",
        "1 +--x;\n2",
        "(SELECT ';')",
        "'\\' AS \"\\\"",
        "$1$",
    };
    std::string script = "CREATE FUNCTION pg_temp.f() RETURNS int LANGUAGE sql\n"
                         "BEGIN ATOMIC SELECT 1; SELECT CASE WHEN true THEN 2 END; END;\n";
    int k = 0;
    for (const char *p : pieces) {
        if (std::string(p) == "$1$")
            continue; /* a parameter: only for the lexer */
        k++;
        script += "SELECT " + std::to_string(k) + ", " + p + ";" + (k % 2 ? "\n" : " ");
    }
    script += "SELECT " + std::to_string(++k) + ", pg_temp.f();\n";

    lx_split_result r;
    std::vector<lx_item> items(script.size());
    ASSERT_EQ(0, lx_split(script.data(), script.size(), items.data(), items.size(), &r));
    int statements = 0;
    for (size_t i = 0; i < r.count; i++) {
        EXPECT_TRUE(items[i].kind == LX_ITEM_STATEMENT || items[i].kind == LX_ITEM_SPACE);
        if (items[i].kind != LX_ITEM_STATEMENT)
            continue;
        std::string head =
            statements == 0 ? "CREATE FUNCTION" : "SELECT " + std::to_string(statements) + ",";
        EXPECT_EQ(head, script.substr(items[i].start, head.size()));
        statements++;
    }
    EXPECT_EQ(k + 1, statements) << "the function and every SELECT";

    std::string path = temp_path("psql-oracle.sql");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(script.data(), 1, script.size(), f);
    fclose(f);
    const sandbox_info *sb = sandbox_server();
    std::string cmd = "PGCLIENTENCODING=UTF8 psql -X -q -At -h " + sb->host + " -p " +
                      std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER " -d postgres -f " +
                      path + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string out = read_all(p);
    pclose(p);
    std::string numbers;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? end : end - at);
        numbers += line.substr(0, line.find('|')) + " ";
        at = end == std::string::npos ? out.size() : end + 1;
    }
    std::string want;
    for (int i = 1; i <= k; i++)
        want += std::to_string(i) + " ";
    EXPECT_EQ(want, numbers) << out;
}

/* Where psql 15 cuts differently from a naive reading: a number glued to
 * an identifier is one junk token, a psql variable's name holds no "$" and
 * is never a keyword, and a script that turns standard_conforming_strings
 * off makes psql read '...' as E'...'. */
TEST(PsqlLexer, FollowsPsql15OnJunkVariablesAndStringSettings)
{
    const split_case cases[] = {
        {"SELECT 1e1$a$;\\! x\n", "S1:SELECT 1e1$a$;|M1:\\! x\n", LX_OPEN_NONE, 0},
        {"SELECT 1.5e1$a$;", "S1:SELECT 1.5e1$a$;", LX_OPEN_NONE, 0},
        {"SELECT 1e+1$a$;$a$;", "S1:SELECT 1e+1$a$;$a$;", LX_OPEN_NONE, 0},
        {"SELECT :x$a$;$a$;", "S1:SELECT :x$a$;$a$;", LX_OPEN_NONE, LX_F_VARIABLE},
        {"CREATE FUNCTION f() BEGIN ATOMIC SELECT a[1:begin]; END;",
         "S1:CREATE FUNCTION f() BEGIN ATOMIC SELECT a[1:begin]; END;", LX_OPEN_NONE,
         LX_F_VARIABLE},
        {"CREATE FUNCTION f() RETURNS int RETURN :begin; SELECT 2;",
         "S1:CREATE FUNCTION f() RETURNS int RETURN :begin;|S1:SELECT 2;", LX_OPEN_NONE,
         LX_F_VARIABLE},
        {"SET standard_conforming_strings = off;\nSELECT 'a\\';\\! x\n';\n",
         "S1:SET standard_conforming_strings = off;|S2:SELECT 'a\\';\\! x\n';", LX_OPEN_NONE, 0},
        {"SET standard_conforming_strings TO 'off'; SELECT n'\\''; RESET ALL; SELECT 'a\\';",
         "S1:SET standard_conforming_strings TO 'off';|S1:SELECT n'\\'';|S1:RESET ALL;|S1:SELECT "
         "'a\\';",
         LX_OPEN_NONE, 0},
        /* bits, hex and U& strings never take backslash escapes in psql */
        {"SET standard_conforming_strings = false; SELECT x'\\', U&'\\';",
         "S1:SET standard_conforming_strings = false;|S1:SELECT x'\\', U&'\\';", LX_OPEN_NONE, 0},
    };
    for (const split_case &c : cases) {
        lx_split_result r;
        EXPECT_EQ(c.items, render(c.text, &r)) << c.text;
        EXPECT_EQ(c.open, r.open) << c.text;
        EXPECT_EQ(c.flags, r.flags) << c.text;
    }
    struct {
        const char *sql;
        int std;
    } const settings[] = {
        {"SET standard_conforming_strings = off;", 0},
        {"set session STANDARD_CONFORMING_STRINGS to 'of';", 0},
        {"SET LOCAL standard_conforming_strings = 0;", 0},
        {"SET standard_conforming_strings = DEFAULT;", 1},
        {"RESET standard_conforming_strings;", 1},
        {"SET standard_conforming_strings = yes;", 1},
        {"SET standard_conforming_strings = o;", -1},
        {"SET search_path = off;", -1},
        {"SELECT set_config('standard_conforming_strings', 'off', false);", -1},
    };
    for (const auto &s : settings)
        EXPECT_EQ(s.std, lx_statement_std_strings(s.sql, strlen(s.sql))) << s.sql;
    const char *const unsafe[] = {"SJIS", "sjis",    "Shift_JIS", "BIG5",   "GBK",
                                  "UHC",  "GB18030", "JOHAB",     "WIN932", "windows-936"};
    for (const char *e : unsafe)
        EXPECT_EQ(0, lx_encoding_is_safe(e)) << e;
    const char *const safe[] = {"UTF8", "LATIN1", "EUC_JP", "SQL_ASCII", "WIN1252", "KOI8R"};
    for (const char *e : safe)
        EXPECT_EQ(1, lx_encoding_is_safe(e)) << e;
}

/* Server text bound for a script: rewritten so that its reading depends
 * neither on standard_conforming_strings nor on psql's variables, or
 * refused when no rewrite makes it one inert piece. */
TEST(PsqlLexer, PastedTextReadsTheSameWhateverTheReplaySets)
{
    struct {
        std::string text;
        int whole;
        std::string out; /* "" when refused */
    } const cases[] = {
        {"'a\\b'::text", 0, "E'a\\\\b'::text"},
        {"'it''s \\'::text", 0, "E'it''s \\\\'::text"},
        {"'plain'::text || E'x\\\\'::text", 0, "'plain'::text || E'x\\\\'::text"},
        {"f('a\\'), g('b')", 0, "f(E'a\\\\'), g('b')"},
        {"cardinality(arr[1:\"USER\"]) >= 0", 0, "cardinality(arr[1: \"USER\"]) >= 0"},
        {"a[1:n] + b[:2] + c::int + d[1::int]", 0, "a[1: n] + b[: 2] + c::int + d[1::int]"},
        {"x:::y + z:'q' + w:{?v}", 0, "x::: y + z: 'q' + w: {?v}"},
        {"':x' || $$:y$$ || \":z\" /* :c */", 0, "':x' || $$:y$$ || \":z\" /* :c */"},
        {"CREATE FUNCTION f(a int[], begin int) BEGIN ATOMIC SELECT a[1:begin]; END", 1,
         "CREATE FUNCTION f(a int[], begin int) BEGIN ATOMIC SELECT a[1: \"begin\"]; END"},
        {"a[1:BEGIN]", 0, "a[1: \"begin\"]"},
        {"a[1:beginning]", 0, "a[1: beginning]"},
        /* refused: nothing makes these one inert piece */
        {"b'1\\'", 0, ""},
        {"U&'\\0041'", 0, ""},
        {"1; SELECT 2", 0, ""},
        {"'open", 0, ""},
        {"x \\! id", 0, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(3 * c.text.size() + 16);
        size_t n = 0;
        int rc =
            lx_rewrite_pasted(c.text.data(), c.text.size(), c.whole, out.data(), out.size(), &n);
        EXPECT_EQ(c.out.empty() ? -1 : 0, rc) << c.text;
        if (rc == 0) {
            EXPECT_EQ(c.out, std::string(out.data(), n)) << c.text;
        }
    }
}
