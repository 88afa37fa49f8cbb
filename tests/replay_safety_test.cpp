/*
 * A replay stays safe when the dumped database fights back: functions that
 * flip standard_conforming_strings while rows load, SECURITY DEFINER
 * routines, objects named to trip psql's rules, psql variables in pasted
 * text, files planted where the dump writes, and a script that would make
 * the restore hold a huge statement.  Each case is replayed with psql
 * (-1, ON_ERROR_STOP) and with the library's own restore.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "dump/run/dump_run.h"
#include "platform/platform.h"
#include "restore/restore_replay.h"
#include "support/dump_wait.h"
#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

namespace
{

struct dumped {
    int state;
    std::string error, result;
};

/* A complete dump through the exported calls; extra adds keys. */
dumped dump(const std::string &db, const std::string &out, const std::string &extra = "")
{
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", db,
                                     "\"out_path\":\"" + out + "\",\"complete\":true" + extra);
    int s = pgdump_start(cfg.c_str());
    EXPECT_GE(s, 0) << pgdump_last_error();
    if (s < 0)
        return {-1, pgdump_last_error(), ""};
    dumped d = {wait_final(s), "", pgdump_result(s)};
    pgdump_free(s);
    return d;
}

int restore(const std::string &db, const std::string &in, const std::string &extra,
            std::string *result)
{
    std::string cfg =
        sandbox_config(SANDBOX_TRUST_USER, "", db,
                       "\"in_path\":\"" + in + "\",\"single_transaction\":true" + extra);
    int s = pgdump_restore_start(cfg.c_str());
    EXPECT_GE(s, 0) << pgdump_last_error();
    if (s < 0)
        return -1;
    int state = wait_final(s);
    *result = pgdump_result(s);
    pgdump_free(s);
    return state;
}

int psql_replay(const std::string &db, const std::string &path)
{
    const sandbox_info *sb = sandbox_server();
    return run_command("psql -X -q -1 -v ON_ERROR_STOP=1 -h " + sb->host + " -p " +
                       std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER " -d " + db + " -f " +
                       path + " >/dev/null 2>" + temp_path("safety.err"));
}

/* The first line of a query's output. */
std::string q(const std::string &db, const std::string &sql)
{
    std::string out = sandbox_psql_output(db, sql);
    return out.substr(0, out.find('\n'));
}

} // namespace

/* A CHECK calls a SECURITY DEFINER function that turns
 * standard_conforming_strings off while the rows load; comment texts
 * crafted to end their literal early under that reading would run a shell
 * command through psql, or make a role superuser through the restore. */
