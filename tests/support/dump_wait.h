/* Small helpers for tests that run dumps through the exported calls. */
#ifndef PGDUMP_TEST_DUMP_WAIT_H
#define PGDUMP_TEST_DUMP_WAIT_H

#include <cstdio>
#include <string>

/* Polls pgdump_status until the state is final (3..5) or timeout_ms pass;
 * returns the last state seen. */
int wait_final(int session, int timeout_ms = 120000);

/* Polls until pred(progress reply) is true or timeout; returns whether. */
bool wait_progress(int session, bool (*pred)(const std::string &), int timeout_ms = 60000);

/* Everything left in a stream. */
std::string read_all(FILE *f);

/* Whole file as bytes; empty when it cannot be read. */
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
/* The partial script a run keeps beside out ("out.<16 hex digits>.partial"),
 * or "" when there is none. */
std::string partial_file(const std::string &out);
/* Creates or replaces path with text. */
void write_file(const std::string &path, const std::string &text);

/* A fresh path in a per-process temporary directory. */
std::string temp_path(const std::string &name);

/* Value of a numeric member "key" in a compact JSON reply, or -1. */
long long json_number(const std::string &reply, const std::string &key);

#endif
