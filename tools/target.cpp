/*
 * From options and the PG* environment variables to the configuration
 * document the library is handed.
 */
#include "target.h"

#include "cli.h"
#include "commands.h"
#include "config_doc.h"
#include "reply.h"
#include "terminal.h"
#include "text_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

/* The password from the prompt or PGPASSWORD: 0, or an exit status. */
int find_password(const options &o, std::string &password)
{
    const char *v;
    if (o.ask_password) {
        int rc = prompt_password("Password: ", password);
        if (rc == 1)
            return EXIT_CANCELLED;
        if (rc < 0) {
            error_msg("cannot prompt for a password: no terminal");
            return EXIT_FAIL;
        }
    } else if ((v = getenv("PGPASSWORD")) != nullptr) {
        password = v;
    }
    return 0;
}

} // namespace

int resolve_target(const options &o, const command_def *cmd, target &t)
{
    if (o.config_set)
        return from_config_file(o, t);

    const char *v;
    std::string host = o.host_set ? o.host : ((v = env_or_null("PGHOST")) ? v : "");
    std::string port = o.port_set ? o.port : ((v = env_or_null("PGPORT")) ? v : "");
    std::string user = o.user_set ? o.user : ((v = env_or_null("PGUSER")) ? v : login_name());
    std::string db = o.dbname_set ? o.dbname : ((v = env_or_null("PGDATABASE")) ? v : "");
    std::string auth =
        o.require_auth_set ? o.require_auth : ((v = env_or_null("PGREQUIREAUTH")) ? v : "");

    if (!host.empty() && host[0] == '/') {
        error_msg("host \"" + host +
                  "\" is a Unix-domain socket directory; only TCP is supported, give a host "
                  "name or address");
        return EXIT_FAIL;
    }
    long port_number = 0;
    if (!port.empty()) {
        char *end = nullptr;
        errno = 0;
        port_number = strtol(port.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || port_number < 1 || port_number > 65535) {
            error_msg("invalid port \"" + port + "\"");
            return EXIT_FAIL;
        }
    }
    if (user.empty()) {
        error_msg("no user name: give -U USER or set PGUSER");
        return EXIT_FAIL;
    }
    std::string password;
    int rc = find_password(o, password);
    if (rc != 0)
        return rc;

    config_doc c;
    if (!host.empty())
        cd_text(c, "host", host, LIMIT_HOST, "the host name");
    if (port_number != 0)
        cd_number(c, "port", port_number);
    cd_text(c, "user", user, LIMIT_USER, "the user name");
    if (!password.empty())
        cd_text(c, "password", password, LIMIT_PASSWORD, "the password");
    if (!db.empty())
        cd_text(c, "database", db, LIMIT_DATABASE, "the database name");
    if (!auth.empty())
        cd_text(c, "require_auth", auth, LIMIT_REQUIRE_AUTH, "the require_auth list");
    t.dbname = db;
    t.user = user;
    t.no_password = password.empty();
    t.server = (host.empty() ? "127.0.0.1" : host) + ":" + (port.empty() ? "5432" : port);
    if (cmd->configure != nullptr && (rc = cmd->configure(o, c, t)) != 0)
        return rc;
    if (c.failed) {
        error_msg(c.err);
        return EXIT_FAIL;
    }
    t.config = cd_text_of(c);
    return 0;
}
