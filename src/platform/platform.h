/*
 * The operating system, behind one narrow interface: TCP sockets, threads,
 * the monotonic counter and binary file output.  platform_posix.cpp and
 * platform_win32.cpp hold each system's calls, platform_tcp.cpp the socket
 * logic they share (platform_net.h); only this folder includes system
 * headers of a platform, and nothing else in the library knows which OS
 * it runs on.
 */
#ifndef PGDUMP_PLATFORM_H
#define PGDUMP_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
typedef uint64_t plat_socket; /* SOCKET: UINT_PTR on Win64 */
#define PLAT_INVALID_SOCKET (~(plat_socket)0)
typedef void *plat_thread; /* HANDLE */
#else
typedef int plat_socket;
#define PLAT_INVALID_SOCKET (-1)
typedef unsigned long plat_thread; /* pthread_t on glibc */
#endif

/* Results of plat_tcp_connect besides 0. */
enum {
    PLAT_ERR_RESOLVE = -1, /* getaddrinfo failed or returned nothing */
    PLAT_ERR_SOCKET = -2,  /* socket() failed */
    PLAT_ERR_CONNECT = -3, /* connect() to every address failed */
    PLAT_ERR_TIMEOUT = -4, /* the time-out ran out first */
    PLAT_ERR_STOPPED = -5  /* the caller's stop test said so */
};

/* Asked between waits: non-zero stops the wait. */
typedef int (*plat_stop_fn)(const void *ctx);

/* Starts the socket layer (WSAStartup 2.2 on Windows, nothing elsewhere).
 * Called before every connection attempt, never balanced. */
void plat_net_start(void);

/* plat_tcp_open() without a time-out or a reason.  0 with *out set,
 * or one of PLAT_ERR_* with *out the invalid handle. */
int plat_tcp_connect(const char *host, int port, plat_socket *out);

/* Resolves host:port and tries every address it gives, in the resolver's
 * order (IPv6 and IPv4 alike), until one connects.  timeout_ms > 0 bounds
 * the whole attempt across all addresses; 0 waits as long as the system
 * does.  The socket is left blocking, with TCP_NODELAY and keepalives (idle
 * 60 s, probes every 10 s, 6 probes) so that a vanished peer is noticed.
 * 0 with *out set; else one of PLAT_ERR_* with err holding the reason with
 * the address, as "127.0.0.1:1: Connection refused" (the last address's
 * reason when all failed), or the resolver's text. */
int plat_tcp_open(const char *host, int port, int timeout_ms, plat_socket *out, char *err,
                  size_t err_size);

/* plat_tcp_open() whose connects wait in slices of PLAT_SLICE_MS and ask
 * stop(ctx) between them (stop null: never stops); PLAT_ERR_STOPPED when
 * it said so.  The name lookup itself is not interrupted. */
int plat_tcp_open_stoppable(const char *host, int port, int timeout_ms, plat_stop_fn stop,
                            const void *ctx, plat_socket *out, char *err, size_t err_size);

/* The longest wait between two looks at a stop test. */
#define PLAT_SLICE_MS 50

/* Waits up to ms milliseconds for s to have bytes (or an end) to read.
 * 1 ready, 0 time out, -1 error. */
int plat_wait_readable(plat_socket s, int ms);

/* Waits up to ms milliseconds for s to take bytes to send.  1 ready, 0
 * time out, -1 error. */
int plat_wait_writable(plat_socket s, int ms);

/* Sends what s takes at once without waiting: bytes moved, 0 when it takes
 * nothing now, <0 on error. */
long plat_send_ready(plat_socket s, const void *data, size_t n);

/* An IPv4 or IPv6 address literal as its 4 or 16 bytes in network order:
 * the count, or 0 when text is not such a literal. */
int plat_parse_ip(const char *text, unsigned char out[16]);

/* Hands the operating system's trusted root certificates to add(), which
 * returns 0 when it took one: on Windows each certificate of the "ROOT"
 * store as DER; elsewhere the distribution's bundle
 * /etc/ssl/certs/ca-certificates.crt as one PEM text with its NUL counted
 * in len.  The number taken, or -1 when the store could not be read. */
int plat_system_roots(int (*add)(void *ctx, const unsigned char *data, size_t len), void *ctx);

/* One send()/recv() with flags 0: bytes moved, 0 on peer close, <0 on
 * error.  n is capped at INT_MAX per call by the caller's loop. */
long plat_send(plat_socket s, const void *data, size_t n);
long plat_recv(plat_socket s, void *data, size_t n);
void plat_close_socket(plat_socket s);

/* Starts fn(arg) on a new thread with the default stack size.  0 with *out
 * set, -1 when no thread could be created. */
int plat_thread_start(plat_thread *out, unsigned (*fn)(void *), void *arg);

/* Waits up to ms milliseconds for the thread to end.  0: it has ended and
 * its handle is released (joined / closed); -1: still running, the handle
 * is still held and the call may be repeated. */
int plat_thread_join(plat_thread t, int ms);

/* Performance counter and its frequency (ticks per second). */
int64_t plat_counter(void);
int64_t plat_counter_freq(void);

/* Binary output: created or truncated.  NULL on failure. */
FILE *plat_fopen_wb(const char *path);

/* A new file for binary output that only its owner may read or write
 * (mode 0600; on Windows the default rights of its directory): created
 * only when nothing of that name exists, a symbolic link included.  NULL
 * on failure (plat_file_error_text says why). */
FILE *plat_create_private(const char *path);

/* A new directory only its owner may enter (mode 0700); fails when the
 * name exists.  0 or -1. */
int plat_make_private_dir(const char *path);

/* Removes an empty directory; 0 or -1. */
int plat_remove_dir(const char *path);

/* n bytes from the system's secure random source.  0 or -1. */
int plat_random(void *dst, size_t n);

/* Binary input of an existing file; NULL when it cannot be opened. */
FILE *plat_fopen_rb(const char *path);

/* Size in bytes of an open file (64-bit on every platform), or -1. */
int64_t plat_file_size(FILE *f);

/* Pushes the C library's buffer and then the system's cache of f to the
 * disk.  0, or -1 when either refused. */
int plat_file_sync(FILE *f);

/* Renames from to to, replacing an existing to in one step.  0 or -1. */
int plat_rename_replace(const char *from, const char *to);

/* 1 when path exists and is not a regular file (a device, a pipe): such
 * a path is written in place, never replaced. */
int plat_path_is_special(const char *path);

/* Removes a file; 0 or -1. */
int plat_remove(const char *path);

/* The system's text for the last failed file call (errno), into dst. */
void plat_file_error_text(char *dst, size_t size);

/* Overwrites n bytes at p with zeros in a way the compiler may not drop as
 * a dead store (a plain memset before the buffer goes out of scope may be
 * removed).  For passwords and the keys derived from them. */
void plat_secure_zero(void *p, size_t n);

#endif
