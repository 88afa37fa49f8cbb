/*
 * The system's socket headers for the files of the platform layer that
 * share socket code across systems.  Internal to the platform layer.
 */
#ifndef PGDUMP_PLATFORM_SOCKETS_H
#define PGDUMP_PLATFORM_SOCKETS_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#endif
