/*
 * The command-line host, run as a separate process the way people run it:
 * with pipes, or on a pseudo-terminal for the progress line, Ctrl-C and
 * the password prompt.  Its --json output is compared with the library's
 * own replies to the same configuration, called in this process.
 */
#include "cli/cli_support.h"

namespace
{

TEST_F(CliTest, HelpVersionAndUsageErrorsNeedNoServer)
{
    cli_result r = run_cli({"--help"});
    EXPECT_EQ(0, r.rc);
    for (const char *word : {"Usage:", "test", "databases", "tables", "dump", "-W"})
        EXPECT_NE(std::string::npos, r.out.find(word)) << word;
    r = run_cli({"dump", "--help"});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("--rows-per-insert"));
    EXPECT_EQ(r.out, run_cli({"help", "dump"}).out);

    r = run_cli({"--version"});
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(std::string(pgdump_version()) + "\n", r.out);

    /* Each mistake: status 1, a pointer to --help, nothing on stdout. */
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"backup"},
                                               {"test", "--bogus"},
                                               {"test", "--drop"},
                                               {"dump", "--rows-per-insert", "0"},
                                               {"dump", "--rows-per-insert=1001"},
                                               {"test", "-h"},
                                               {"test", "--json=yes"},
                                               {"tables", "-n", "s"},
                                               {"dump", "--no-such-option"},
                                               {"dump", "--single-transaction"},
                                               {"restore", "-n", "x"},
                                               {"test", "--", "-U"},
                                               {"dump", "-Z", "lz4"},
                                               {"dump", "-Z", "gzip:10"},
                                               {"dump", "--compress=zstd:0"},
                                               {"dump", "-Z", "none:1"},
                                               {"dump", "-Z", "gzip:"},
                                               {"dump", "-Z", "10"},
                                               {"dump", "-j", "0"},
                                               {"dump", "--jobs=9"},
                                               {"dump", "--format", "custom"},
                                               {"test", "-j", "2"},
                                               {"restore", "--copy"},
                                               {"help", "nothing"}}) {
        r = run_cli(args);
        EXPECT_EQ(1, r.rc) << testing::PrintToString(args);
        EXPECT_NE(std::string::npos, r.err.find("--help")) << r.err;
        EXPECT_EQ("", r.out);
    }
}

/* Values the configuration document cannot carry whole must be refused
 * before anything is sent: the library would cut them silently (a cut
 * output path writes another file). */
TEST_F(CliTest, RefusesValuesTheConfigurationWouldCut)
{
    std::vector<std::string> env = {"PGHOST=127.0.0.1", "PGPORT=1", "PGUSER=someone"};
    struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char *message;
    } cases[] = {
        {{"test", "-U", "latin\xe9user"}, {}, "user name is not valid UTF-8"},
        {{"test"}, {"PGPASSWORD=" + std::string(256, 'p')}, "password is too long"},
        {{"test"}, {"PGPASSWORD=" + std::string(128, '"')}, "password is too long"},
        {{"test", "-U", std::string(128, 'u')}, {}, "user name is too long"},
        {{"dump", "-d", "db", "-f", std::string(1024, 'f')}, {}, "output path is too long"},
        {{"dump", "-d", "db", "-t", std::string(128, 't')}, {}, "a table name is too long"},
        {{"test", "-p", "99999"}, {}, "invalid port"},
        {{"test", "-h", "/var/run/postgresql"}, {}, "only TCP"},
        {{"dump", "-U", "x"}, {}, "no database"},
        {{"test", "--config", "/nonexistent.json", "-U", "x"}, {}, "cannot be combined with -U"},
        {{"test", "--config", "/nonexistent.json"}, {}, "cannot read configuration file"},
        {{"dump", "--config", "/nonexistent.json", "-n", "s"}, {}, "cannot be combined with -n"},
        {{"dump", "-d", "db", "-n", std::string(128, 's')}, {}, "a schema name is too long"},
        {{"dump", "-d", "db", "-T", std::string(64, '\\')}, {}, "a table name is too long"},
        {{"test", "--require-auth", std::string(128, 'a')}, {}, "require_auth list is too long"},
        {{"dump", "-d", "db", "--table-only", "-T", "x"},
         {},
         "-T cannot be combined with --table-only"},
        {{"dump", "-d", "db", "-a", "-s"}, {}, "leave nothing to dump"},
        {{"dump", "-d", "db", "-f", "-", "--json"}, {}, "both write to standard output"},
        {{"restore", "-d", "db"}, {}, "no script: give -f FILE"},
    };
    for (auto &c : cases) {
        std::vector<std::string> e = env;
        e.insert(e.end(), c.env.begin(), c.env.end());
        cli_result r = run_cli(c.args, e);
        EXPECT_EQ(1, r.rc) << c.message;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_EQ(0u, r.err.find("veltrano-pgdump: error: ")) << r.err;
    }
    EXPECT_FALSE(file_exists(std::string(1024, 'f')));

    std::vector<std::string> many = {"dump", "-d", "db"};
    for (int i = 0; i < 65; i++)
        many.insert(many.end(), {"-N", "s" + std::to_string(i)});
    cli_result r0 = run_cli(many, env);
    EXPECT_EQ(1, r0.rc);
    EXPECT_NE(std::string::npos, r0.err.find("too many schema names: at most 64")) << r0.err;

    /* At the limit the value goes through, and the login fails its own way. */
    cli_result r = run_cli({"test", "-U", std::string(127, 'u')}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(std::string::npos, r.err.find("too long")) << r.err;
}

