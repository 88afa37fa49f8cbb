#include "test_socket.h"

#include <cerrno>

#ifdef _WIN32

void ts_net_start()
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
}

void ts_close(int fd)
{
    closesocket((SOCKET)fd);
}

int ts_wait_readable(const int *fds, bool *ready, int n, int ms)
{
    WSAPOLLFD p[2] = {};
    if (n < 1 || n > 2)
        return -1;
    for (int i = 0; i < n; i++) {
        p[i].fd = (SOCKET)fds[i];
        p[i].events = POLLRDNORM;
    }
    int r = WSAPoll(p, (ULONG)n, ms);
    for (int i = 0; i < n; i++)
        ready[i] = r > 0 && (p[i].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
    return r;
}

int ts_set_int_option(int fd, int level, int name, int value)
{
    return setsockopt((SOCKET)fd, level, name, reinterpret_cast<const char *>(&value),
                      sizeof value);
}

#else

#include <poll.h>

void ts_net_start() {}

void ts_close(int fd)
{
    close(fd);
}

int ts_wait_readable(const int *fds, bool *ready, int n, int ms)
{
    pollfd p[2] = {};
    if (n < 1 || n > 2)
        return -1;
    for (int i = 0; i < n; i++) {
        p[i].fd = fds[i];
        p[i].events = POLLIN;
    }
    int r;
    do {
        r = poll(p, (nfds_t)n, ms);
    } while (r < 0 && errno == EINTR);
    for (int i = 0; i < n; i++)
        ready[i] = r > 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return r;
}

int ts_set_int_option(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof value);
}

#endif
