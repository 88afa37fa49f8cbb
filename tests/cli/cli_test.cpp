/*
 * The command-line host, run as a separate process the way people run it:
 * with pipes, or on a pseudo-terminal for the progress line, Ctrl-C and
 * the password prompt.  Its --json output is compared with the library's
 * own replies to the same configuration, called in this process.
 */
#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

const char *const cli_path = PGDUMP_CLI_PATH;

struct cli_result {
    int rc = -1;
    std::string out, err;
};

/* The caller's environment without PG* variables, which would otherwise
 * leak a developer's settings into the runs, plus the given entries. */
std::vector<std::string> child_env(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, "PG", 2) != 0)
            env.push_back(*e);
    for (const std::string &x : extra)
        env.push_back(x);
    return env;
}

std::vector<std::string> sandbox_env(const std::string &user = SANDBOX_TRUST_USER)
{
    const sandbox_info *sb = sandbox_server();
    return {"PGHOST=" + sb->host, "PGPORT=" + std::to_string(sb->port), "PGUSER=" + user};
}

[[noreturn]] void exec_cli(const std::vector<std::string> &args,
                           const std::vector<std::string> &env)
{
    std::vector<char *> argv{const_cast<char *>(cli_path)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(cli_path, argv.data(), envp.data());
    _exit(127);
}

int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

struct child {
    pid_t pid = -1;
    int out = -1, err = -1;
};

child start_cli(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    int o[2], e[2];
    child c;
    if (pipe(o) != 0 || pipe(e) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]);
        close(e[0]);
        /* A process group of its own: no terminal to inherit signals from. */
        setpgid(0, 0);
        exec_cli(args, env);
    }
    close(o[1]);
    close(e[1]);
    c.out = o[0];
    c.err = e[0];
    return c;
}

/* Drains both pipes and reaps the child; kills it after timeout_ms. */
cli_result finish_cli(child &c, int timeout_ms = 60000)
{
    cli_result r;
    int waited = 0;
    struct pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && waited < timeout_ms) {
        int n = poll(fds, 2, 100);
        if (n == 0)
            waited += 100;
        for (int i = 0; i < 2 && n > 0; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, (size_t)got);
            }
        }
    }
    if (open_fds > 0) {
        kill(c.pid, SIGKILL);
        for (auto &f : fds)
            if (f.fd >= 0)
                close(f.fd);
    }
    int status = 0;
    waitpid(c.pid, &status, 0);
    r.rc = open_fds > 0 ? -2 : exit_code(status);
    return r;
}

cli_result run_cli(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    child c = start_cli(args, child_env(env));
    return finish_cli(c);
}

/* A run on a pseudo-terminal of 100 columns: what a person sees. */
struct pty_run {
    pid_t pid = -1;
    int master = -1;
    std::string seen;