/* What each option puts in the document, checked through the hidden
 * --print-config, which prints the document instead of running. */
TEST_F(CliTest, OptionsBecomeTheConfigurationDocument)
{
    const std::string conn = "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"someone\"";
    const std::string shop = conn + ",\"database\":\"shop\",\"out_path\":\"shop.sql\"";
    struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string config; /* without the TLS keys and the closing brace */
        std::string tls = ",\"sslmode\":\"prefer\"";
    } cases[] = {
        {{"test"}, {}, conn},
        {{"dump", "-d", "shop"}, {}, shop + ",\"complete\":true"},
        {{"dump", "-d", "a/b"},
         {},
         conn + ",\"database\":\"a/b\",\"out_path\":\"a_b.sql\",\"complete\":true"},
        {{"dump", "-d", "shop", "--table-only", "-t", "t1", "--no-schema", "--drop",
          "--rows-per-insert=7"},
         {},
         shop + ",\"tables\":[\"t1\"],\"include_schema\":false,\"include_drop\":true,"
                "\"rows_per_insert\":7"},
        /* pg_dump's letters, repeatable lists in order, bundled flags. */
        {{"dump", "-d", "shop", "-n", "s1", "-n", "s2", "-N", "x", "-t", "s1.a", "-T", "b", "-T",
          "s2.c", "-sc", "--owners", "--privileges"},
         {},
         shop + ",\"complete\":true,\"tables\":[\"s1.a\"],\"schemas\":[\"s1\",\"s2\"],"
                "\"exclude_schemas\":[\"x\"],\"exclude_tables\":[\"b\",\"s2.c\"],"
                "\"include_data\":false,\"include_drop\":true,\"include_owners\":true,"
                "\"include_privileges\":true"},
        /* -O and -x leave owners and privileges out, and win when they come last. */
        {{"dump", "-d", "shop", "--owners", "--privileges", "-O", "-x", "-a"},
         {},
         shop + ",\"complete\":true,\"include_schema\":false,\"include_owners\":false,"
                "\"include_privileges\":false"},
        {{"dump", "-d", "shop", "--role", "r\"1", "--restrict-key", "K1"},
         {},
         shop + ",\"complete\":true,\"role\":\"r\\\"1\",\"restrict_key\":\"K1\""},
        {{"restore", "-d", "shop", "-f", "x.sql", "-O", "-x", "--role", "r"},
         {},
         "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"someone\",\"database\":\"shop\","
         "\"in_path\":\"x.sql\",\"no_owner\":true,\"no_privileges\":true,\"role\":\"r\""},
        /* Options before and after the command word, whatever POSIX says. */
        {{"-d", "shop", "--data-only", "dump", "--schema", "s"},
         {"POSIXLY_CORRECT=1"},
         shop + ",\"complete\":true,\"schemas\":[\"s\"],\"include_schema\":false"},
        {{"restore", "-d", "shop", "-f", "in.sql", "--single-transaction", "--continue-on-error"},
         {},
         conn + ",\"database\":\"shop\",\"in_path\":\"in.sql\",\"single_transaction\":true,"
                "\"stop_on_error\":false"},
        {{"test"}, {"PGREQUIREAUTH=!md5,!password"}, conn + ",\"require_auth\":\"!md5,!password\""},
        /* The big-dump options; a compressed default file gets its suffix. */
        {{"dump", "-d", "shop", "--format", "copy", "-Z", "zstd:19", "-j", "4"},
         {},
         conn + ",\"database\":\"shop\",\"out_path\":\"shop.sql.zst\",\"complete\":true,"
                "\"data_format\":\"copy\",\"compression\":\"zstd\",\"compression_level\":19,"
                "\"jobs\":4"},
        {{"dump", "-d", "shop", "--copy", "--compress=gzip", "--jobs=1"},
         {},
         conn + ",\"database\":\"shop\",\"out_path\":\"shop.sql.gz\",\"complete\":true,"
                "\"data_format\":\"copy\",\"compression\":\"gzip\",\"jobs\":1"},
        {{"dump", "-d", "shop", "-Z", "0", "--copy", "--inserts"},
         {},
         shop + ",\"complete\":true,\"data_format\":\"inserts\",\"compression\":\"none\""},
        {{"dump", "-d", "shop", "-Z5", "-f", "out.gz"},
         {},
         conn + ",\"database\":\"shop\",\"out_path\":\"out.gz\",\"complete\":true,"
                "\"compression\":\"gzip\",\"compression_level\":5"},
        {{"dump", "-d", "shop", "-Z", "gzip:level=3", "--format=inserts"},
         {},
         conn + ",\"database\":\"shop\",\"out_path\":\"shop.sql.gz\",\"complete\":true,"
                "\"data_format\":\"inserts\",\"compression\":\"gzip\",\"compression_level\":3"},
        /* libpq's TLS and time-out variables. */
        {{"test"},
         {"PGSSLMODE=verify-full", "PGSSLROOTCERT=/ca.pem", "PGCHANNELBINDING=require",
          "PGSSLSNI=0", "PGCONNECT_TIMEOUT=5"},
         conn,
         ",\"sslmode\":\"verify-full\",\"sslrootcert\":\"/ca.pem\",\"channel_binding\":"
         "\"require\",\"sslsni\":false,\"connect_timeout\":5"},
        {{"test", "--require-auth", "scram-sha-256"},
         {"PGREQUIREAUTH=md5"},
         conn + ",\"require_auth\":\"scram-sha-256\""},
        /* Standard JSON escapes, UTF-8 as it is. */
        {{"test", "-U",
          "a\"b\\c\td\x01"
          "e/Zoë 山"},
         {"PGPASSWORD=p\nq"},
         "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"a\\\"b\\\\c\\td\\u0001e/Zoë 山\","
         "\"password\":\"p\\nq\""},
    };
    std::vector<std::string> env = {"PGHOST=127.0.0.1", "PGPORT=1", "PGUSER=someone"};
    for (auto &c : cases) {
        std::vector<std::string> e = env;
        e.insert(e.end(), c.env.begin(), c.env.end());
        std::vector<std::string> args = c.args;
        args.push_back("--print-config");
        cli_result r = run_cli(args, e);
        EXPECT_EQ(0, r.rc) << r.err;
        EXPECT_EQ(c.config + c.tls + "}\n", r.out) << testing::PrintToString(c.args);
        bool table_only = std::find(args.begin(), args.end(), "--table-only") != args.end();
        EXPECT_EQ(table_only, r.err.find("warning: --table-only") != std::string::npos) << r.err;
    }

    /* -f - dumps into a private directory of $TMPDIR, gone at the end. */
    cli_result r =
        run_cli({"dump", "-d", "shop", "-f", "-", "--print-config"}, {"PGUSER=u", "TMPDIR=" + dir});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("{\"user\":\"u\",\"database\":\"shop\",\"out_path\":\"" + dir +
                             "/veltrano-pgdump-"))
        << r.out;
    EXPECT_EQ(0, dir_entries(dir));
}

