/*
 * POSIX side of the platform layer: BSD sockets, pthreads with a timed
 * join, CLOCK_MONOTONIC in nanoseconds.
 */
#ifndef _WIN32

#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(plat_thread) == sizeof(pthread_t), "pthread_t does not fit plat_thread");

void plat_net_start(void) {}

int plat_tcp_connect(const char *host, int port, plat_socket *out)
{
    *out = PLAT_INVALID_SOCKET;
    char service[16];
    snprintf(service, sizeof service, "%d", port);

    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr)
        return PLAT_ERR_RESOLVE;

    int s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s < 0) {
        freeaddrinfo(list);
        return PLAT_ERR_SOCKET;
    }
    int rc;
    do {
        rc = connect(s, list->ai_addr, list->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    freeaddrinfo(list);
    if (rc != 0) {
        close(s);
        return PLAT_ERR_CONNECT;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    *out = s;
    return 0;
}

long plat_send(plat_socket s, const void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    for (;;) {
        /* MSG_NOSIGNAL: a peer that went away must give an error, not
         * SIGPIPE in the host process. */
        ssize_t r = send(s, data, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        return (long)r;
    }
}

long plat_recv(plat_socket s, void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    for (;;) {
        ssize_t r = recv(s, data, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        return (long)r;
    }
}

void plat_close_socket(plat_socket s)
{
    if (s != PLAT_INVALID_SOCKET)
        close(s);
}

namespace {
struct thread_start {
    unsigned (*fn)(void *);
    void *arg;
};
}

static void *thread_trampoline(void *p)
{
    /* The start record is on the heap so that the creator can return
     * before the new thread has read it. */
    thread_start st = *static_cast<thread_start *>(p);
    free(p);
    st.fn(st.arg);
    return nullptr;
}

int plat_thread_start(plat_thread *out, unsigned (*fn)(void *), void *arg)
{
    thread_start *st = static_cast<thread_start *>(malloc(sizeof(thread_start)));
    if (st == nullptr)
        return -1;
    st->fn = fn;
    st->arg = arg;
    pthread_t t;
    if (pthread_create(&t, nullptr, thread_trampoline, st) != 0) {
        free(st);
        return -1;
    }
    *out = (plat_thread)t;
    return 0;
}

int plat_thread_join(plat_thread t, int ms)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np((pthread_t)t, nullptr, &until) == 0 ? 0 : -1;
}

int64_t plat_counter(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int64_t plat_counter_freq(void) { return 1000000000LL; }

FILE *plat_fopen_wb(const char *path) { return fopen(path, "wb"); }

FILE *plat_fopen_rb(const char *path) { return fopen(path, "rb"); }

int64_t plat_file_size(FILE *f)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0)
        return -1;
    return (int64_t)st.st_size;
}

int plat_file_sync(FILE *f)
{
    if (fflush(f) != 0)
        return -1;
    return fsync(fileno(f)) == 0 ? 0 : -1;
}

int plat_rename_replace(const char *from, const char *to)
{
    return rename(from, to) == 0 ? 0 : -1;
}

int plat_path_is_special(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode) ? 1 : 0;
}

int plat_remove(const char *path)
{
    return unlink(path) == 0 ? 0 : -1;
}

void plat_file_error_text(char *dst, size_t size)
{
    char buf[256];
    /* The GNU strerror_r may return a static text instead of filling buf. */
    const char *text = strerror_r(errno, buf, sizeof buf);
    snprintf(dst, size, "%s", text);
}

void plat_secure_zero(void *p, size_t n)
{
    if (p != nullptr && n > 0)
        explicit_bzero(p, n);
}

#endif
