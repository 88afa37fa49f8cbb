/*
 * The command line: getopt_long over one table of options, into an
 * options record.
 */
#include "options.h"

#include "cli.h"
#include "text_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace
{

/* Ids of the options that have no short form. */
enum {
    OPT_CONFIG = 256,
    OPT_JSON,
    OPT_HELP,
    OPT_PRINT_CONFIG,
    OPT_REQUIRE_AUTH,
    OPT_NO_SCHEMA,
    OPT_NO_DATA,
    OPT_DROP,
    OPT_ROWS_PER_INSERT,
    OPT_PROGRESS,
    OPT_NO_PROGRESS,
    OPT_TABLE_ONLY,
    OPT_OWNERS,
    OPT_PRIVILEGES,
    OPT_CONTINUE_ON_ERROR,
    OPT_COPY,
    OPT_INSERTS,
    OPT_DISABLE_TRIGGERS,
    OPT_EXCLUDE_TABLE_DATA,
    OPT_STRICT_NAMES,
    OPT_IF_EXISTS,
    OPT_NO_COMMENTS,
    OPT_NO_SYNC,
    OPT_SNAPSHOT,
    OPT_SERIALIZABLE_DEFERRABLE,
    OPT_LOCK_WAIT_TIMEOUT,
    OPT_SECTION,
    OPT_ROLE,
    OPT_RESTRICT_KEY,
};

/* '-' hands out words in place (id 1), so options may follow the command
 * word even under POSIXLY_CORRECT; ':' makes a missing value its own
 * answer.  "?" is no option (getopt uses it for errors), so "-?" is turned
 * into --help first. */
const char g_short[] = "-:h:p:U:d:WwVf:t:n:N:T:ascOxZ:j:1vF:";

/* A word that is no option: the command, then help's topic. */
int take_word(options &o, const std::string &word)
{
    if (o.command.empty())
        o.command = word;
    else if (o.command == "help" && o.help_topic.empty())
        o.help_topic = word;
    else
        return usage_error("unexpected argument \"" + word + "\"");
    return -1;
}

const struct option g_long[] = {
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"username", required_argument, nullptr, 'U'},
    {"dbname", required_argument, nullptr, 'd'},
    {"password", no_argument, nullptr, 'W'},
    {"no-password", no_argument, nullptr, 'w'},
    {"require-auth", required_argument, nullptr, OPT_REQUIRE_AUTH},
    {"config", required_argument, nullptr, OPT_CONFIG},
    {"json", no_argument, nullptr, OPT_JSON},
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, OPT_HELP},
    {"print-config", no_argument, nullptr, OPT_PRINT_CONFIG},
    {"file", required_argument, nullptr, 'f'},
    {"table", required_argument, nullptr, 't'},
    {"schema", required_argument, nullptr, 'n'},
    {"exclude-schema", required_argument, nullptr, 'N'},
    {"exclude-table", required_argument, nullptr, 'T'},
    {"data-only", no_argument, nullptr, 'a'},
    {"schema-only", no_argument, nullptr, 's'},
    {"clean", no_argument, nullptr, 'c'},
    {"no-owner", no_argument, nullptr, 'O'},
    {"no-privileges", no_argument, nullptr, 'x'},
    {"owners", no_argument, nullptr, OPT_OWNERS},
    {"privileges", no_argument, nullptr, OPT_PRIVILEGES},
    {"table-only", no_argument, nullptr, OPT_TABLE_ONLY},
    {"no-schema", no_argument, nullptr, OPT_NO_SCHEMA},
    {"no-data", no_argument, nullptr, OPT_NO_DATA},
    {"drop", no_argument, nullptr, OPT_DROP},
    {"disable-triggers", no_argument, nullptr, OPT_DISABLE_TRIGGERS},
    {"rows-per-insert", required_argument, nullptr, OPT_ROWS_PER_INSERT},
    {"progress", no_argument, nullptr, OPT_PROGRESS},
    {"no-progress", no_argument, nullptr, OPT_NO_PROGRESS},
    {"single-transaction", no_argument, nullptr, '1'},
    {"continue-on-error", no_argument, nullptr, OPT_CONTINUE_ON_ERROR},
    {"format", required_argument, nullptr, 'F'},
    {"copy", no_argument, nullptr, OPT_COPY},
    {"inserts", no_argument, nullptr, OPT_INSERTS},
    {"compress", required_argument, nullptr, 'Z'},
    {"jobs", required_argument, nullptr, 'j'},
    {"verbose", no_argument, nullptr, 'v'},
    {"exclude-table-data", required_argument, nullptr, OPT_EXCLUDE_TABLE_DATA},
    {"strict-names", no_argument, nullptr, OPT_STRICT_NAMES},
    {"if-exists", no_argument, nullptr, OPT_IF_EXISTS},
    {"no-comments", no_argument, nullptr, OPT_NO_COMMENTS},
    {"no-sync", no_argument, nullptr, OPT_NO_SYNC},
    {"snapshot", required_argument, nullptr, OPT_SNAPSHOT},
    {"serializable-deferrable", no_argument, nullptr, OPT_SERIALIZABLE_DEFERRABLE},
    {"lock-wait-timeout", required_argument, nullptr, OPT_LOCK_WAIT_TIMEOUT},
    {"section", required_argument, nullptr, OPT_SECTION},
    {"role", required_argument, nullptr, OPT_ROLE},
    {"restrict-key", required_argument, nullptr, OPT_RESTRICT_KEY},
    {nullptr, 0, nullptr, 0},
};

