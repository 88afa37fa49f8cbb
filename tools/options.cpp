/*
 * The command line: usage texts and the parsing of options and command
 * words into an options record.
 */
#include "options.h"

#include "cli.h"
#include "text_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

const char *const g_usage_main =
    "veltrano-pgdump inspects PostgreSQL databases and dumps the tables of schema\n"
    "public into a plain SQL script.\n"
    "\n"
    "Usage:\n"
    "  veltrano-pgdump [OPTION]... COMMAND [OPTION]...\n"
    "\n"
    "Commands:\n"
    "  test        log in and show the server version\n"
    "  databases   list the databases that are not templates\n"
    "  tables      list the tables of schema public, with row estimates and sizes\n"
    "  dump        write the tables of schema public into one SQL script\n"
    "  help [CMD]  show help for a command\n"
    "\n"
    "Connection options:\n"
    "  -h, --host=HOST          server host name or address (default: $PGHOST, then\n"
    "                           127.0.0.1)\n"
    "  -p, --port=PORT          server port (default: $PGPORT, then 5432)\n"
    "  -U, --username=USER      user name (default: $PGUSER, then the login name)\n"
    "  -d, --dbname=DBNAME      database (default: $PGDATABASE; test and databases\n"
    "                           use \"postgres\" without one)\n"
    "  -W, --password           prompt for the password (default: $PGPASSWORD)\n"
    "      --config=FILE        take the whole configuration JSON from FILE (\"-\" for\n"
    "                           standard input) as it is; the connection and dump\n"
    "                           options above and below are then refused\n"
    "\n"
    "Other options:\n"
    "      --json               print the library's JSON replies as they are\n"
    "  -V, --version            show the version and exit\n"
    "  -?, --help               show this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 130 when a dump was cancelled.\n";

const char *const g_usage_test = "Usage: veltrano-pgdump test [CONNECTION OPTION]... [--json]\n"
                                 "\n"
                                 "Logs in to the server and shows its version.  Without -d the\n"
                                 "login goes to the database \"postgres\".\n";

const char *const g_usage_databases =
    "Usage: veltrano-pgdump databases [CONNECTION OPTION]... [--json]\n"
    "\n"
    "Lists the databases of the server that are not templates, in name order.\n";

const char *const g_usage_tables =
    "Usage: veltrano-pgdump tables -d DBNAME [CONNECTION OPTION]... [--json]\n"
    "\n"
    "Lists the ordinary tables of schema public of DBNAME with the planner's row\n"
    "estimate (0 until the table has been analysed) and the size on disk,\n"
    "indexes and TOAST data included.\n";

const char *const g_usage_dump =
    "Usage: veltrano-pgdump dump -d DBNAME [-f FILE] [OPTION]...\n"
    "\n"
    "Dumps the ordinary tables of schema public (at most 512) into one SQL script\n"
    "inside one read-only snapshot.  The script holds sequences, CREATE TABLE with\n"
    "the primary key, and INSERT statements; replay it with\n"
    "  psql -X -v ON_ERROR_STOP=1 -f FILE -d NEWDB\n"
    "\n"
    "Dump options:\n"
    "  -f, --file=FILE          output file (default: DBNAME.sql)\n"
    "  -t, --table=TABLE        dump only this table, exactly as named (repeatable)\n"
    "      --no-schema          leave out DROP/CREATE statements\n"
    "      --no-data            leave out the rows\n"
    "      --drop               write DROP TABLE IF EXISTS ... CASCADE before each table\n"
    "      --rows-per-insert=N  rows per INSERT statement, 1 to 1000 (default 100)\n"
    "      --progress           plain progress lines every 5 s even without a terminal\n"
    "      --no-progress        no progress output\n"
    "\n"
    "A progress line is drawn on standard error while it is a terminal.  Ctrl-C\n"
    "cancels the dump; the partial script stays on disk and the exit status is 130.\n"
    "With --json the final result reply is printed on standard output.\n"
    "\n"
    "Connection options as for the other commands (see veltrano-pgdump --help).\n";

void print_usage(const std::string &topic)
{
    if (topic == "test")
        fputs(g_usage_test, stdout);
    else if (topic == "databases")
        fputs(g_usage_databases, stdout);
    else if (topic == "tables")
        fputs(g_usage_tables, stdout);
    else if (topic == "dump")
        fputs(g_usage_dump, stdout);
    else
        fputs(g_usage_main, stdout);
}

