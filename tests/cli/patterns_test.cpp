/*
 * Which tables -t, -T, -n, -N and --exclude-table-data select, checked
 * against pg_dump itself on one database of awkward names, and -j on the
 * complete script: several connections, the same bytes.
 */
#include "cli/cli_support.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <thread>

namespace
{

/* The tables a script creates and the tables it has rows for, as
 * schema.name without quotes, from either tool's plain output. */
struct selection {
    std::set<std::string> created, with_rows;
};

/* The qualified name at the start of text, quotes taken off. */
std::string leading_name(const std::string &text)
{
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char ch = text[i];
        if (ch == '"' && quoted && i + 1 < text.size() && text[i + 1] == '"')
            out += text[++i];
        else if (ch == '"')
            quoted = !quoted;
        else if (!quoted && (ch == ' ' || ch == '('))
            break;
        else
            out += ch;
    }
    return out;
}

/* The tables of the database below that hold rows: pg_dump writes an
 * empty COPY block for the others, this dump nothing. */
const std::set<std::string> g_filled = {"public.film", "public.film_actor", "public.payment_a",
                                        "arch1.t1", "Mixed Case.Tab"};

selection selected(const std::string &script)
{
    selection out;
    std::istringstream in(script);
    std::string line;
    while (std::getline(in, line)) {
        for (const char *lead : {"CREATE TABLE ", "COPY ", "INSERT INTO "}) {
            size_t n = strlen(lead);
            if (line.compare(0, n, lead) != 0)
                continue;
            std::string name = leading_name(line.substr(n));
            if (lead[1] == 'R')
                out.created.insert(name);
            else if (g_filled.count(name) > 0)
                out.with_rows.insert(name);
        }
    }
    return out;
}

std::string joined(const std::set<std::string> &s)
{
    std::string out;
    for (const std::string &x : s)
        out += x + " ";
    return out;
}

class PatternTest : public CliTest
{
};

TEST_F(PatternTest, SelectionIsPostgresDumps)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_pat");
    ASSERT_EQ(0, sandbox_psql("cli_pat",
                              "CREATE SCHEMA arch1; CREATE SCHEMA arch2; CREATE SCHEMA \"Mixed "
                              "Case\"; CREATE SCHEMA other;"
                              "CREATE TABLE film (id int); CREATE TABLE film_actor (id int);"
                              "CREATE TABLE \"FILM\" (id int); CREATE TABLE payment_a (id int);"
                              "CREATE TABLE payment_b (id int); CREATE TABLE \"a.b\" (id int);"
                              "CREATE TABLE arch1.t1 (id int); CREATE TABLE arch2.t2 (id int);"
                              "CREATE TABLE arch2.film (id int);"
                              "CREATE TABLE \"Mixed Case\".\"Tab\" (id int);"
                              "CREATE TABLE other.o (id int);"
                              "INSERT INTO film VALUES (1); INSERT INTO film_actor VALUES (1);"
                              "INSERT INTO payment_a VALUES (1); INSERT INTO arch1.t1 VALUES (1);"
                              "INSERT INTO \"Mixed Case\".\"Tab\" VALUES (1)"));
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "film"},
        {"-t", "FILM"},
        {"-t", "\"FILM\""},
        {"-t", "film*"},
        {"-t", "public.film*"},
        {"-t", "*.film"},
        {"-t", "film_acto?"},
        {"-t", "[fp]*_a"},
        {"-t", "\"a.b\""},
        {"-t", "cli_pat.arch*.t?"},
        {"-t", "\"Mixed Case\".*"},
        {"-n", "arch*"},
        {"-n", "\"Mixed Case\""},
        {"-n", "ARCH1", "-n", "other"},
        {"-T", "payment*"},
        {"-T", "*.t?", "-T", "nosuch"},
        {"-N", "arch*", "-N", "\"Mixed Case\"", "-N", "nosuch"},
        {"-n", "arch*", "-T", "arch2.*"},
        {"--exclude-table-data", "film*"},
        {"--exclude-table-data", "*.*"},
    };
    const sandbox_info *sb = sandbox_server();
    std::vector<std::string> env = sandbox_env();
    for (const std::vector<std::string> &args : cases) {
        std::vector<std::string> ours = {"dump", "-d", "cli_pat"};
        ours.insert(ours.end(), args.begin(), args.end());
        cli_result r = run_cli(ours, env);
        ASSERT_EQ(0, r.rc) << r.err;
        std::string theirs_path = dir + "/theirs.sql";
        std::string cmd = "pg_dump -h " + sb->host + " -p " + std::to_string(sb->port) +
                          " -U " SANDBOX_TRUST_USER " -d cli_pat -f " + theirs_path;
        for (const std::string &a : args)
            cmd += " '" + a + "'";
        ASSERT_EQ(0, run_command(cmd + " 2>/dev/null")) << cmd;
        selection a = selected(r.out), b = selected(read_file(theirs_path));
        EXPECT_EQ(joined(b.created), joined(a.created)) << testing::PrintToString(args);
        EXPECT_EQ(joined(b.with_rows), joined(a.with_rows)) << testing::PrintToString(args);
    }

    /* A -t or -n pattern that matches nothing fails, as with
     * --strict-names, with PostgreSQL's text. */
    const struct {
        std::vector<std::string> args;
        const char *error;
    } strict[] = {
        {{"-t", "nosuch*"}, "no matching tables were found for pattern \"nosuch*\""},
        {{"-t", "film", "-t", "Nosuch"}, "no matching tables were found for pattern \"Nosuch\""},
        {{"-t", "other.film"}, "no matching tables were found for pattern \"other.film\""},
        {{"-n", "nosuch"}, "no matching schemas were found for pattern \"nosuch\""},
        {{"-n", "Mixed Case"}, "no matching schemas were found for pattern \"Mixed Case\""},
        {{"-t", "a.b.c.d"}, "improper qualified name (too many dotted names): a.b.c.d"},
    };
    for (const auto &c : strict) {
        std::vector<std::string> ours = {"dump", "-d", "cli_pat"};
        ours.insert(ours.end(), c.args.begin(), c.args.end());
        cli_result r = run_cli(ours, env);
        EXPECT_EQ(1, r.rc) << testing::PrintToString(c.args);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find(c.error)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("nothing was written to standard output")) << r.err;
    }
}