TEST_F(CliTest, JsonOutputIsTheLibraryReplyUnchanged)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_json");
    ASSERT_EQ(0, sandbox_psql("cli_json", "CREATE TABLE a (id int PRIMARY KEY); CREATE TABLE "
                                          "\"b \"\"q\"\"\" (x text); INSERT INTO a SELECT "
                                          "generate_series(1, 500); ANALYZE"));
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", "cli_json");
    std::vector<std::string> env = sandbox_env();
    env.push_back("PGDATABASE=cli_json");

    std::string expect = pgdump_test_connection(cfg.c_str());
    cli_result r = run_cli({"test", "--json"}, env);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(expect + "\n", r.out);

    expect = pgdump_list_databases(cfg.c_str());
    r = run_cli({"databases", "--json"}, env);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(expect + "\n", r.out);

    expect = pgdump_list_tables(cfg.c_str());
    r = run_cli({"--json", "tables"}, env);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(expect + "\n", r.out);
    EXPECT_NE(std::string::npos, r.out.find("b \\\"q\\\""));

    /* A --config document goes to the library as it is. */
    std::string path = dir + "/config.json";
    std::ofstream(path) << sandbox_config(SANDBOX_TRUST_USER, "", "cli_json", "\"bogus\":[1,2]");
    r = run_cli({"tables", "--json", "--config", path});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(expect + "\n", r.out);
}

