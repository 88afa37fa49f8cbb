/*
 * Opening a TCP connection, the same on every platform: resolve, then try
 * each address in the resolver's order until one connects within the
 * time-out.  The system calls are the platform files' (platform_net.h).
 */
#include <climits>
#include <cstdio>

#include "platform_net.h"
#include "platform_sockets.h"

static const struct addrinfo *ai_of(const net_addr *a)
{
    return reinterpret_cast<const struct addrinfo *>(a);
}

net_addr *net_resolve(const char *host, const char *service, char *err, size_t err_size)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(host, service, &hints, &list);
    if (rc != 0 || list == nullptr) {
        if (rc != 0)
            net_resolve_error(rc, err, err_size);
        else
            snprintf(err, err_size, "%s", "no address");
        return nullptr;
    }
    return reinterpret_cast<net_addr *>(list);
}

net_addr *net_next(net_addr *a)
{
    return reinterpret_cast<net_addr *>(ai_of(a)->ai_next);
}

void net_free(net_addr *list)
{
    freeaddrinfo(reinterpret_cast<struct addrinfo *>(list));
}

void net_address_text(const net_addr *a, int port, char *dst, size_t size)
{
    const struct addrinfo *ai = ai_of(a);
    char name[INET6_ADDRSTRLEN] = "?";
    getnameinfo(ai->ai_addr, (socklen_t)ai->ai_addrlen, name, sizeof name, nullptr, 0,
                NI_NUMERICHOST);
    snprintf(dst, size, ai->ai_family == AF_INET6 ? "[%s]:%d" : "%s:%d", name, port);
}

plat_socket net_socket(const net_addr *a, int *code)
{
    const struct addrinfo *ai = ai_of(a);
    plat_socket s = (plat_socket)socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    *code = s == PLAT_INVALID_SOCKET ? net_last_error() : 0;
    return s;
}

int net_ms_left(int64_t deadline)
{
    int64_t left = (deadline - plat_counter()) * 1000 / plat_counter_freq();
    if (left < 0)
        return 0;
    return left > INT_MAX ? INT_MAX : (int)left;
}

int plat_tcp_open(const char *host, int port, int timeout_ms, plat_socket *out, char *err,
                  size_t err_size)
{
    return plat_tcp_open_stoppable(host, port, timeout_ms, nullptr, nullptr, out, err, err_size);
}

int plat_tcp_open_stoppable(const char *host, int port, int timeout_ms, plat_stop_fn stop,
                            const void *ctx, plat_socket *out, char *err, size_t err_size)
{
    *out = PLAT_INVALID_SOCKET;
    snprintf(err, err_size, "%s", "");
    /* Winsock resolves an empty name to the machine's own addresses, where
     * POSIX refuses it: an empty host is a configuration mistake on both. */
    if (host[0] == '\0') {
        snprintf(err, err_size, "%s", "empty host name");
        return PLAT_ERR_RESOLVE;
    }
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    int64_t deadline =
        timeout_ms > 0 ? plat_counter() + (int64_t)timeout_ms * plat_counter_freq() / 1000 : 0;
    net_addr *list = net_resolve(host, service, err, err_size);
    if (list == nullptr)
        return PLAT_ERR_RESOLVE;
    int result = PLAT_ERR_CONNECT;
    for (net_addr *a = list; a != nullptr; a = net_next(a)) {
        char where[80], reason[256];
        net_address_text(a, port, where, sizeof where);
        int code = 0;
        plat_socket s = net_socket(a, &code);
        if (s == PLAT_INVALID_SOCKET) {
            net_error_text(code, reason, sizeof reason);
            snprintf(err, err_size, "%s: %s", where, reason);
            result = PLAT_ERR_SOCKET;
            continue;
        }
        code = net_connect(s, a, deadline, stop, ctx);
        if (code == 0) {
            net_set_options(s);
            *out = s;
            result = 0;
            break;
        }
        plat_close_socket(s);
        if (code == NET_STOPPED) {
            snprintf(err, err_size, "%s: stopped", where);
            result = PLAT_ERR_STOPPED;
            break;
        }
        if (code == NET_TIMED_OUT)
            snprintf(reason, sizeof reason, "%s", "timeout expired");
        else
            net_error_text(code, reason, sizeof reason);
        snprintf(err, err_size, "%s: %s", where, reason);
        result = PLAT_ERR_CONNECT;
        if (deadline != 0 && plat_counter() >= deadline) {
            result = PLAT_ERR_TIMEOUT;
            break;
        }
    }
    net_free(list);
    return result;
}

int plat_tcp_connect(const char *host, int port, plat_socket *out)
{
    char err[16];
    return plat_tcp_open(host, port, 0, out, err, sizeof err);
}

int plat_parse_ip(const char *text, unsigned char out[16])
{
    if (inet_pton(AF_INET, text, out) == 1)
        return 4;
    if (inet_pton(AF_INET6, text, out) == 1)
        return 16;
    return 0;
}
