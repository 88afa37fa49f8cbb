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
#include "stdio_file.h"
#include "target.h"

#include "veltrano-pgdump.h"

#include <csignal>
#include <cstdio>

namespace
{

/* An option the command does not take: the first one met, or "". */
int check_own_options(const options &o, const command_def *cmd)
{
    for (const own_option &opt : o.own) {
        bool taken = false;
        for (const char *const *n = cmd->own_options; n != nullptr && *n != nullptr; n++)
            taken = taken || opt.long_name == *n;
        if (!taken)
            return usage_error("option " + opt.shown + " belongs to the " +
                               commands_taking(opt.long_name) + " command");
    }
    return 0;
}

} // namespace

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
    if (o.command == "help") {
        if (!o.help_topic.empty() && find_command(o.help_topic) == nullptr)
            return usage_error("no help for \"" + o.help_topic + "\"");
        print_usage(o.help_topic);
        return EXIT_OK;
    }
    const command_def *cmd = find_command(o.command);
    if (!o.command.empty() && cmd == nullptr)
        return usage_error("unknown command \"" + o.command + "\"");
    if (o.help) {
        print_usage(cmd != nullptr ? cmd->name : "");
        return EXIT_OK;
    }
    if (cmd == nullptr)
        return usage_error("no command given");
    if ((rc = check_own_options(o, cmd)) != 0)
        return rc;

    target t;
    rc = resolve_target(o, cmd, t);
    if (rc == 0 && o.print_config)
        printf("%s\n", t.config.c_str());
    else if (rc == 0)
        rc = cmd->run(o, t);
    temp_dir_remove(t.temp_dir);
    return rc;
}
