/*
 * Terminal and signals.  POSIX only.
 */
#ifndef PGDUMP_CLI_TERMINAL_H
#define PGDUMP_CLI_TERMINAL_H

#include <csignal>
#include <cstddef>
#include <string>

/* Ctrl-C and SIGTERM seen since catch_interrupts(). */
extern volatile sig_atomic_t g_interrupts;

/* Ctrl-C and SIGTERM only count; the code that waits decides. */
void catch_interrupts(struct sigaction *old_int = nullptr, struct sigaction *old_term = nullptr);
long long monotonic_ms();
void sleep_ms(int ms);
/* The width of the terminal on fd, 80 when unknown. */
size_t terminal_columns(int fd);
std::string login_name();
/* Reads a password from the controlling terminal with echo off.  Returns
 * 0, -1 when there is no terminal, or 1 when interrupted (Ctrl-C). */
int prompt_password(const char *prompt, std::string &out);

#endif