TEST(ReplaySafety, SettingsFlippedDuringTheReplayChangeNothing)
{
    REQUIRE_SANDBOX();
    const std::string src = "vrsf_src", marker = temp_path("pwned");
    sandbox_psql("postgres", "DROP ROLE IF EXISTS vrsf_evil; CREATE ROLE vrsf_evil");
    sandbox_fresh_db(src);
    std::string evil = "x\\'; ALTER ROLE vrsf_evil SUPERUSER; \\! touch " + marker + "\n-- ";
    std::string quoted;
    for (char c : evil)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    ASSERT_EQ(0, sandbox_psql(src, "CREATE FUNCTION flip() RETURNS boolean LANGUAGE sql "
                                   "SECURITY DEFINER AS $$ SELECT set_config("
                                   "'standard_conforming_strings', 'off', false) IS NOT NULL $$;"
                                   "CREATE TABLE t (a int CHECK (flip()), b text);"
                                   "INSERT INTO t VALUES (1, 'back\\slash');"
                                   "COMMENT ON TABLE t IS '" +
                                       quoted + "';"));
    for (const char *format : {"inserts", "copy"}) {
        std::string out = temp_path(std::string("flip-") + format + ".sql");
        dumped d = dump(src, out, std::string(",\"data_format\":\"") + format + "\"");
        ASSERT_EQ(3, d.state) << d.result;
        sandbox_fresh_db("vrsf_psql");
        EXPECT_EQ(0, psql_replay("vrsf_psql", out)) << read_file(temp_path("safety.err"));
        EXPECT_FALSE(file_exists(marker)) << "psql ran a command from a comment text";
        std::string result;
        sandbox_fresh_db("vrsf_lib");
        EXPECT_EQ(3, restore("vrsf_lib", out, "", &result)) << result;
        for (const char *db : {"vrsf_psql", "vrsf_lib"}) {
            const char *md5 = "SELECT md5(obj_description('t'::regclass, 'pg_class'))";
            EXPECT_EQ(q(src, md5), q(db, md5)) << db;
            EXPECT_EQ("back\\slash", q(db, "SELECT b FROM t")) << db;
        }
        EXPECT_EQ("f", q("postgres", "SELECT rolsuper FROM pg_roles WHERE rolname = 'vrsf_evil'"));
    }
    /* The script's own setting is followed by the restore as by psql: a
     * literal after it reads with backslash escapes. */
    std::string script = temp_path("own-setting.sql");
    write_file(script, "SET standard_conforming_strings = off;\n"
                       "CREATE TABLE s (v text);\n"
                       "INSERT INTO s VALUES ('a\\'; SELECT 1; --');\n");
    std::string result;
    sandbox_fresh_db("vrsf_own");
    EXPECT_EQ(3, restore("vrsf_own", script, "", &result)) << result;
    EXPECT_EQ("a'; SELECT 1; --", q("vrsf_own", "SELECT v FROM s"));
    /* An encoding whose characters may hold quotes stops the restore. */
    write_file(script, "SET client_encoding = 'SJIS';\nSELECT 1;\n");
    EXPECT_EQ(5, restore("vrsf_own", script, "", &result));
    EXPECT_NE(std::string::npos, result.find("client_encoding is SJIS")) << result;
    /* So does a database whose default client_encoding is one. */
    ASSERT_EQ(0, sandbox_psql("vrsf_own", "ALTER DATABASE vrsf_own SET client_encoding = 'BIG5'"));
    write_file(script, "SELECT 1;\n");
    EXPECT_EQ(5, restore("vrsf_own", script, "", &result));
    EXPECT_NE(std::string::npos,
              result.find("client_encoding is BIG5, which a restore cannot read"))
        << result;
}

/* Owners and privileges come with a complete dump by default, so a
 * SECURITY DEFINER routine stays its owner's; left out, the result warns.
 * A restore with no_owner / no_privileges works in a cluster that lacks
 * the source's roles. */