    bool start(const std::vector<std::string> &args, const std::vector<std::string> &env)
    {
        struct winsize ws = {};
        ws.ws_row = 24;
        ws.ws_col = 100;
        pid = forkpty(&master, nullptr, nullptr, &ws);
        if (pid == 0)
            exec_cli(args, child_env(env));
        return pid > 0;
    }
    /* Reads until done(output) holds; false on time-out or end. */
    template <typename Pred> bool wait_until(Pred done, int timeout_ms = 30000)
    {
        for (int waited = 0; !done(seen); waited += 50) {
            if (waited >= timeout_ms)
                return false;
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0)
                    return false;
                seen.append(buf, (size_t)n);
            }
        }
        return true;
    }
    void type(const std::string &keys)
    {
        ssize_t n = write(master, keys.data(), keys.size());
        (void)n;
    }
    /* Reads to the end of the output (EIO once the child is gone). */
    int finish(int timeout_ms = 30000)
    {
        char buf[4096];
        for (int waited = 0; waited < timeout_ms;) {
            struct pollfd p = {master, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r == 0) {
                waited += 100;
                continue;
            }
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, (size_t)n);
        }
        close(master);
        int status = 0;
        for (int i = 0; i < 100; i++) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return exit_code(status);
            usleep(50000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }
};

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class CliTest : public ::testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/pgdump-cli-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { run_command("rm -rf '" + dir + "'"); }
};

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
                                               {"test", "-h"}}) {
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
        {{"test", "-U", "bell\x07user"}, {}, "control byte 0x07"},
        {{"test"}, {"PGPASSWORD=" + std::string(256, 'p')}, "password is too long"},
        {{"test"}, {"PGPASSWORD=" + std::string(128, '"')}, "password is too long"},
        {{"test", "-U", std::string(128, 'u')}, {}, "user name is too long"},
        {{"dump", "-d", "db", "-f", std::string(1024, 'f')}, {}, "output path is too long"},
        {{"dump", "-d", "db", "-t", std::string(128, 't')}, {}, "a table name is too long"},
        {{"test", "-p", "99999"}, {}, "invalid port"},
        {{"test", "-h", "/var/run/postgresql"}, {}, "only TCP"},
        {{"dump", "-U", "x"}, {}, "no database"},
        {{"test", "--config", "/nonexistent.json", "-U", "x"}, {}, "cannot be combined with -U"},
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

    /* At the limit the value goes through, and the login fails its own way. */
    cli_result r = run_cli({"test", "-U", std::string(127, 'u')}, env);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(std::string::npos, r.err.find("too long")) << r.err;
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
    const std::string password = "pa\"ss\\w\tord";
    sandbox_psql("postgres", "DROP ROLE IF EXISTS \"cli \"\"q\\role\"");
    ASSERT_EQ(0, sandbox_psql("postgres", "SET password_encryption = 'scram-sha-256'; CREATE ROLE "
                                          "\"cli \"\"q\\role\" LOGIN PASSWORD 'pa\"ss\\w\tord'"));
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
    cli_result r = run_cli({"dump", "-d", "cli_src", "-f", out, "--drop", "--rows-per-insert", "7"},
                           sandbox_env());
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("Dumped 2 tables, 1,300 rows, ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(out)) << r.out;
    EXPECT_EQ("", r.err) << "no progress output without a terminal";

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
    r = run_cli({"dump", "-d", "cli_src", "-f", schema, "-t", "lines", "--no-data"}, sandbox_env());
    ASSERT_EQ(0, r.rc) << r.err;
    script = read_file(schema);
    EXPECT_NE(std::string::npos, script.find("CREATE TABLE \"lines\""));
    EXPECT_EQ(std::string::npos, script.find("people"));
    EXPECT_EQ(std::string::npos, script.find("INSERT"));

    /* A table that does not exist fails the dump with the server's text. */
    r = run_cli({"dump", "-d", "cli_src", "-f", dir + "/bad.sql", "-t", "nope"}, sandbox_env());
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: error: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("nope")) << r.err;
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
    ASSERT_EQ(0, sandbox_psql("cli_slow",
                              "CREATE TABLE slow (id int PRIMARY KEY, v text);"
                              "INSERT INTO slow SELECT g, 'row ' || g FROM "
                              "generate_series(1, 20000) g;"
                              "GRANT SELECT ON slow TO cli_reader; ANALYZE slow"));
}

tcp_proxy *slow_proxy()
{
    static tcp_proxy *proxy = nullptr;
    if (proxy == nullptr) {
        proxy = new tcp_proxy(sandbox_server()->host, sandbox_server()->port);
        proxy->set_server_rate(60000);
    }
    return proxy;
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
    if (line.find("% [") == std::string::npos || line.find(" slow ") == std::string::npos ||
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
    std::string script = read_file(out + ".partial");
    EXPECT_EQ(0u, script.find("-- veltrano-pgdump 1.0.0\n"));
    EXPECT_NE(std::string::npos, script.find("INSERT INTO \"slow\""));
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
    for (int i = 0; i < 300 && !file_exists(out + ".partial"); i++)
        usleep(50000);
    ASSERT_TRUE(file_exists(out + ".partial"));
    usleep(1500000);
    kill(c.pid, SIGINT);
    cli_result r = finish_cli(c, 30000);
    EXPECT_EQ(130, r.rc) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string::npos, r.err.find('\r')) << r.err;
    EXPECT_EQ(0u, r.err.find("veltrano-pgdump: cancelled")) << r.err;
    EXPECT_NE(std::string::npos, read_file(out + ".partial").find("INSERT INTO \"slow\""));
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
