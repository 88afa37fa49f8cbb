/*
 * Replies: the calling thread's reply and last-error storage, and the one
 * rule by which every text enters a JSON string.
 *
 * Every host thread that makes a call gets its own reply block, allocated
 * at its first call that needs one and freed when the thread ends; a text
 * the library returns to a thread stays valid until that thread's next
 * call that writes the same storage, whatever other threads do.
 */
#ifndef PGDUMP_REPLY_H
#define PGDUMP_REPLY_H

#include <cstddef>

#define SYNC_BUF_SIZE 262144
#define ERR_TEXT_SIZE 512
/* Polling replies are kept per slot, as many slots as session.h has. */
#define REPLY_SLOTS 4
#define PROGRESS_REPLY_SIZE 1024
#define RESULT_REPLY_SIZE 2048

/* The answer of a call that found no memory for its thread's block. */
#define OUT_OF_MEMORY_REPLY "{\"ok\":false,\"error\":\"out of memory\"}"
#define OUT_OF_MEMORY_TEXT "out of memory"

struct reply_block {
    char sync[SYNC_BUF_SIZE]; /* reply of this thread's last catalogue call */
    char err[ERR_TEXT_SIZE];  /* this thread's last failure text */
    char progress[REPLY_SLOTS][PROGRESS_REPLY_SIZE];
    char result[REPLY_SLOTS][RESULT_REPLY_SIZE];
};

/* The calling thread's block, zero-filled at first use; null when it
 * cannot be allocated (a later call tries again). */
reply_block *thread_replies(void);

/* Writes src escaped for the inside of a JSON string into dst (capacity
 * counts the NUL, at least 7).  Well-formed UTF-8 is copied unchanged;
 * each maximal ill-formed subsequence becomes \ufffd, so the output is
 * always valid UTF-8.  Cut silently before a whole character or escape,
 * never inside one. */
void json_escape(const char *src, char *dst, size_t capacity);

/* The longest prefix of text, at most max bytes, that does not end
 * inside a well-formed UTF-8 character (stops at the NUL). */
size_t utf8_cut(const char *text, size_t max);

/* The same for len bytes at data that need not end in a NUL. */
size_t utf8_cut_bytes(const void *data, size_t len, size_t max);

/* Copies text into the calling thread's last-error text, cut to 511
 * bytes at a character boundary.  Without memory the thread's
 * pgdump_last_error answers "out of memory". */
void set_last_error(const char *text);

/* Formats {"ok":false,"error":"<text escaped into 1024 bytes>"} into dst;
 * the text is cut further when dst is smaller, so that the reply is whole
 * whenever dst can hold its frame. */
void format_error_reply(char *dst, size_t dst_size, const char *text);

#endif
