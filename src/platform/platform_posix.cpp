/*
 * POSIX side of the platform layer: BSD sockets, pthreads with a timed
 * join, CLOCK_MONOTONIC in nanoseconds.
 */
#ifndef _WIN32

#include "platform.h"
#include "platform_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(plat_thread) == sizeof(pthread_t), "pthread_t does not fit plat_thread");

void plat_net_start(void) {}

/* Keepalive timings: a peer that vanished without a FIN is noticed within
 * about two minutes instead of the system's two hours. */
#define PLAT_KEEPIDLE 60
#define PLAT_KEEPINTVL 10
#define PLAT_KEEPCNT 6

static const struct addrinfo *ai_of(const net_addr *a)
{
    return reinterpret_cast<const struct addrinfo *>(a);
}

void net_set_options(plat_socket s)
{
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = PLAT_KEEPIDLE, intvl = PLAT_KEEPINTVL, cnt = PLAT_KEEPCNT;
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
}

int net_last_error(void)
{
    return errno;
}

void net_resolve_error(int rc, char *dst, size_t size)
{
    snprintf(dst, size, "%s", gai_strerror(rc));
}

int net_connect(plat_socket s, const net_addr *a, int64_t deadline, plat_stop_fn stop,
                const void *ctx)
{
    const struct addrinfo *ai = ai_of(a);
    if (deadline == 0 && stop == nullptr) {
        int rc;
        do {
            rc = connect(s, ai->ai_addr, ai->ai_addrlen);
        } while (rc != 0 && errno == EINTR);
        return rc == 0 ? 0 : errno;
    }
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (connect(s, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno;
        while (err == EINPROGRESS || err == EINTR) {
            if (stop != nullptr && stop(ctx) != 0) {
                err = ECANCELED;
                break;
            }
            int left = deadline != 0 ? net_ms_left(deadline) : PLAT_SLICE_MS;
            if (left <= 0) {
                err = ETIMEDOUT;
                break;
            }
            struct pollfd pfd = {s, POLLOUT, 0};
            int r = poll(&pfd, 1, left < PLAT_SLICE_MS ? left : PLAT_SLICE_MS);
            if (r <= 0)
                continue; /* interrupted or out of time: checked above */
            socklen_t len = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            break;
        }
    }
    fcntl(s, F_SETFL, flags);
    if (err == ECANCELED)
        return NET_STOPPED;
    return err == ETIMEDOUT ? NET_TIMED_OUT : err;
}

void net_error_text(int code, char *dst, size_t size)
{
    char buf[256];
    /* The GNU strerror_r may return a static text instead of filling buf;
     * unlike strerror it is safe on the workers' threads. */
    const char *text = strerror_r(code, buf, sizeof buf);
    snprintf(dst, size, "%s", text);
}

int plat_wait_writable(plat_socket s, int ms)
{
    struct pollfd pfd = {s, POLLOUT, 0};
    int r = poll(&pfd, 1, ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

long plat_send_ready(plat_socket s, const void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    for (;;) {
        ssize_t r = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0)
            return (long)r;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int plat_wait_readable(plat_socket s, int ms)
{
    struct pollfd pfd = {s, POLLIN, 0};
    int r = poll(&pfd, 1, ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

int plat_system_roots(int (*add)(void *ctx, const unsigned char *data, size_t len), void *ctx)
{
    FILE *f = fopen("/etc/ssl/certs/ca-certificates.crt", "rb");
    if (f == nullptr)
        return -1;
    size_t cap = 1 << 20, n = 0;
    unsigned char *buf = static_cast<unsigned char *>(malloc(cap));
    while (buf != nullptr) {
        n += fread(buf + n, 1, cap - 1 - n, f);
        if (n < cap - 1)
            break;
        cap *= 2;
        unsigned char *grown = static_cast<unsigned char *>(realloc(buf, cap));
        if (grown == nullptr)
            free(buf);
        buf = grown;
    }
    fclose(f);
    if (buf == nullptr)
        return -1;
    buf[n] = 0;
    int taken = add(ctx, buf, n + 1) == 0 ? 1 : 0;
    free(buf);
    return taken;
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

namespace
{
struct thread_start {
    unsigned (*fn)(void *);
    void *arg;
};
} // namespace

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

int64_t plat_counter_freq(void)
{
    return 1000000000LL;
}

FILE *plat_fopen_wb(const char *path)
{
    return fopen(path, "wb");
}

FILE *plat_create_private(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) {
        int e = errno;
        close(fd);
        unlink(path);
        errno = e;
    }
    return f;
}

int plat_make_private_dir(const char *path)
{
    return mkdir(path, 0700) == 0 ? 0 : -1;
}

int plat_remove_dir(const char *path)
{
    return rmdir(path) == 0 ? 0 : -1;
}

int plat_random(void *dst, size_t n)
{
    unsigned char *p = static_cast<unsigned char *>(dst);
    while (n > 0) {
        ssize_t r = getrandom(p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        p += r;
        n -= (size_t)r;
    }
    if (n == 0)
        return 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        p += r;
        n -= (size_t)r;
    }
    close(fd);
    return n == 0 ? 0 : -1;
}

FILE *plat_fopen_rb(const char *path)
{
    return fopen(path, "rb");
}

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
    net_error_text(errno, dst, size);
}

void plat_secure_zero(void *p, size_t n)
{
    if (p != nullptr && n > 0)
        explicit_bzero(p, n);
}

#endif