const struct option *option_by_id(int id)
{
    for (const struct option *op = g_long; op->name != nullptr; op++)
        if (op->val == id)
            return op;
    return nullptr;
}

/* The option as typed, for messages: "-t" or "--table". */
std::string shown_name(int id, int long_index)
{
    if (long_index >= 0)
        return std::string("--") + g_long[long_index].name;
    if (id < 256)
        return std::string("-") + (char)id;
    const struct option *op = option_by_id(id);
    return std::string("--") + (op != nullptr ? op->name : "?");
}

/* Options every command takes: connection, output form, help. */
bool set_general(options &o, int id, const char *value)
{
    switch (id) {
    case 'h':
        o.host = value, o.host_set = true;
        break;
    case 'p':
        o.port = value, o.port_set = true;
        break;
    case 'U':
        o.user = value, o.user_set = true;
        break;
    case 'd':
        o.dbname = value, o.dbname_set = true;
        break;
    case 'W':
        o.ask_password = true;
        break;
    case 'w':
        /* Never prompt: a login that needs a password then fails with
         * the server's text. */
        o.ask_password = false;
        o.never_prompt = true;
        break;
    case OPT_REQUIRE_AUTH:
        o.require_auth = value, o.require_auth_set = true;
        break;
    case OPT_CONFIG:
        o.config_file = value, o.config_set = true;
        break;
    case OPT_JSON:
        o.json = true;
        break;
    case 'V':
        o.version = true;
        break;
    case OPT_HELP:
        o.help = true;
        break;
    case OPT_PRINT_CONFIG:
        o.print_config = true;
        break;
    default:
        return false;
    }
    return true;
}

/* A whole decimal number within [least, most], or false. */
bool whole_number(const char *text, long least, long most, long &n)
{
    char *end = nullptr;
    errno = 0;
    n = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && n >= least && n <= most;
}

/* -Z METHOD[:LEVEL] (also METHOD:level=LEVEL), or pg_dump's bare level:
 * 0 for none, 1 to 9 for gzip.  -1 after a usage error. */
int set_compression(options &o, const std::string &value)
{
    const char *bad = "-Z takes none, gzip[:1-9] or zstd[:1-22]";
    size_t colon = value.find(':');
    std::string method = value.substr(0, colon);
    std::string level = colon == std::string::npos ? "" : value.substr(colon + 1);
    if (level.compare(0, 6, "level=") == 0)
        level = level.substr(6);
    long n = 0;
    if (colon == std::string::npos && whole_number(value.c_str(), 0, 9, n)) {
        o.compression = n == 0 ? "none" : "gzip";
        o.compression_level = n;
        return 0;
    }
    long most = method == "gzip" ? 9 : method == "zstd" ? 22 : 0;
    if (method != "none" && most == 0)
        return usage_error(bad), -1;
    if (colon != std::string::npos && (most == 0 || !whole_number(level.c_str(), 1, most, n)))
        return usage_error(bad), -1;
    o.compression = method;
    o.compression_level = n;
    return 0;
}