/* The default complete script with -j: its rows read on several
 * connections at once, byte for byte the script of one connection. */
TEST_F(PatternTest, JobsOnTheCompleteScriptUseSeveralConnectionsAndWriteTheSameBytes)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_jobs");
    std::string sql = "CREATE SCHEMA s2; CREATE TYPE mood AS ENUM ('a', 'b');";
    for (int i = 0; i < 6; i++) {
        std::string t = (i % 2 == 0 ? "public.t" : "s2.t") + std::to_string(i);
        sql += "CREATE TABLE " + t +
               " (id int GENERATED ALWAYS AS IDENTITY, m mood, x numeric, g int GENERATED "
               "ALWAYS AS (id * 2) STORED, b bytea, ts timestamptz);"
               "INSERT INTO " +
               t +
               " (m, x, b, ts) SELECT 'a', g / 3.0, '\\x00ff', '2020-01-01'::timestamptz + "
               "g * interval '1 s' FROM generate_series(1, " +
               std::to_string(20000 * (i + 1)) + ") g;";
    }
    ASSERT_EQ(0, sandbox_psql("cli_jobs", sql));
    std::vector<std::string> env = sandbox_env();
    for (const char *format : {"--inserts", "--copy"}) {
        std::string one = dir + "/one.sql", four = dir + "/four.sql";
        /* One fence key for both, so that the bytes can be compared. */
        cli_result r =
            run_cli({"dump", "-d", "cli_jobs", format, "--restrict-key", "K", "-f", one}, env);
        ASSERT_EQ(0, r.rc) << r.err;
        /* Count the connections while the run with jobs goes on. */
        int most = 0;
        std::atomic<bool> done(false);
        std::thread watch([&] {
            while (!done.load()) {
                std::string n = sandbox_psql_output(
                    "postgres", "SELECT count(*) FROM pg_stat_activity WHERE datname = 'cli_jobs'");
                most = std::max(most, atoi(n.c_str()));
                usleep(20000);
            }
        });
        r = run_cli(
            {"dump", "-d", "cli_jobs", format, "--restrict-key", "K", "-j", "4", "-f", four}, env);
        done.store(true);
        watch.join();
        ASSERT_EQ(0, r.rc) << r.err;
        /* Not EXPECT_EQ: a diff of two large scripts takes more memory
         * than the machine has. */
        std::string a = read_file(one), b = read_file(four);
        EXPECT_GT(a.size(), 1000000u);
        EXPECT_TRUE(a == b) << format << ": " << a.size() << " and " << b.size() << " bytes";
        EXPECT_GE(most, 4) << format;
        EXPECT_EQ(2, dir_entries(dir)) << "part files left beside the script";
        unlink(one.c_str());
        unlink(four.c_str());
    }
}

} // namespace