TEST_F(CliTest, WrongPasswordPrintsTheLibraryTextAndFails)
{
    REQUIRE_SANDBOX();
    std::string cfg = sandbox_config(SANDBOX_SCRAM_USER, "wrong", "postgres");
    std::string reply = pgdump_test_connection(cfg.c_str());
    std::string text = pgdump_last_error();
    ASSERT_NE(std::string::npos, reply.find("\"ok\":false")) << reply;

    std::vector<std::string> env = sandbox_env(SANDBOX_SCRAM_USER);
    env.push_back("PGPASSWORD=wrong");
    cli_result r = run_cli({"test"}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("veltrano-pgdump: error: " + text + "\n", r.err);

    r = run_cli({"databases", "--json"}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(reply + "\n", r.out);

    /* A failed login fails the dump too, and leaves no file behind. */
    std::string out = dir + "/never.sql";
    r = run_cli({"dump", "-d", "postgres", "-f", out}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ("veltrano-pgdump: error: " + text + "\n", r.err);
    EXPECT_FALSE(file_exists(out));
}

/* A role name with a quote and a backslash and a password with a tab
 * reach the server intact only if each is escaped exactly once. */
TEST_F(CliTest, QuotesBackslashesAndTabsReachTheServerIntact)
{
    REQUIRE_SANDBOX();
    const std::string role = "cli \"q\\role";
    /* A control byte has no short escape: it travels as \u0001. */
    const std::string password = "pa\"ss\\w\tord\x01"
                                 "é山";
    sandbox_psql("postgres", "DROP ROLE IF EXISTS \"cli \"\"q\\role\"");
    ASSERT_EQ(0, sandbox_psql("postgres",
                              "SET password_encryption = 'scram-sha-256'; CREATE ROLE "
                              "\"cli \"\"q\\role\" LOGIN PASSWORD E'pa\"ss\\\\w\\tord\\001é山'"));
    std::vector<std::string> env = sandbox_env(role);
    env.push_back("PGPASSWORD=" + password);
    cli_result r = run_cli({"test"}, env);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("OK: PostgreSQL ")) << r.out;
    sandbox_psql("postgres", "DROP ROLE IF EXISTS \"cli \"\"q\\role\"");
}

TEST_F(CliTest, HumanTablesAlignByDisplayWidth)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_human");
    ASSERT_EQ(0, sandbox_psql("cli_human",
                              "CREATE TABLE plain (id int); CREATE TABLE \"café_見本\" (id int); "
                              "INSERT INTO plain SELECT generate_series(1, 120000); ANALYZE"));
    std::vector<std::string> env = sandbox_env();
    cli_result r = run_cli({"tables", "-d", "cli_human"}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    /* The CJK characters take two columns each: the bars must still line
     * up on screen, which in bytes puts them at different offsets. */
    EXPECT_NE(std::string::npos, r.out.find(" café_見本 |")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" plain     |")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("120k")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" MB")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("(2 tables")) << r.out;

    r = run_cli({"databases"}, env);
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("\n cli_human\n")) << r.out;
}

