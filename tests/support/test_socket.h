/*
 * The few socket calls of the scripted servers that differ between BSD
 * sockets and Winsock, as plain functions, so that fake_server and
 * tcp_proxy build for both.  Sockets are held in an int on both systems:
 * Winsock handles are kernel handles, whose values fit 32 bits, and
 * INVALID_SOCKET becomes -1 there.
 *
 * Including this header brings in the system's socket declarations
 * (socket, bind, listen, accept, connect, send, recv, sockaddr_in, ...).
 */
#ifndef PGDUMP_TEST_SOCKET_H
#define PGDUMP_TEST_SOCKET_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH
#endif
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 /* Winsock raises no signal for a dead peer */
#endif

/* Starts the socket layer where one must be started (Winsock); repeatable. */
void ts_net_start();

void ts_close(int fd);

/* Waits up to ms milliseconds until one of fds[0..n) is readable, closed or
 * failed; ready[i] tells which.  >0 ready, 0 time-out, -1 error. */
int ts_wait_readable(const int *fds, bool *ready, int n, int ms);

/* setsockopt with an int value (Winsock takes it as const char *). */
int ts_set_int_option(int fd, int level, int name, int value);

#endif
