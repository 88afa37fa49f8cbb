/*
 * The password file, in libpq's format: one entry a line,
 * host:port:database:username:password, where a field of "*" matches
 * anything, "\:" and "\\" stand for a colon and a backslash, and lines
 * starting with '#' are comments.  The first matching line wins.
 *
 * pgpass_match works on the text alone (tests and the fuzzer feed it);
 * pgpass_read finds and reads the file with libpq's checks.
 */
#ifndef PGDUMP_CLI_PGPASS_H
#define PGDUMP_CLI_PGPASS_H

#include <string>

struct pgpass_key {
    std::string host; /* as given; "" for the default */
    std::string port; /* "5432" when not given */
    std::string dbname;
    std::string user;
};

/* 1 with password set from the first line matching key, else 0.  A line
 * with fewer than five fields or an empty password matches nothing.  With
 * no host given, entries for "localhost" and for 127.0.0.1 (the default
 * address) match, as libpq's default matches "localhost". */
int pgpass_match(const std::string &text, const pgpass_key &key, std::string &password);

/* The file's text, from path (PGPASSFILE or the passfile keyword) or
 * else $HOME/.pgpass.  0 with text filled; -1 when there is none to use:
 * missing silently, and with warning set when it exists but is not a
 * plain file or can be read by group or others (POSIX). */
int pgpass_read(const std::string &path, std::string &text, std::string &warning);

#endif
