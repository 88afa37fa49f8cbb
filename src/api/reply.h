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
#include <cstdint>

#include "error/fail.h"

#define SYNC_BUF_SIZE 262144
#define ERR_TEXT_SIZE 512
/* Polling replies are kept per slot, as many slots as session.h has. */
#define REPLY_SLOTS 4
#define PROGRESS_REPLY_SIZE 1024
#define RESULT_REPLY_SIZE 2048

/* The answer of a call that found no memory for its thread's block. */
#define OUT_OF_MEMORY_REPLY "{\"ok\":false,\"error\":\"out of memory\",\"code\":\"out_of_memory\"}"
#define OUT_OF_MEMORY_TEXT "out of memory"

/* Room past a listing's cut for ,"truncated":true and the closing "]}":
 * the list is cut at SYNC_BUF_SIZE whether or not the mark follows. */
#define SYNC_TRAILER_SIZE 32

struct reply_block {
    /* Reply of this thread's last catalogue call. */
    char sync[SYNC_BUF_SIZE + SYNC_TRAILER_SIZE];
    char err[ERR_TEXT_SIZE]; /* this thread's last failure text */
    fail_info err_fail;      /* its kind and a server's fields */
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

/* Length of the longest prefix of text (NUL-terminated) that is
 * well-formed UTF-8: strlen(text) when all of it is. */
size_t utf8_valid_prefix(const char *text);

/* Checks that a configuration text is well-formed UTF-8.  0, or -1 with
 * the thread's last error "configuration is not valid UTF-8 (byte N)" of
 * kind FAIL_CONFIG. */
int config_text_check(const char *text);

/* The longest prefix of text, at most max bytes, that does not end
 * inside a well-formed UTF-8 character (stops at the NUL). */
size_t utf8_cut(const char *text, size_t max);

/* The same for len bytes at data that need not end in a NUL. */
size_t utf8_cut_bytes(const void *data, size_t len, size_t max);

/* Copies text into the calling thread's last-error text, cut to 511
 * bytes at a character boundary, and kind (FAIL_*) beside it.  Without
 * memory the thread's pgdump_last_error answers "out of memory". */
void set_last_error(int32_t kind, const char *text);

/* The same with the kind and server fields of f (fallback when f has no
 * kind). */
void set_last_failure(const fail_info *f, int32_t fallback, const char *text);

/* The calling thread's last failure, or null without memory. */
const fail_info *last_failure(void);

/* Formats {"ok":false,"error":"<text escaped into 1024 bytes>","code":...}
 * into dst, with the failure's members (fail_members) after "error"; the
 * text is cut further when dst is smaller, so that the reply is whole
 * whenever dst can hold its frame. */
void format_error_reply(char *dst, size_t dst_size, const char *text, const fail_info *f);

/* Writes the members that follow "error" in a failure reply into dst:
 * ,"code":"<word>", then for a server error ,"sqlstate":"XXXXX" and the
 * server's ,"detail" and ,"hint" when it sent them.  The hint, then the
 * detail, are left out when the whole would not fit size bytes; the code
 * always fits 40 bytes. */
void fail_members(char *dst, size_t size, const fail_info *f);

#endif
