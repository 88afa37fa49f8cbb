/*
 * Replies: the process-wide reply and last-error buffers, and the one rule
 * by which every text enters a JSON string.
 */
#ifndef PGDUMP_REPLY_H
#define PGDUMP_REPLY_H

#include <cstddef>

#define SYNC_BUF_SIZE 262144
#define ERR_TEXT_SIZE 512

/* Reply of whichever catalogue call ran last. */
extern char g_sync_buf[SYNC_BUF_SIZE];
/* Text of the last failure of a catalogue call or of pgdump_start. */
extern char g_err[ERR_TEXT_SIZE];

/* Writes src escaped for the inside of a JSON string into dst (capacity
 * counts the NUL, at least 7).  Cut silently at a source byte boundary,
 * never inside an escape. */
void json_escape(const char *src, char *dst, size_t capacity);

/* Copies text into g_err, cut to 511 bytes. */
void set_last_error(const char *text);

/* Formats {"ok":false,"error":"<text escaped into 1024 bytes>"} into dst. */
void format_error_reply(char *dst, size_t dst_size, const char *text);

#endif