TEST_F(CliTest, DumpReplaysIntoAnEqualDatabaseQuietlyWithoutTerminal)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_src");
    sandbox_fresh_db("cli_dst");
    ASSERT_EQ(0, sandbox_psql("cli_src",
                              "CREATE TABLE people (id bigserial PRIMARY KEY, name text NOT NULL, "
                              "born timestamptz, ok boolean, pic bytea, score numeric(8,3));"
                              "INSERT INTO people (name, born, ok, pic, score) SELECT "
                              "CASE g % 4 WHEN 0 THEN 'O''Brien' WHEN 1 THEN 'Zoë 山田 🎉' "
                              "WHEN 2 THEN E'back\\\\slash\\nline' ELSE 'x' END, "
                              "CASE WHEN g % 5 = 0 THEN NULL ELSE now() - g * interval '1 h' END,"
                              " g % 3 = 0, decode(md5(g::text), 'hex'), g / 7.0 "
                              "FROM generate_series(1, 1000) g;"
                              "CREATE TABLE lines (a int, b int, note varchar(20), "
                              "PRIMARY KEY (b, a));"
                              "INSERT INTO lines SELECT g, g % 10, NULL FROM "
                              "generate_series(1, 300) g"));
    std::string out = dir + "/src.sql";
    cli_result r = run_cli(
        {"dump", "-d", "cli_src", "-f", out, "--drop", "--rows-per-insert", "7", "--table-only"},
        sandbox_env());
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("Dumped 2 tables, 1,300 rows, ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(out)) << r.out;
    /* No progress output without a terminal: only the warning. */
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: warning: --table-only writes only")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find('%')) << r.err;

    std::string script = read_file(out);
    EXPECT_EQ(0u, script.find("-- veltrano-pgdump 1.0.0\n"));
    EXPECT_NE(std::string::npos, script.find("DROP TABLE IF EXISTS \"people\""));

    const sandbox_info *sb = sandbox_server();
    ASSERT_EQ(0,
              run_command("psql -X -q -v ON_ERROR_STOP=1 -h " + sb->host + " -p " +
                          std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER " -d cli_dst -f '" +
                          out + "' >/dev/null 2>&1"));
    for (const char *table : {"people", "lines"}) {
        std::string q = std::string("SELECT count(*), md5(string_agg(t::text, '|' ORDER BY "
                                    "t::text COLLATE \"C\")) FROM ") +
                        table + " t";
        EXPECT_EQ(sandbox_psql_output("cli_src", q), sandbox_psql_output("cli_dst", q)) << table;
    }

    /* -t and --no-data shape the script: one table, no rows. */
    std::string schema = dir + "/schema.sql";
    r = run_cli({"dump", "-d", "cli_src", "-f", schema, "-t", "lines", "--no-data", "--table-only"},
                sandbox_env());
    ASSERT_EQ(0, r.rc) << r.err;
    script = read_file(schema);
    EXPECT_NE(std::string::npos, script.find("CREATE TABLE \"lines\""));
    EXPECT_EQ(std::string::npos, script.find("people"));
    EXPECT_EQ(std::string::npos, script.find("INSERT"));

    /* A table that does not exist fails the dump with the server's text. */
    r = run_cli({"dump", "-d", "cli_src", "-f", dir + "/bad.sql", "-t", "nope", "--table-only"},
                sandbox_env());
    EXPECT_EQ(1, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("\nveltrano-pgdump: error: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("nope")) << r.err;
}

/* The default dump, written to standard output: the script alone on
 * stdout, nothing on stderr, no temporary file left, and a replay equal to
 * the source. */
TEST_F(CliTest, DefaultDumpToStandardOutputReplays)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_out_src");
    sandbox_fresh_db("cli_out_dst");
    ASSERT_EQ(0, sandbox_psql("cli_out_src",
                              "CREATE TABLE items (id serial PRIMARY KEY, label text);"
                              "INSERT INTO items (label) SELECT 'item ' || g || E'\\n;' "
                              "FROM generate_series(1, 2500) g"));
    std::string tmp = dir + "/tmp";
    ASSERT_EQ(0, mkdir(tmp.c_str(), 0700));
    std::vector<std::string> env = sandbox_env();
    env.push_back("TMPDIR=" + tmp);
    cli_result r = run_cli({"dump", "-d", "cli_out_src", "-f", "-"}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, r.out.find("-- veltrano-pgdump 1.0.0\n")) << r.out.substr(0, 200);
    EXPECT_EQ(0, dir_entries(tmp));

    std::string script = dir + "/stdout.sql";
    std::ofstream(script, std::ios::binary) << r.out;
    const sandbox_info *sb = sandbox_server();
    ASSERT_EQ(0, run_command("psql -X -q -v ON_ERROR_STOP=1 -h " + sb->host + " -p " +
                             std::to_string(sb->port) +
                             " -U " SANDBOX_TRUST_USER " -d cli_out_dst -f '" + script +
                             "' >/dev/null 2>&1"));
    std::string q = "SELECT count(*), md5(string_agg(t::text, '|' ORDER BY id)) FROM items t";
    EXPECT_EQ(sandbox_psql_output("cli_out_src", q), sandbox_psql_output("cli_out_dst", q));

    /* A failed dump writes nothing to stdout and leaves nothing behind. */
    r = run_cli({"dump", "-d", "cli_no_such_db", "-f", "-"}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("nothing was written to standard output")) << r.err;
    EXPECT_EQ(0, dir_entries(tmp));
}

/* The default, complete script of a database with a second schema, a
 * type, an index, a view and a foreign key: replayed by the restore
 * command into an empty database, every object is back; -N and -T leave
 * theirs out. */
/* A dump done with warnings exits with 3 and prints each warning; the
 * owners written by default restore with -O -x where the role is gone. */
TEST_F(CliTest, WarningsExitWithThreeAndOwnersRestoreWithoutTheirRoles)
{
    REQUIRE_SANDBOX();
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS cli_warn_src");
    sandbox_psql("postgres", "DROP ROLE IF EXISTS cli_gone");
    ASSERT_EQ(0, sandbox_psql("postgres", "CREATE ROLE cli_gone"));
    sandbox_fresh_db("cli_warn_src");
    ASSERT_EQ(0,
              sandbox_psql("cli_warn_src", "CREATE FUNCTION up() RETURNS int LANGUAGE sql "
                                           "SECURITY DEFINER RETURN 1;"
                                           "ALTER FUNCTION up() OWNER TO cli_gone;"
                                           "CREATE TABLE t (a int); GRANT ALL ON t TO cli_gone;"));
    std::vector<std::string> env = sandbox_env();
    std::string owned = dir + "/owned.sql", bare = dir + "/bare.sql";
    cli_result r = run_cli({"dump", "-d", "cli_warn_src", "-f", owned}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    r = run_cli({"dump", "-d", "cli_warn_src", "-f", bare, "-O"}, env);
    EXPECT_EQ(3, r.rc) << r.err;
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: warning: SECURITY DEFINER routine "
                             "\"public\".\"up\" is dumped without its owner"))
        << r.err;
    ASSERT_EQ(0, sandbox_psql("postgres", "DROP DATABASE cli_warn_src"));
    ASSERT_EQ(0, sandbox_psql("postgres", "DROP ROLE cli_gone"));
    sandbox_fresh_db("cli_warn_dst");
    r = run_cli({"restore", "-d", "cli_warn_dst", "-f", owned, "--single-transaction"}, env);
    EXPECT_EQ(1, r.rc);
    sandbox_fresh_db("cli_warn_dst");
    r = run_cli({"restore", "-d", "cli_warn_dst", "-f", owned, "--single-transaction", "-O", "-x"},
                env);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("1\n", sandbox_psql_output("cli_warn_dst", "SELECT up()"));
}