int usage_error(const std::string &text)
{
    fprintf(stderr, "%s: error: %s\n", g_prog, printable(text).c_str());
    fprintf(stderr, "Try \"%s --help\" for more information.\n", g_prog);
    return EXIT_FAIL;
}

bool parse_command(const std::string &word, command_t &out)
{
    if (word == "test")
        out = CMD_TEST;
    else if (word == "databases")
        out = CMD_DATABASES;
    else if (word == "tables")
        out = CMD_TABLES;
    else if (word == "dump")
        out = CMD_DUMP;
    else if (word == "help")
        out = CMD_HELP;
    else
        return false;
    return true;
}

/* Options may come before or after the command word, in the forms -xVALUE,
 * -x VALUE, --long=VALUE and --long VALUE; "--" ends them. */
int parse_args(int argc, char **argv, options &o)
{
    struct spec {
        char short_name;
        const char *long_name;
        bool has_arg;
    };
    static const spec specs[] = {
        {'h', "host", true},    {'p', "port", true},       {'U', "username", true},
        {'d', "dbname", true},  {'W', "password", false},  {0, "config", true},
        {0, "json", false},     {'V', "version", false},   {'?', "help", false},
        {'f', "file", true},    {'t', "table", true},      {0, "no-schema", false},
        {0, "no-data", false},  {0, "drop", false},        {0, "rows-per-insert", true},
        {0, "progress", false}, {0, "no-progress", false},
    };
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            if (o.command == CMD_NONE) {
                if (!parse_command(arg, o.command))
                    return usage_error("unknown command \"" + arg + "\"");
            } else if (o.command == CMD_HELP && o.help_topic.empty()) {
                o.help_topic = arg;
            } else {
                return usage_error("unexpected argument \"" + arg + "\"");
            }
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        const spec *sp = nullptr;
        std::string value;
        bool have_value = false;
        std::string shown;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                have_value = true;
                name = name.substr(0, eq);
            }
            for (const spec &s : specs)
                if (name == s.long_name)
                    sp = &s;
            shown = "--" + name;
            if (sp == nullptr)
                return usage_error("unknown option \"" + shown + "\"");
            if (have_value && !sp->has_arg)
                return usage_error("option " + shown + " takes no value");
        } else {
            for (const spec &s : specs)
                if (s.short_name != 0 && arg[1] == s.short_name)
                    sp = &s;
            shown = std::string("-") + arg[1];
            if (sp == nullptr)
                return usage_error("unknown option \"" + shown + "\"");
            if (arg.size() > 2) {
                if (!sp->has_arg)
                    return usage_error("option " + shown +
                                       " takes no value (options are not "
                                       "bundled)");
                value = arg.substr(2);
                have_value = true;
            }
        }
        if (sp->has_arg && !have_value) {
            if (i + 1 >= argc)
                return usage_error("option " + shown + " needs a value");
            value = argv[++i];
        }
        std::string name = sp->long_name;
        if (name == "host") {
            o.host = value;
            o.host_set = true;
        } else if (name == "port") {
            o.port = value;
            o.port_set = true;
        } else if (name == "username") {
            o.user = value;
            o.user_set = true;
        } else if (name == "dbname") {
            o.dbname = value;
            o.dbname_set = true;
        } else if (name == "password") {
            o.ask_password = true;
        } else if (name == "config") {
            o.config_file = value;
            o.config_set = true;
        } else if (name == "json") {
            o.json = true;
        } else if (name == "version") {
            o.version = true;
        } else if (name == "help") {
            o.help = true;
        } else {
            o.only_dump.push_back(shown);
            if (name == "file") {
                o.out_file = value;
                o.out_set = true;
            } else if (name == "table") {
                o.tables.push_back(value);
            } else if (name == "no-schema") {
                o.no_schema = true;
            } else if (name == "no-data") {
                o.no_data = true;
            } else if (name == "drop") {
                o.drop = true;
            } else if (name == "rows-per-insert") {
                char *end = nullptr;
                errno = 0;
                long n = strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 1000)
                    return usage_error("--rows-per-insert takes a number from 1 to 1000");
                o.rows_per_insert = n;
            } else if (name == "progress") {
                o.progress = 1;
            } else if (name == "no-progress") {
                o.progress = 0;
            }
        }
    }
    return -1;
}
