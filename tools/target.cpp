/*
 * From options and the PG* environment variables to the configuration
 * document the library is handed.
 */
#include "target.h"

#include "cli.h"
#include "config_doc.h"
#include "json_read.h"
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

/* Returns 0 with t filled, EXIT_FAIL after printing the reason, or
 * EXIT_CANCELLED when the password prompt was interrupted. */
int resolve_target(options &o, target &t)
{
    if (o.config_set) {
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
        for (const std::string &opt : o.only_dump)
            if (clash.empty() && opt != "--progress" && opt != "--no-progress")
                clash = opt;
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
        jvalue doc;
        if (json_parse(t.config.c_str(), doc) && doc.kind == jvalue::OBJ) {
            t.dbname = doc.str("database");
            const jvalue *list = doc.get("tables");
            if (list != nullptr && list->kind == jvalue::ARR) {
                for (const jvalue &v : list->items)
                    if (v.kind == jvalue::STR)
                        t.tables.push_back(v.text);
            }
            const jvalue *data = doc.get("include_data");
            /* The library turns the rows off for the word false, quoted or not. */
            bool off = data != nullptr && ((data->kind == jvalue::BOOL && !data->b) ||
                                           (data->kind == jvalue::STR && data->text == "false"));
            t.include_data = !off;
        }
        return 0;
    }

    const char *v;
    std::string host = o.host_set ? o.host : ((v = env_or_null("PGHOST")) ? v : "");
    std::string port = o.port_set ? o.port : ((v = env_or_null("PGPORT")) ? v : "");
    std::string user = o.user_set ? o.user : ((v = env_or_null("PGUSER")) ? v : login_name());
    std::string db = o.dbname_set ? o.dbname : ((v = env_or_null("PGDATABASE")) ? v : "");

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

    config_doc c;
    if (!host.empty())
        c.add_text("host", host, LIMIT_HOST, "the host name");
    if (port_number != 0)
        c.add_number("port", port_number);
    c.add_text("user", user, LIMIT_USER, "the user name");
    if (!password.empty())
        c.add_text("password", password, LIMIT_PASSWORD, "the password");
    if (!db.empty())
        c.add_text("database", db, LIMIT_DATABASE, "the database name");

    if (o.command == CMD_DUMP) {
        if (db.empty()) {
            error_msg("no database: give -d DBNAME or set PGDATABASE");
            return EXIT_FAIL;
        }
        if (o.no_schema && o.no_data) {
            error_msg("--no-schema and --no-data together leave nothing to dump");
            return EXIT_FAIL;
        }
        std::string out = o.out_file;
        if (!o.out_set) {
            /* The default name must stay in the current directory. */
            out = db;
            for (char &ch : out)
                if (ch == '/')
                    ch = '_';
            out += ".sql";
        }
        if (out.empty()) {
            error_msg("the output file name is empty");
            return EXIT_FAIL;
        }
        c.add_text("out_path", out, LIMIT_OUT_PATH, "the output path");
        c.add_tables(o.tables);
        if (o.no_schema)
            c.add_flag("include_schema", false);
        if (o.no_data)
            c.add_flag("include_data", false);
        if (o.drop)
            c.add_flag("include_drop", true);
        if (o.rows_per_insert > 0)
            c.add_number("rows_per_insert", o.rows_per_insert);
    }
    if (c.failed) {
        error_msg(c.err);
        return EXIT_FAIL;
    }
    t.config = c.finish();
    t.dbname = db;
    t.tables = o.tables;
    t.include_data = !o.no_data;
    t.user = user;
    t.no_password = password.empty();
    t.server = (host.empty() ? "127.0.0.1" : host) + ":" + (port.empty() ? "5432" : port);
    return 0;
}
