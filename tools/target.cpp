/*
 * From options and the PG* environment variables to the configuration
 * document the library is handed.
 */
#include "target.h"

#include "cli.h"
#include "commands.h"
#include "config_doc.h"
#include "conninfo.h"
#include "pgpass.h"
#include "reply.h"
#include "terminal.h"
#include "text_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "veltrano-pgdump.h"

namespace
{

bool read_file(const std::string &path, std::string &out, std::string &err)
{
    FILE *f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (f == nullptr) {
        err = "cannot read configuration file \"" + path + "\": " + strerror(errno);
        return false;
    }
    char chunk[4096];
    size_t n;
    out.clear();
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        out.append(chunk, n);
        /* The library's token pool holds far less than this. */
        if (out.size() > (1u << 20)) {
            err = "configuration file \"" + path + "\" is larger than 1 MiB";
            if (f != stdin)
                fclose(f);
            return false;
        }
    }
    if (f != stdin)
        fclose(f);
    if (memchr(out.data(), '\0', out.size()) != nullptr) {
        err = "configuration file \"" + path + "\" holds a NUL byte";
        return false;
    }
    return true;
}

const char *env_or_null(const char *name)
{
    const char *v = getenv(name);
    return (v != nullptr && *v != '\0') ? v : nullptr;
}

} // namespace