TEST_F(CliTest, CompleteDumpRestoresEveryObject)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_full_src");
    sandbox_fresh_db("cli_full_dst");
    ASSERT_EQ(0, sandbox_psql("cli_full_src",
                              "CREATE SCHEMA extra; CREATE TYPE mood AS ENUM ('sad', 'ok');"
                              "CREATE TABLE a (id serial PRIMARY KEY, m mood, t text);"
                              "CREATE INDEX a_t ON a (t); CREATE VIEW v AS SELECT id, m FROM a;"
                              "INSERT INTO a (m, t) SELECT 'ok', 'x' || g "
                              "FROM generate_series(1, 700) g;"
                              "CREATE TABLE extra.b (id int PRIMARY KEY REFERENCES a (id));"
                              "INSERT INTO extra.b SELECT id FROM a WHERE id < 10;"
                              "CREATE TABLE extra.skip (x int)"));
    std::string script = dir + "/full.sql";
    std::vector<std::string> env = sandbox_env();
    cli_result r = run_cli({"dump", "-d", "cli_full_src", "-f", script}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("", r.err);
    r = run_cli({"restore", "-d", "cli_full_dst", "-f", script, "--single-transaction"}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    std::string q = "SELECT (SELECT count(*) FROM extra.b), (SELECT count(*) FROM v WHERE m = "
                    "'ok'), (SELECT last_value FROM a_id_seq), to_regclass('a_t') IS NOT NULL";
    EXPECT_EQ(sandbox_psql_output("cli_full_src", q), sandbox_psql_output("cli_full_dst", q));

    std::string less = dir + "/less.sql";
    r = run_cli({"dump", "-d", "cli_full_src", "-f", less, "-N", "extra", "-T", "a", "-s"}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    std::string text = read_file(less);
    EXPECT_EQ(std::string::npos, text.find("\"extra\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("INSERT")) << text;
    EXPECT_EQ(std::string::npos, text.find("CREATE TABLE \"public\".\"a\"")) << text;
}

/* A dump restored by the restore command, from a file and from standard
 * input; a failing statement stops it with its line, or with
 * --continue-on-error is counted and fails the exit status. */
TEST_F(CliTest, RestoreReplaysADumpAndReportsFailedStatements)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_rs_src");
    sandbox_fresh_db("cli_rs_dst");
    sandbox_fresh_db("cli_rs_dst2");
    ASSERT_EQ(0, sandbox_psql("cli_rs_src", "CREATE TABLE t (id int PRIMARY KEY, v text);"
                                            "INSERT INTO t SELECT g, repeat('v', g % 50) "
                                            "FROM generate_series(1, 3000) g"));
    std::string script = dir + "/rs.sql";
    std::vector<std::string> env = sandbox_env();
    ASSERT_EQ(0, run_cli({"dump", "-d", "cli_rs_src", "-f", script}, env).rc);
    std::string q = "SELECT count(*), md5(string_agg(t::text, '|' ORDER BY id)) FROM t";

    cli_result r = run_cli({"restore", "-d", "cli_rs_dst", "-f", script}, env);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("Restored ")) << r.out;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(sandbox_psql_output("cli_rs_src", q), sandbox_psql_output("cli_rs_dst", q));

    std::string tmp = dir + "/tmp";
    ASSERT_EQ(0, mkdir(tmp.c_str(), 0700));
    std::vector<std::string> env_tmp = env;
    env_tmp.push_back("TMPDIR=" + tmp);
    r = run_cli({"restore", "-d", "cli_rs_dst2", "-f", "-", "--single-transaction"}, env_tmp,
                script);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("from standard input")) << r.out;
    EXPECT_EQ(sandbox_psql_output("cli_rs_src", q), sandbox_psql_output("cli_rs_dst2", q));
    EXPECT_EQ(0, dir_entries(tmp));

    /* Again into the same database: the CREATE fails at its line. */
    r = run_cli({"restore", "-d", "cli_rs_dst", "-f", script}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: error: line ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("already exists")) << r.err;

    r = run_cli({"restore", "-d", "cli_rs_dst", "-f", script, "--continue-on-error", "--json"},
                env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(0u, r.out.find("{\"ok\":false,\"error\":\"line ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"first_error\":\"line ")) << r.out;

    r = run_cli({"restore", "-d", "cli_rs_dst", "-f", dir + "/missing.sql"}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: error: ")) << r.err;
}

/* A table whose rows reach the host slowly: the host is pointed at a
 * proxy that forwards about 60 kB a second, so a dump of it is under way
 * for seconds.  The reader is a role that is no superuser. */
void make_slow_table()
{
    sandbox_fresh_db("cli_slow");
    /* Roles outlive databases: an earlier run's role is reused. */
    ASSERT_EQ(0, sandbox_psql("postgres", "SET password_encryption = 'scram-sha-256'; DO $$BEGIN "
                                          "IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = "
                                          "'cli_reader') THEN CREATE ROLE cli_reader; END IF; "
                                          "END$$; ALTER ROLE cli_reader LOGIN NOSUPERUSER "
                                          "PASSWORD 'reader-secret'"));
    ASSERT_EQ(0, sandbox_psql("cli_slow", "CREATE TABLE slow (id int PRIMARY KEY, v text);"
                                          "INSERT INTO slow SELECT g, 'row ' || g FROM "
                                          "generate_series(1, 20000) g;"
                                          "GRANT SELECT ON slow TO cli_reader; ANALYZE slow"));
}

/* One proxy for the process, stopped and joined at its exit. */
tcp_proxy *slow_proxy()
{
    static tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.set_server_rate(60000);
    return &proxy;
}

std::vector<std::string> slow_env()
{
    std::vector<std::string> env = sandbox_env("cli_reader");
    for (std::string &e : env)
        if (e.compare(0, 7, "PGPORT=") == 0)
            e = "PGPORT=" + std::to_string(slow_proxy()->port());
    env.push_back("PGPASSWORD=reader-secret");
    env.push_back("PGDATABASE=cli_slow");
    return env;
}

/* The latest progress line shows the bar, the table slow and rows. */
bool rows_under_way(const std::string &out)
{
    size_t cr = out.rfind('\r');
    std::string line = out.substr(cr == std::string::npos ? 0 : cr + 1);
    size_t rows = line.find(" rows");
    if (line.find("% [") == std::string::npos || line.find("slow ") == std::string::npos ||
        rows == std::string::npos)
        return false;
    size_t start = line.rfind(' ', rows - 1);
    std::string count = line.substr(start + 1, rows - start - 1);
    return !count.empty() && count != "0";
}

TEST_F(CliTest, CtrlCOnATerminalCancelsAndKeepsThePartialScript)
{
    REQUIRE_SANDBOX();
    ASSERT_NO_FATAL_FAILURE(make_slow_table());
    std::string out = dir + "/slow.sql";
    pty_run t;
    ASSERT_TRUE(t.start({"dump", "-f", out}, slow_env()));
    /* The live line: redrawn in place, with a share of the estimate. */
    ASSERT_TRUE(t.wait_until(rows_under_way)) << t.seen;
    t.type("\x03");
    int rc = t.finish();
    EXPECT_EQ(130, rc) << t.seen;
    EXPECT_NE(std::string::npos, t.seen.find("\r")) << t.seen;
    EXPECT_NE(std::string::npos, t.seen.find("veltrano-pgdump: cancelled")) << t.seen;
    EXPECT_FALSE(file_exists(out));
    EXPECT_NE(std::string::npos, t.seen.find("the partial script stays in " + partial_file(out)))
        << t.seen;
    std::string script = read_file(partial_file(out));
    EXPECT_EQ(0u, script.find("-- veltrano-pgdump 1.0.0\n"));
    EXPECT_NE(std::string::npos, script.find("\"slow\" VALUES"));
    EXPECT_EQ(std::string::npos, script.find("(20000,"));
}

TEST_F(CliTest, SigintWithoutTerminalCancelsQuietly)
{
    REQUIRE_SANDBOX();
    ASSERT_NO_FATAL_FAILURE(make_slow_table());
    std::string out = dir + "/slow.sql";
    child c = start_cli({"dump", "-f", out}, child_env(slow_env()));
    ASSERT_GT(c.pid, 0);
    /* The file appears once the run is past its login; give it rows. */
    for (int i = 0; i < 300 && partial_file(out).empty(); i++)
        usleep(50000);
    ASSERT_NE("", partial_file(out));
    usleep(1500000);
    kill(c.pid, SIGINT);
    cli_result r = finish_cli(c, 30000);
    EXPECT_EQ(130, r.rc) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string::npos, r.err.find('\r')) << r.err;
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: cancelled")) << r.err;
    EXPECT_NE(std::string::npos, read_file(partial_file(out)).find("\"slow\" VALUES"));
}

/* With -f - a cancelled dump writes nothing to stdout and its temporary
 * file goes. */
TEST_F(CliTest, SigintDuringADumpToStandardOutputLeavesNothing)
{
    REQUIRE_SANDBOX();
    ASSERT_NO_FATAL_FAILURE(make_slow_table());
    std::string tmp = dir + "/tmp";
    ASSERT_EQ(0, mkdir(tmp.c_str(), 0700));
    std::vector<std::string> env = slow_env();
    env.push_back("TMPDIR=" + tmp);
    child c = start_cli({"dump", "-f", "-"}, child_env(env));
    ASSERT_GT(c.pid, 0);
    for (int i = 0; i < 300 && dir_entries(tmp) == 0; i++)
        usleep(50000);
    usleep(1500000);
    kill(c.pid, SIGINT);
    cli_result r = finish_cli(c, 30000);
    EXPECT_EQ(130, r.rc) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("nothing was written to standard output")) << r.err;
    EXPECT_EQ(0, dir_entries(tmp));
}

/* A restore on a terminal: the live line counts statements and the share
 * of the script read; Ctrl-C cancels it with status 130. */
TEST_F(CliTest, CtrlCCancelsARestoreOnATerminal)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("cli_rs_slow");
    std::string script = dir + "/slow.sql";
    {
        std::ofstream f(script);
        /* Statements go 256 to a message: six of about a second each. */
        for (int i = 0; i < 1536; i++)
            f << "SELECT pg_sleep(0.004);\n";
    }
    pty_run t;
    ASSERT_TRUE(t.start({"restore", "-d", "cli_rs_slow", "-f", script}, sandbox_env()));
    ASSERT_TRUE(t.wait_until([](const std::string &out) {
        size_t cr = out.rfind('\r');
        std::string line = out.substr(cr == std::string::npos ? 0 : cr + 1);
        return line.find("% [") != std::string::npos && line.find(" stmts") != std::string::npos &&
               line.find(" 0 stmts") == std::string::npos;
    })) << t.seen;
    t.type("\x03");
    EXPECT_EQ(130, t.finish()) << t.seen;
    EXPECT_NE(std::string::npos, t.seen.find("veltrano-pgdump: cancelled after")) << t.seen;
    EXPECT_EQ(std::string::npos, t.seen.find("Restored")) << t.seen;
}

TEST_F(CliTest, PasswordPromptReadsTheTerminalWithoutEcho)
{
    REQUIRE_SANDBOX();
    pty_run t;
    ASSERT_TRUE(t.start({"test", "-W"}, sandbox_env(SANDBOX_SCRAM_USER)));
    ASSERT_TRUE(t.wait_until([](const std::string &out) {
        return out.size() >= 10 && out.compare(out.size() - 10, 10, "Password: ") == 0;
    })) << t.seen;
    t.type(SANDBOX_SCRAM_PASSWORD "\n");
    EXPECT_EQ(0, t.finish()) << t.seen;
    EXPECT_NE(std::string::npos, t.seen.find("OK: PostgreSQL")) << t.seen;
    EXPECT_EQ(std::string::npos, t.seen.find(SANDBOX_SCRAM_PASSWORD)) << t.seen;
}

} // namespace
