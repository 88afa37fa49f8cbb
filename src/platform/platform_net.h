/*
 * The operating system's socket steps under plat_tcp_open (platform_tcp.cpp
 * holds the one copy of its logic): each platform file implements them
 * with its own calls.  Internal to the platform layer.
 *
 * An address is the system's struct addrinfo, passed opaquely so that the
 * shared logic needs no system header.
 */
#ifndef PGDUMP_PLATFORM_NET_H
#define PGDUMP_PLATFORM_NET_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct net_addr; /* struct addrinfo */

/* The system's code of the last failed socket call (errno, or
 * WSAGetLastError on Windows). */
int net_last_error(void);

/* The resolver's text for a failed getaddrinfo with result code rc. */
void net_resolve_error(int rc, char *dst, size_t size);

/* Resolves host:port into a list of stream addresses (platform_tcp.cpp).
 * The first, or null with the resolver's text in err. */
net_addr *net_resolve(const char *host, const char *service, char *err, size_t err_size);
net_addr *net_next(net_addr *a);
void net_free(net_addr *list);

/* "1.2.3.4:5432" or "[::1]:5432". */
void net_address_text(const net_addr *a, int port, char *dst, size_t size);

/* A socket for a's family, or PLAT_INVALID_SOCKET with the system's
 * error code in *code. */
plat_socket net_socket(const net_addr *a, int *code);

/* Connects s to a, waiting at most until deadline (plat_counter ticks; 0:
 * no limit), in slices of PLAT_SLICE_MS that ask stop(ctx) when stop is
 * given.  0, or the system's error code; NET_TIMED_OUT when the deadline
 * passed first, NET_STOPPED when stop said so. */
#define NET_TIMED_OUT (-1)
#define NET_STOPPED (-2)
int net_connect(plat_socket s, const net_addr *a, int64_t deadline, plat_stop_fn stop,
                const void *ctx);

/* TCP_NODELAY and keepalives (idle 60 s, probes every 10 s). */
void net_set_options(plat_socket s);

/* The system's text for a socket error code, thread-safe. */
void net_error_text(int code, char *dst, size_t size);

/* Milliseconds until deadline (plat_counter ticks), at least 0 and at
 * most INT_MAX. */
int net_ms_left(int64_t deadline);

#endif