namespace
{

/* --config: the document goes to the library as it is. */
int from_config_file(const options &o, target &t)
{
    std::string clash;
    if (o.host_set)
        clash = "-h";
    else if (o.port_set)
        clash = "-p";
    else if (o.user_set)
        clash = "-U";
    else if (o.dbname_set)
        clash = "-d";
    else if (o.ask_password)
        clash = "-W";
    else if (o.require_auth_set)
        clash = "--require-auth";
    for (const own_option &opt : o.own)
        if (clash.empty() && opt.long_name != "progress" && opt.long_name != "no-progress")
            clash = opt.shown;
    if (!clash.empty()) {
        error_msg("--config cannot be combined with " + clash +
                  ": the document is passed as it is");
        return EXIT_FAIL;
    }
    std::string err;
    if (!read_file(o.config_file, t.config, err)) {
        error_msg(err);
        return EXIT_FAIL;
    }
    /* A strict reading, when it succeeds, tells the progress display
     * which tables the dump will take; the library reads the document
     * leniently and stays the judge of it. */
    json doc = reply_parse(t.config.c_str());
    if (doc.is_object()) {
        t.dbname = jstr(doc, "database");
        t.tables = jstrings(doc, "tables");
        t.exclude_tables = jstrings(doc, "exclude_tables");
        t.complete = jflag(doc, "complete");
        const json *data = jget(doc, "include_data");
        /* The library turns the rows off for the word false, quoted or not. */
        t.include_data = !(data != nullptr && ((data->is_boolean() && !data->get<bool>()) ||
                                               (data->is_string() && *data == "false")));
    }
    return 0;
}

/* The connection's values after libpq's order: a connection string in -d
 * wins over -h, -p, -U, -W and --require-auth, which win over the PG*
 * variables. */
struct conn_values {
    conninfo ci; /* -d's connection string; empty when -d is a plain name */
    std::string host, port, user, password, db, auth, passfile;
    bool prompt = false; /* -W, unless the connection string holds a password */
};

/* From the connection string, else the option, else the variable. */
std::string pick(const conninfo &ci, const char *key, bool opt_set, const std::string &opt,
                 const char *var)
{
    const std::string *v = ci_get(ci, key);
    if (v != nullptr)
        return *v;
    if (opt_set)
        return opt;
    const char *e = var != nullptr ? env_or_null(var) : nullptr;
    return e != nullptr ? e : "";
}

int gather(const options &o, conn_values &cv)
{
    bool is_ci = o.dbname_set && ci_is_conninfo(o.dbname);
    if (is_ci && ci_parse(o.dbname, cv.ci) != 0) {
        error_msg("invalid connection string: " + cv.ci.error);
        return EXIT_FAIL;
    }
    const conninfo &ci = cv.ci;
    cv.host = pick(ci, "host", o.host_set, o.host, "PGHOST");
    cv.port = pick(ci, "port", o.port_set, o.port, "PGPORT");
    cv.user = pick(ci, "user", o.user_set, o.user, "PGUSER");
    if (cv.user.empty() && ci_get(ci, "user") == nullptr && !o.user_set)
        cv.user = login_name();
    cv.db = pick(ci, "dbname", o.dbname_set && !is_ci, o.dbname, "PGDATABASE");
    cv.auth = pick(ci, "require_auth", o.require_auth_set, o.require_auth, "PGREQUIREAUTH");
    cv.passfile = pick(ci, "passfile", false, "", "PGPASSFILE");
    const std::string *pw = ci_get(ci, "password");
    cv.prompt = o.ask_password && pw == nullptr;
    if (pw != nullptr)
        cv.password = *pw;
    else if (!o.ask_password && env_or_null("PGPASSWORD") != nullptr)
        cv.password = getenv("PGPASSWORD");
    /* "[::1]" as in a URI: the brackets only set the address apart. */
    if (cv.host.size() > 2 && cv.host.front() == '[' && cv.host.back() == ']')
        cv.host = cv.host.substr(1, cv.host.size() - 2);
    return 0;
}

/* The password from the prompt, or else the password file when none was
 * given: 0, or an exit status. */
int find_password(conn_values &cv)
{
    if (cv.prompt) {
        int rc = prompt_password("Password: ", cv.password);
        if (rc == 1)
            return EXIT_CANCELLED;
        if (rc < 0) {
            error_msg("cannot prompt for a password: no terminal");
            return EXIT_FAIL;
        }
        return 0;
    }
    if (!cv.password.empty())
        return 0;
    std::string text, warning;
    if (pgpass_read(cv.passfile, text, warning) != 0) {
        if (!warning.empty())
            fprintf(stderr, "%s: warning: %s\n", g_prog, printable(warning).c_str());
        return 0;
    }
    /* The library logs in to "postgres" when no database is named. */
    pgpass_key key = {cv.host, cv.port.empty() ? "5432" : cv.port,
                      cv.db.empty() ? "postgres" : cv.db, cv.user};
    pgpass_match(text, key, cv.password);
    return 0;
}

/* TLS and time-out keys from the connection string or libpq's variables,
 * last in the document.  Like PostgreSQL's tools the host asks for TLS
 * when the server offers it (sslmode prefer) unless told otherwise. */
void add_connection_keys(config_doc &c, const conninfo &ci)
{
    /* A refused value is named by where it came from. */
    std::string v = pick(ci, "sslmode", false, "", "PGSSLMODE");
    const char *what = ci_get(ci, "sslmode") != nullptr ? "sslmode" : "PGSSLMODE";
    cd_text(c, "sslmode", v.empty() ? "prefer" : v, LIMIT_SSLMODE, what);
    static const struct {
        const char *var, *key;
        size_t limit;
    } texts[] = {
        {"PGSSLROOTCERT", "sslrootcert", LIMIT_FILE},
        {"PGSSLCERT", "sslcert", LIMIT_FILE},
        {"PGSSLKEY", "sslkey", LIMIT_FILE},
        {"PGCHANNELBINDING", "channel_binding", LIMIT_SSLMODE},
    };
    for (const auto &t : texts)
        if (!(v = pick(ci, t.key, false, "", t.var)).empty())
            cd_text(c, t.key, v, t.limit, ci_get(ci, t.key) != nullptr ? t.key : t.var);
    if (!(v = pick(ci, "sslsni", false, "", "PGSSLSNI")).empty())
        cd_flag(c, "sslsni", v != "0");
    const std::string *ct = ci_get(ci, "connect_timeout");
    if (ct != nullptr) {
        char *end = nullptr;
        errno = 0;
        long n = strtol(ct->c_str(), &end, 10);
        if (ct->empty() || *end != '\0' || errno != 0 || n < 0 || n > 86400) {
            c.failed = true;
            c.err = "invalid connect_timeout \"" + *ct + "\": give seconds, 0 to 86400";
            return;
        }
        cd_number(c, "connect_timeout", n);
    } else if (const char *e = env_or_null("PGCONNECT_TIMEOUT")) {
        cd_number(c, "connect_timeout", atol(e));
    }
}

/* The port as a number, 0 for none, -1 after printing why it is bad. */
long port_number(const std::string &port)
{
    if (port.empty())
        return 0;
    char *end = nullptr;
    errno = 0;
    long n = strtol(port.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || n < 1 || n > 65535) {
        error_msg("invalid port \"" + printable(port) + "\"");
        return -1;
    }
    return n;
}

/* Like libpq's tools: with no password given, on a terminal, a login
 * the server answers with a password request prompts for one.  The probe
 * allows no method, so it ends before any password would be sent.  0, or
 * an exit status. */
int prompt_when_asked(const options &o, conn_values &cv, long port)
{
    if (!cv.password.empty() || cv.prompt || o.never_prompt || o.print_config ||
        !isatty(STDIN_FILENO) || !isatty(STDERR_FILENO))
        return 0;
    config_doc probe;
    if (!cv.host.empty())
        cd_text(probe, "host", cv.host, LIMIT_HOST, "the host name");
    if (port != 0)
        cd_number(probe, "port", port);
    cd_text(probe, "user", cv.user, LIMIT_USER, "the user name");
    if (!cv.db.empty())
        cd_text(probe, "database", cv.db, LIMIT_DATABASE, "the database name");
    cd_text(probe, "require_auth", "none", LIMIT_REQUIRE_AUTH, "the require_auth list");
    add_connection_keys(probe, cv.ci);
    if (probe.failed)
        return 0; /* the run itself reports it */
    json reply = reply_parse(pgdump_test_connection(cd_text_of(probe).c_str()));
    std::string error = jstr(reply, "error");
    /* "... requirement "none" failed: server requested a cleartext
     * password" (or a hashed one, or SASL). */
    if (jflag(reply, "ok") || error.find("failed: server requested") == std::string::npos)
        return 0;
    cv.prompt = true;
    return find_password(cv);
}

} // namespace