TEST(ReplaySafety, OwnersByDefaultAndRestoreWithoutTheRoles)
{
    REQUIRE_SANDBOX();
    const std::string src = "vrso_src";
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS vrso_src");
    sandbox_psql("postgres", "DROP ROLE IF EXISTS vrso_owner");
    ASSERT_EQ(0, sandbox_psql("postgres", "CREATE ROLE vrso_owner"));
    sandbox_fresh_db(src);
    ASSERT_EQ(0, sandbox_psql(src, "CREATE FUNCTION up() RETURNS int LANGUAGE sql SECURITY "
                                   "DEFINER RETURN 1; ALTER FUNCTION up() OWNER TO vrso_owner;"
                                   "CREATE TABLE t (a serial, b int GENERATED ALWAYS AS "
                                   "IDENTITY); ALTER TABLE t OWNER TO vrso_owner;"
                                   "GRANT SELECT ON t TO PUBLIC;"));
    std::string out = temp_path("owners.sql");
    dumped d = dump(src, out);
    ASSERT_EQ(3, d.state) << d.result;
    EXPECT_EQ(std::string::npos, d.result.find("warnings")) << d.result;
    std::string script = read_file(out);
    EXPECT_NE(std::string::npos, script.find("OWNER TO \"vrso_owner\"")) << script;
    EXPECT_NE(std::string::npos, script.find("GRANT SELECT ON TABLE")) << script;
    sandbox_fresh_db("vrso_dst");
    ASSERT_EQ(0, psql_replay("vrso_dst", out)) << read_file(temp_path("safety.err"));
    EXPECT_EQ("vrso_owner", q("vrso_dst", "SELECT proowner::regrole FROM pg_proc "
                                          "WHERE proname = 'up'"));

    std::string bare = temp_path("no-owners.sql");
    d = dump(src, bare, ",\"include_owners\":false");
    ASSERT_EQ(3, d.state);
    EXPECT_NE(std::string::npos,
              d.result.find("\"warnings\":[\"SECURITY DEFINER routine \\\"public\\\".\\\"up\\\""))
        << d.result;
    EXPECT_NE(std::string::npos, read_file(bare).find("-- WARNING: SECURITY DEFINER routine"));

    /* The role gone, the owned script restores only without owners. */
    sandbox_psql("postgres", "DROP DATABASE vrso_dst");
    sandbox_psql("postgres", "DROP DATABASE vrso_src");
    ASSERT_EQ(0, sandbox_psql("postgres", "DROP ROLE vrso_owner"));
    std::string result;
    sandbox_fresh_db("vrso_bare");
    EXPECT_EQ(5, restore("vrso_bare", out, "", &result));
    EXPECT_NE(std::string::npos, result.find("vrso_owner")) << result;
    sandbox_fresh_db("vrso_bare");
    EXPECT_EQ(3, restore("vrso_bare", out, ",\"no_owner\":true,\"no_privileges\":true", &result))
        << result;
    EXPECT_NE(std::string::npos, result.find("\"errors\":0")) << result;
    EXPECT_EQ("1", q("vrso_bare", "SELECT up()"));

    const char *const kinds[][2] = {
        {"ALTER TABLE t OWNER TO r;", "1"},
        {"alter function f(int) owner to \"r\";", "1"},
        {"ALTER TABLE t RENAME COLUMN owner TO x;", "0"},
        {"ALTER TABLE t RENAME owner TO x;", "0"},
        {"ALTER TABLE t ADD CHECK (a <> 'OWNER TO');", "0"},
        {"GRANT SELECT ON t TO r;", "2"},
        {"REVOKE ALL ON t FROM PUBLIC;", "2"},
        {"ALTER DEFAULT PRIVILEGES GRANT SELECT ON TABLES TO r;", "2"},
        {"CREATE FUNCTION f() AS $$GRANT x$$;", "0"},
    };
    for (const auto &k : kinds)
        EXPECT_EQ(k[1][0] - '0', rp_privilege_kind(k[0], strlen(k[0]))) << k[0];
}

/* Names and slices that trip psql's rules: a function named begin, a
 * BEGIN ATOMIC body slicing with a parameter named begin, a CHECK slicing
 * with a column "USER" (a psql variable); every one dumps and replays. */
TEST(ReplaySafety, ObjectsThatTripPsqlRulesStillDumpAndReplay)
{
    REQUIRE_SANDBOX();
    const std::string src = "vrsb_src";
    sandbox_fresh_db(src);
    ASSERT_EQ(0, sandbox_psql(src, "CREATE FUNCTION begin() RETURNS int LANGUAGE sql RETURN 7;"
                                   "CREATE FUNCTION head(a int[], begin int) RETURNS int[] "
                                   "LANGUAGE sql BEGIN ATOMIC SELECT a[1:begin]; END;"
                                   "CREATE TABLE u (arr int[], \"USER\" int, "
                                   "CHECK (cardinality(arr[1:\"USER\"]) >= 0));"
                                   "INSERT INTO u VALUES ('{1,2,3}', 2);"
                                   "CREATE INDEX ON u ((arr[1:\"USER\"]));"));
    std::string out = temp_path("begin.sql");
    dumped d = dump(src, out);
    ASSERT_EQ(3, d.state) << d.result;
    EXPECT_EQ(std::string::npos, d.result.find("warnings")) << d.result;
    std::string script = read_file(out);
    EXPECT_NE(std::string::npos, script.find("CREATE OR REPLACE FUNCTION \"public\".\"begin\"("));
    EXPECT_NE(std::string::npos, script.find("[1: \"begin\"]")) << script;
    sandbox_fresh_db("vrsb_psql");
    ASSERT_EQ(0, psql_replay("vrsb_psql", out)) << read_file(temp_path("safety.err"));
    std::string result;
    sandbox_fresh_db("vrsb_lib");
    ASSERT_EQ(3, restore("vrsb_lib", out, "", &result)) << result;
    for (const char *db : {"vrsb_psql", "vrsb_lib"}) {
        EXPECT_EQ("7|{1,2}", q(db, "SELECT public.begin(), head('{1,2,3}', 2)")) << db;
        EXPECT_EQ("2", q(db, "SELECT \"USER\" FROM u")) << db;
    }
}

