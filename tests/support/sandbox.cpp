#include "sandbox.h"

#include "dump_wait.h"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

const sandbox_info *sandbox_server()
{
    static sandbox_info info;
    static int state; /* 0 unknown, 1 present, -1 absent */
    if (state == 0) {
        const char *host = getenv("PGDUMP_TEST_HOST");
        const char *port = getenv("PGDUMP_TEST_PORT");
        if (host && *host && port && *port) {
            info.host = host;
            info.port = atoi(port);
            state = 1;
        } else {
            state = -1;
        }
    }
    return state == 1 ? &info : nullptr;
}

bool sandbox_required()
{
    const char *v = getenv("PGDUMP_REQUIRE_SERVER");
    return v && *v == '1';
}

static std::string shell_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

static std::string psql_base(const std::string &db)
{
    const sandbox_info *sb = sandbox_server();
    return "PGCLIENTENCODING=UTF8 psql -X -q -v ON_ERROR_STOP=1 -h " + shell_quote(sb->host) +
           " -p " + std::to_string(sb->port) + " -U " SANDBOX_TRUST_USER " -d " + shell_quote(db);
}

int run_command(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    if (rc == -1)
        return -1;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int sandbox_psql(const std::string &db, const std::string &sql)
{
    return run_command(psql_base(db) + " -c " + shell_quote(sql) + " >/dev/null 2>&1");
}

std::string sandbox_psql_output(const std::string &db, const std::string &sql)
{
    std::string cmd = psql_base(db) + " -At -c " + shell_quote(sql) + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return std::string();
    std::string out = read_all(p);
    pclose(p);
    return out;
}

void sandbox_fresh_db(const std::string &name, const std::string &extra)
{
    std::string q = "\"";
    for (char c : name)
        q += (c == '"') ? std::string("\"\"") : std::string(1, c);
    q += "\"";
    sandbox_psql("postgres", "DROP DATABASE IF EXISTS " + q + " WITH (FORCE)");
    ASSERT_EQ(0, sandbox_psql("postgres", "CREATE DATABASE " + q + " TEMPLATE template0 " + extra))
        << "cannot create database " << name;
}

static std::string json_text(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string sandbox_config(const std::string &user, const std::string &password,
                           const std::string &db, const std::string &extra)
{
    const sandbox_info *sb = sandbox_server();
    std::string c = "{\"host\":" + json_text(sb ? sb->host : "127.0.0.1") +
                    ",\"port\":" + std::to_string(sb ? sb->port : 5432) +
                    ",\"user\":" + json_text(user) + ",\"password\":" + json_text(password) +
                    ",\"database\":" + json_text(db);
    if (!extra.empty())
        c += "," + extra;
    return c + "}";
}
