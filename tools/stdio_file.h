/*
 * "-f -": the library reads and writes files by path, so standard input
 * and output go through a file in a private temporary directory (mode
 * 0700, under $TMPDIR or /tmp), copied in before or out after the run.
 */
#ifndef PGDUMP_CLI_STDIO_FILE_H
#define PGDUMP_CLI_STDIO_FILE_H

#include <string>

/* Makes the directory; 0, or -1 with err set. */
int temp_dir_make(std::string &dir, std::string &err);
/* Removes the files directly in dir, then dir.  Quiet. */
void temp_dir_remove(const std::string &dir);
/* The copies stop with "interrupted" once Ctrl-C was counted. */
/* Copies the file to fd (to its end); 0, or -1 with err set. */
int copy_file_to_fd(const std::string &path, int fd, std::string &err);
/* Copies fd to its end into a new file; 0, or -1 with err set. */
int copy_fd_to_file(int fd, const std::string &path, std::string &err);

#endif