/* The partial script and the part files are made new, for the dumping
 * user alone: a link or a file planted at the names an earlier version
 * used is never written through, and the finished script is 0600. */
TEST(ReplaySafety, PlantedLinksAndFilesAreNeverWrittenThrough)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vrsp_src");
    ASSERT_EQ(0, sandbox_psql("vrsp_src", "CREATE TABLE a (x int); INSERT INTO a VALUES (1);"
                                          "CREATE TABLE b (x int); INSERT INTO b VALUES (2);"));
    std::string victim = temp_path("victim.txt"), out = temp_path("planted.sql");
    write_file(victim, "precious");
    ASSERT_EQ(0, symlink(victim.c_str(), (out + ".partial").c_str()));
    write_file(out + ".partial.part0", "foreign");
    chmod((out + ".partial.part0").c_str(), 0666);
    for (const char *jobs : {"1", "2"}) {
        dumped d = dump("vrsp_src", out, std::string(",\"jobs\":") + jobs);
        ASSERT_EQ(3, d.state) << d.result;
        EXPECT_EQ("precious", read_file(victim));
        EXPECT_EQ("foreign", read_file(out + ".partial.part0"));
        struct stat st;
        ASSERT_EQ(0, stat(out.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777u) << jobs;
        EXPECT_NE(std::string::npos, read_file(out).find("INSERT INTO \"public\".\"b\""));
        EXPECT_EQ("", partial_file(out));
    }
    /* The platform's own calls: never through a link, never over a file. */
    std::string link = temp_path("link"), dir = temp_path("private.d");
    ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
    EXPECT_EQ(nullptr, plat_create_private(link.c_str()));
    EXPECT_EQ(nullptr, plat_create_private(victim.c_str()));
    EXPECT_EQ("precious", read_file(victim));
    ASSERT_EQ(0, plat_make_private_dir(dir.c_str()));
    EXPECT_EQ(-1, plat_make_private_dir(dir.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    EXPECT_EQ(0, plat_remove_dir(dir.c_str()));
}

/* A script holding a statement past the limit fails as soon as the
 * restore has read that much of it, naming the line, instead of growing
 * without bound (the limit is lowered here; it is the server's 1 GiB). */
TEST(ReplaySafety, AHugeStatementFailsAtTheLimitWithItsLine)
{
    REQUIRE_SANDBOX();
    std::string script = temp_path("bomb.sql");
    std::string text = "SELECT 1;\nSELECT 2;\nSELECT '" + std::string(8 << 20, 'x') + "';\n";
    write_file(script, text);
    std::string zst = script + ".zst";
    bool have_zstd = run_command("zstd -q -f -o " + zst + " " + script + " 2>/dev/null") == 0;
    uint64_t saved = g_rp_statement_limit;
    g_rp_statement_limit = 1 << 20;
    for (const std::string &in : {script, have_zstd ? zst : script}) {
        std::string result;
        sandbox_fresh_db("vrs_bomb");
        EXPECT_EQ(5, restore("vrs_bomb", in, "", &result));
        EXPECT_NE(std::string::npos, result.find("line 3: a statement longer than 1048576 bytes"))
            << result;
    }
    g_rp_statement_limit = saved;
    /* Under the limit, a statement longer than a batch goes in place. */
    std::string result;
    sandbox_fresh_db("vrs_bomb");
    EXPECT_EQ(3, restore("vrs_bomb", script, "", &result)) << result;
}

/* "role": every connection of a dump and of a restore runs SET ROLE first
 * (quoted), so objects a restore makes belong to that role; a role the
 * login may not take fails before anything is read or written. */
TEST(ReplaySafety, RoleIsTakenFirstByDumpAndRestore)
{
    REQUIRE_SANDBOX();
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS vrsr_dst");
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS vrsr_src");
    sandbox_psql("postgres", "DROP ROLE IF EXISTS \"vrsr Owner\"");
    ASSERT_EQ(0, sandbox_psql("postgres", "CREATE ROLE \"vrsr Owner\""));
    sandbox_fresh_db("vrsr_src");
    ASSERT_EQ(0, sandbox_psql("vrsr_src", "CREATE TABLE t (a int); INSERT INTO t VALUES (5);"
                                          "GRANT SELECT ON t TO \"vrsr Owner\";"));
    std::string out = temp_path("role.sql");
    dumped d = dump("vrsr_src", out, ",\"role\":\"vrsr Owner\",\"include_owners\":false");
    ASSERT_EQ(3, d.state) << d.result;
    sandbox_fresh_db("vrsr_dst");
    ASSERT_EQ(0, sandbox_psql("vrsr_dst", "ALTER SCHEMA public OWNER TO \"vrsr Owner\""));
    std::string result;
    EXPECT_EQ(3, restore("vrsr_dst", out, ",\"role\":\"vrsr Owner\"", &result)) << result;
    EXPECT_EQ("vrsr Owner|5", q("vrsr_dst", "SELECT tableowner, (SELECT a FROM t) FROM "
                                            "pg_tables WHERE tablename = 't'"));
    d = dump("vrsr_src", out, ",\"role\":\"vrsr nobody\"");
    EXPECT_EQ(5, d.state);
    EXPECT_NE(std::string::npos, d.result.find("SET ROLE failed: ")) << d.result;
    EXPECT_EQ(5, restore("vrsr_dst", out, ",\"role\":\"vrsr nobody\"", &result));
    EXPECT_NE(std::string::npos, result.find("SET ROLE failed: ")) << result;
}

/* A man in the middle swaps a function's definition for a statement that
 * runs a program on the database host: the dump refuses it, naming the
 * function, and no script is put in place. */
TEST(ReplaySafety, ASwappedStatementFromTheServerFailsTheRun)
{
    REQUIRE_SANDBOX();
    sandbox_fresh_db("vrsm_src");
    ASSERT_EQ(0, sandbox_psql("vrsm_src", "CREATE FUNCTION victim() RETURNS int LANGUAGE sql "
                                          "RETURN 1;"));
    const std::string real = "CREATE OR REPLACE FUNCTION public.victim()";
    std::string fake = "COPY (SELECT 1) TO PROGRAM 'id'";
    fake.resize(real.size(), ' ');
    tcp_proxy proxy(sandbox_server()->host, sandbox_server()->port);
    proxy.swap_server_bytes(real, fake);
    std::string out = temp_path("swapped.sql");
    std::string cfg = sandbox_config(SANDBOX_TRUST_USER, "", "vrsm_src",
                                     "\"out_path\":\"" + out + "\",\"complete\":true");
    std::string port = std::to_string(sandbox_server()->port);
    cfg.replace(cfg.find(port), port.size(), std::to_string(proxy.port()));
    int s = pgdump_start(cfg.c_str());
    ASSERT_GE(s, 0);
    EXPECT_EQ(5, wait_final(s));
    std::string result = pgdump_result(s);
    pgdump_free(s);
    EXPECT_NE(std::string::npos,
              result.find("server text for function \\\"public\\\".\\\"victim\\\" does "
                          "not begin with CREATE FUNCTION and its own name"))
        << result;
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(std::string::npos, read_file(partial_file(out)).find("PROGRAM"));
}