/* -F: the plain format (the only one), or the older spelling of the data
 * format.  -1 after a usage error. */
int set_format(options &o, const char *value)
{
    if (strcmp(value, "p") == 0 || strcmp(value, "plain") == 0)
        return 0;
    if (strcmp(value, "copy") == 0 || strcmp(value, "inserts") == 0) {
        o.data_format = value;
        return 0;
    }
    const char *const archives[] = {"c", "custom", "d", "directory", "t", "tar"};
    for (const char *a : archives)
        if (strcmp(value, a) == 0)
            return usage_error(std::string("-F ") + value +
                               ": the archive formats (custom, directory, tar) are not "
                               "supported yet; -F takes p (plain), compressed with -Z if "
                               "wanted, and the script restores with the restore command"),
                   -1;
    return usage_error(std::string("-F takes p (plain), not \"") + value + "\""), -1;
}

/* --section=pre-data|data|post-data, repeatable. */
int set_section(options &o, const char *value)
{
    o.section_set = true;
    if (strcmp(value, "pre-data") == 0)
        o.section_pre = true;
    else if (strcmp(value, "data") == 0)
        o.section_data = true;
    else if (strcmp(value, "post-data") == 0)
        o.section_post = true;
    else
        return usage_error(std::string("--section takes pre-data, data or post-data, not \"") +
                           value + "\""),
               -1;
    return 0;
}

/* The options in the habits of PostgreSQL's dump.  -1 after a usage error. */
int set_habit(options &o, int id, const char *value)
{
    switch (id) {
    case 'v':
        o.verbose = true;
        break;
    case OPT_EXCLUDE_TABLE_DATA:
        o.exclude_table_data.push_back(value);
        break;
    case OPT_STRICT_NAMES: /* the default */
        break;
    case OPT_IF_EXISTS:
        o.if_exists = true;
        break;
    case OPT_NO_COMMENTS:
        o.no_comments = true;
        break;
    case OPT_NO_SYNC:
        o.no_sync = true;
        break;
    case OPT_SNAPSHOT:
        if (*value == '\0' || strlen(value) > 63 ||
            strspn(value, "0123456789ABCDEF-") != strlen(value))
            return usage_error("--snapshot takes a snapshot id as pg_export_snapshot() gives it"),
                   -1;
        o.snapshot = value;
        break;
    case OPT_SERIALIZABLE_DEFERRABLE:
        o.serializable_deferrable = true;
        break;
    case OPT_LOCK_WAIT_TIMEOUT:
        if (!whole_number(value, 0, 86400000, o.lock_wait_timeout))
            return usage_error("--lock-wait-timeout takes milliseconds, 0 to 86400000"), -1;
        break;
    case OPT_SECTION:
        return set_section(o, value);
    }
    return 0;
}

