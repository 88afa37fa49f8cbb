/*
 * veltrano-pgdump: the command-line host of the library.
 *
 * It does nothing the library does not do: it turns options and the usual
 * PG* environment variables into a configuration document, calls the
 * exported functions and shows their replies to people (aligned tables,
 * a live progress line) or, with --json, prints the replies unchanged.
 *
 * POSIX only: the terminal handling (isatty, termios, SIGINT, the window
 * size) has no Windows counterpart here.  A Windows host would replace
 * the functions of terminal.cpp.
 */
#include "cli.h"
#include "commands.h"
#include "options.h"
#include "target.h"

#include "veltrano-pgdump.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    /* A reader of our output that goes away must not kill a dump midway. */
    signal(SIGPIPE, SIG_IGN);

    options o;
    int rc = parse_args(argc, argv, o);
    if (rc >= 0)
        return rc;
    if (o.version) {
        printf("%s\n", pgdump_version());
        return EXIT_OK;
    }
    if (o.command == CMD_HELP) {
        if (!o.help_topic.empty()) {
            command_t c;
            if (!parse_command(o.help_topic, c))
                return usage_error("no help for \"" + o.help_topic + "\"");
        }
        print_usage(o.help_topic);
        return EXIT_OK;
    }
    if (o.help) {
        const char *names[] = {"", "test", "databases", "tables", "dump", ""};
        print_usage(names[o.command]);
        return EXIT_OK;
    }
    if (o.command == CMD_NONE)
        return usage_error("no command given");
    if (o.command != CMD_DUMP) {
        if (!o.only_dump.empty())
            return usage_error("option " + o.only_dump[0] + " belongs to the dump command");
    }

    target t;
    rc = resolve_target(o, t);
    if (rc != 0)
        return rc;
    switch (o.command) {
    case CMD_TEST:
        return cmd_test(o, t);
    case CMD_DATABASES:
        return cmd_databases(o, t);
    case CMD_TABLES:
        return cmd_tables(o, t);
    case CMD_DUMP:
        return cmd_dump(o, t);
    default:
        return EXIT_FAIL;
    }
}
