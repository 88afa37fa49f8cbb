/*
 * The four session slots, as the engines that run in them see them.
 *
 * A background job (a dump, a restore) takes a slot with session_claim,
 * fills the slot's configuration through session_at, optionally names the
 * functions that format its progress and result replies, and starts its
 * worker with session_launch.  From then on the host polls, cancels and
 * frees the slot through the six session exports, whatever the job is.
 *
 * Claiming, launching, freeing and the slot scans are guarded by one
 * short spin lock that only host threads take: a worker never takes it
 * and never calls these functions.
 */
#ifndef PGDUMP_SESSION_H
#define PGDUMP_SESSION_H

#include <cstddef>
#include <cstdint>

#include "dump/dump_run.h"

#define SESSION_COUNT 4

/* Formats a reply for the slot s into dst (size bytes, NUL included) and
 * returns 0; any other result makes the call answer the dump's reply.
 * Called with the slot lock held, on a host thread, while a worker may be
 * running: it reads only atomics, or fields the worker wrote before it
 * stored a final state once that state has been loaded; it must not block
 * and must not call any session function. */
typedef int (*session_reply_fn)(const dump_session *s, char *dst, size_t size);

/* Takes an idle slot atomically: cleared, state SESSION_CONNECTING, and
 * reserved to the caller until session_launch.  Returns its index, or -1
 * when none is free.  Sets no error text. */
int32_t session_claim(void);

/* Gives back a claimed slot that will not be launched: idle again. */
void session_release(int32_t index);

/* The slot of a valid index, or null. */
dump_session *session_at(int32_t index);

/* Names the reply functions of a claimed, not yet launched slot; null
 * keeps the dump's own reply.  session_claim resets both to null. */
void session_set_replies(int32_t index, session_reply_fn progress, session_reply_fn result);

/* Starts routine(slot) on a new thread for a claimed slot.  0 on success.
 * -1 when the thread cannot be created: the slot is then left in state
 * SESSION_FAILED without a thread, which counts as free, and the calling
 * thread's last error is "thread create failed". */
int session_launch(int32_t index, unsigned (*routine)(void *));

#endif