/* Options of the dump and restore commands.  -1 after a usage error. */
int set_own(options &o, int id, const char *value)
{
    switch (id) {
    case 'f':
        o.file = value, o.file_set = true;
        break;
    case 't':
        o.tables.push_back(value);
        break;
    case 'n':
        o.schemas.push_back(value);
        break;
    case 'N':
        o.exclude_schemas.push_back(value);
        break;
    case 'T':
        o.exclude_tables.push_back(value);
        break;
    case 'a':
    case OPT_NO_SCHEMA:
        o.no_schema = true;
        break;
    case 's':
    case OPT_NO_DATA:
        o.no_data = true;
        break;
    case 'c':
    case OPT_DROP:
        o.drop = true;
        break;
    case OPT_DISABLE_TRIGGERS:
        o.disable_triggers = true;
        break;
    case 'O':
    case OPT_OWNERS:
        o.owners = id == OPT_OWNERS ? 1 : 0;
        break;
    case 'x':
    case OPT_PRIVILEGES:
        o.privileges = id == OPT_PRIVILEGES ? 1 : 0;
        break;
    case OPT_ROLE:
        o.role = value, o.role_set = true;
        break;
    case OPT_RESTRICT_KEY:
        o.restrict_key = value, o.restrict_key_set = true;
        break;
    case OPT_TABLE_ONLY:
        o.table_only = true;
        break;
    case OPT_ROWS_PER_INSERT:
        if (!whole_number(value, 1, 1000, o.rows_per_insert))
            return usage_error("--rows-per-insert takes a number from 1 to 1000"), -1;
        break;
    case 'F':
        return set_format(o, value);
    case OPT_COPY:
    case OPT_INSERTS:
        o.data_format = id == OPT_COPY ? "copy" : "inserts";
        break;
    case 'Z':
        return set_compression(o, value);
    case 'j':
        if (!whole_number(value, 1, 8, o.jobs))
            return usage_error("-j takes a number of jobs from 1 to 8"), -1;
        break;
    case OPT_PROGRESS:
        o.progress = 1;
        break;
    case OPT_NO_PROGRESS:
        o.progress = 0;
        break;
    case '1':
        o.single_transaction = true;
        break;
    case OPT_CONTINUE_ON_ERROR:
        o.continue_on_error = true;
        break;
    default:
        return set_habit(o, id, value);
    }
    return 0;
}

/* The message for what getopt_long refused: rc is ':' or '?'. */
int option_error(int rc, const char *arg)
{
    std::string typed = arg != nullptr ? arg : "";
    size_t eq = typed.find('=');
    if (typed.compare(0, 2, "--") == 0 && eq != std::string::npos)
        typed.resize(eq);
    if (rc == ':') {
        const struct option *op = option_by_id(optopt);
        std::string name = typed.compare(0, 2, "--") == 0 || op == nullptr
                               ? typed
                               : std::string("-") + (char)optopt;
        return usage_error("option " + name + " needs a value");
    }
    /* getopt leaves optind past a cluster of short options only when the
     * cluster ends, so the word before optind may be the option before
     * the faulty one: a long option with a value that takes none is
     * recognised by its own shape, anything else by optopt. */
    for (const struct option *op = g_long; op->name != nullptr && eq != std::string::npos; op++)
        if (op->has_arg == no_argument && typed == std::string("--") + op->name)
            return usage_error("option " + typed + " takes no value");
    if (optopt > 0 && optopt < 256)
        return usage_error("unknown option \"-" + std::string(1, (char)optopt) + "\"");
    return usage_error("unknown option \"" + typed + "\"");
}

} // namespace

int usage_error(const std::string &text)
{
    fprintf(stderr, "%s: error: %s\n", g_prog, printable(text).c_str());
    fprintf(stderr, "Try \"%s --help\" for more information.\n", g_prog);
    return EXIT_FAIL;
}

int parse_args(int argc, char **argv, options &o)
{
    std::vector<char *> args(argv, argv + argc);
    static char help_word[] = "--help";
    for (int i = 1; i < argc && strcmp(args[(size_t)i], "--") != 0; i++)
        if (strcmp(args[(size_t)i], "-?") == 0)
            args[(size_t)i] = help_word;
    args.push_back(nullptr);

    opterr = 0;
    optind = 1;
    for (;;) {
        int long_index = -1;
        optopt = 0;
        int id = getopt_long(argc, args.data(), g_short, g_long, &long_index);
        if (id == -1)
            break;
        if (id == ':' || id == '?')
            return option_error(id, args[(size_t)optind - 1]);
        if (id == 1) {
            if (take_word(o, optarg) >= 0)
                return EXIT_FAIL;
            continue;
        }
        if (set_general(o, id, optarg))
            continue;
        const char *long_name = long_index >= 0 ? g_long[long_index].name : option_by_id(id)->name;
        o.own.push_back({shown_name(id, long_index), long_name});
        if (set_own(o, id, optarg) < 0)
            return EXIT_FAIL;
    }
    /* The words after "--". */
    for (int i = optind; i < argc; i++)
        if (take_word(o, args[(size_t)i]) >= 0)
            return EXIT_FAIL;
    return -1;
}