int resolve_target(const options &o, const command_def *cmd, target &t)
{
    if (o.config_set)
        return from_config_file(o, t);

    conn_values cv;
    int rc = gather(o, cv);
    if (rc != 0)
        return rc;
    if (!cv.host.empty() && cv.host[0] == '/') {
        error_msg("host \"" + cv.host +
                  "\" is a Unix-domain socket directory; only TCP is supported, give a host "
                  "name or address");
        return EXIT_FAIL;
    }
    long port = port_number(cv.port);
    if (port < 0)
        return EXIT_FAIL;
    if (cv.user.empty()) {
        error_msg("no user name: give -U USER or set PGUSER");
        return EXIT_FAIL;
    }
    if ((rc = find_password(cv)) != 0 || (rc = prompt_when_asked(o, cv, port)) != 0)
        return rc;

    config_doc c;
    if (!cv.host.empty())
        cd_text(c, "host", cv.host, LIMIT_HOST, "the host name");
    if (port != 0)
        cd_number(c, "port", port);
    cd_text(c, "user", cv.user, LIMIT_USER, "the user name");
    if (!cv.password.empty())
        cd_text(c, "password", cv.password, LIMIT_PASSWORD, "the password");
    if (!cv.db.empty())
        cd_text(c, "database", cv.db, LIMIT_DATABASE, "the database name");
    if (!cv.auth.empty())
        cd_text(c, "require_auth", cv.auth, LIMIT_REQUIRE_AUTH, "the require_auth list");
    t.dbname = cv.db;
    t.user = cv.user;
    t.no_password = cv.password.empty();
    std::string host = cv.host.empty() ? "127.0.0.1" : cv.host;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    t.server = host + ":" + (cv.port.empty() ? "5432" : cv.port);
    if (cmd->configure != nullptr && (rc = cmd->configure(o, c, t)) != 0)
        return rc;
    add_connection_keys(c, cv.ci);
    if (c.failed) {
        error_msg(c.err);
        return EXIT_FAIL;
    }
    t.config = cd_text_of(c);
    return 0;
}
