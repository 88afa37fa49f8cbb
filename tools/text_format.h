/*
 * Output for people.
 */
#ifndef PGDUMP_CLI_TEXT_FORMAT_H
#define PGDUMP_CLI_TEXT_FORMAT_H

#include <cstddef>
#include <string>
#include <vector>

/* Control bytes shown as \xNN, so names cannot drive the terminal. */
std::string printable(const std::string &s);
/* Terminal columns taken by a UTF-8 text. */
size_t display_width(const std::string &s);
/* Cut to at most max columns, never inside a character; "~" marks a cut. */
std::string fit_width(const std::string &s, size_t max);
/* s within max display columns, shortened in the middle ("sales.ord~items")
 * so that both the schema and the end of a long name stay visible. */
std::string fit_middle(const std::string &s, size_t max);
std::string pad(const std::string &s, size_t width, bool right);
std::string human_bytes(long long n);
std::string human_count(long long n);
std::string grouped(long long n);
std::string human_duration(long long ms);
void print_table(const std::vector<std::string> &head, const std::vector<bool> &right,
                 const std::vector<std::vector<std::string>> &rows);
/* "veltrano-pgdump: error: TEXT" on standard error. */
void error_msg(const std::string &text);

#endif
