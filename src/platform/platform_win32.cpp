/*
 * Windows side of the platform layer: Winsock 2, Win32 threads, the
 * performance counter, and file names taken as UTF-8.
 *
 * Winsock is started by every connection attempt and never cleaned up:
 * WSAStartup counts its calls, so repeating it costs nothing, and a library
 * that calls WSACleanup could pull the socket layer from under its host.
 */
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <io.h>
#include <cstdlib>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#include <sys/stat.h>

static_assert(sizeof(SOCKET) == sizeof(plat_socket), "SOCKET does not fit plat_socket");
static_assert((plat_socket)INVALID_SOCKET == PLAT_INVALID_SOCKET, "invalid socket values differ");
static_assert(sizeof(HANDLE) == sizeof(plat_thread), "HANDLE does not fit plat_thread");

void plat_net_start(void)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
}

int plat_tcp_connect(const char *host, int port, plat_socket *out)
{
    *out = PLAT_INVALID_SOCKET;
    /* Winsock resolves an empty name to the machine's own addresses, where
     * POSIX refuses it: an empty host is a configuration mistake on both. */
    if (host[0] == '\0')
        return PLAT_ERR_RESOLVE;
    char service[16];
    snprintf(service, sizeof service, "%d", port);

    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr)
        return PLAT_ERR_RESOLVE;

    SOCKET s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s == INVALID_SOCKET) {
        freeaddrinfo(list);
        return PLAT_ERR_SOCKET;
    }
    int rc = connect(s, list->ai_addr, (int)list->ai_addrlen);
    freeaddrinfo(list);
    if (rc != 0) {
        closesocket(s);
        return PLAT_ERR_CONNECT;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    *out = (plat_socket)s;
    return 0;
}

long plat_send(plat_socket s, const void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    return send((SOCKET)s, static_cast<const char *>(data), (int)n, 0);
}

long plat_recv(plat_socket s, void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    return recv((SOCKET)s, static_cast<char *>(data), (int)n, 0);
}

void plat_close_socket(plat_socket s)
{
    if (s != PLAT_INVALID_SOCKET)
        closesocket((SOCKET)s);
}

namespace
{
struct thread_start {
    unsigned (*fn)(void *);
    void *arg;
};
} // namespace

/* The layer's thread routine returns unsigned; CreateThread wants a WINAPI
 * routine returning DWORD.  Calling one through the other's pointer type
 * is undefined, so a real adapter sits in between. */
static DWORD WINAPI thread_trampoline(LPVOID p)
{
    /* The start record is on the heap so that the creator can return
     * before the new thread has read it. */
    thread_start st = *static_cast<thread_start *>(p);
    free(p);
    return (DWORD)st.fn(st.arg);
}

int plat_thread_start(plat_thread *out, unsigned (*fn)(void *), void *arg)
{
    thread_start *st = static_cast<thread_start *>(malloc(sizeof(thread_start)));
    if (st == nullptr)
        return -1;
    st->fn = fn;
    st->arg = arg;
    HANDLE h = CreateThread(nullptr, 0, thread_trampoline, st, 0, nullptr);
    if (h == nullptr) {
        free(st);
        return -1;
    }
    *out = h;
    return 0;
}

int plat_thread_join(plat_thread t, int ms)
{
    if (WaitForSingleObject((HANDLE)t, ms < 0 ? 0 : (DWORD)ms) != WAIT_OBJECT_0)
        return -1;
    CloseHandle((HANDLE)t);
    return 0;
}

int64_t plat_counter(void)
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

int64_t plat_counter_freq(void)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

/* Paths arrive as UTF-8 bytes, the encoding of the configuration text.
 * fopen() would read them in the ANSI code page and turn every non-ASCII
 * name into a different file, so they go to the wide-character API.  A path
 * that is not valid UTF-8 is handed to fopen() as it is: a host that passes
 * names in its ANSI code page keeps working.  A UTF-8 path too long for the
 * buffer (twice the configuration's limit) is refused rather than opened
 * under a misread name. */
FILE *plat_fopen_wb(const char *path)
{
    wchar_t wide[2048];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                                (int)(sizeof wide / sizeof wide[0]));
    if (n > 0)
        return _wfopen(wide, L"wb");
    if (GetLastError() != ERROR_NO_UNICODE_TRANSLATION)
        return nullptr;
    return fopen(path, "wb");
}

FILE *plat_fopen_rb(const char *path)
{
    wchar_t wide[2048];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                                (int)(sizeof wide / sizeof wide[0]));
    if (n > 0)
        return _wfopen(wide, L"rb");
    if (GetLastError() != ERROR_NO_UNICODE_TRANSLATION)
        return nullptr;
    return fopen(path, "rb");
}

int64_t plat_file_size(FILE *f)
{
    struct _stati64 st;
    if (_fstati64(_fileno(f), &st) != 0)
        return -1;
    return (int64_t)st.st_size;
}

/* A UTF-8 path as UTF-16; 0 when it is not valid UTF-8 or too long. */
static int wide_path(const char *path, wchar_t *wide, int room)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, room);
}

int plat_file_sync(FILE *f)
{
    if (fflush(f) != 0)
        return -1;
    return _commit(_fileno(f)) == 0 ? 0 : -1;
}

int plat_rename_replace(const char *from, const char *to)
{
    wchar_t wfrom[2048], wto[2048];
    if (wide_path(from, wfrom, 2048) <= 0 || wide_path(to, wto, 2048) <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (MoveFileExW(wfrom, wto, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = EACCES;
    return -1;
}

int plat_path_is_special(const char *path)
{
    wchar_t wide[2048];
    if (wide_path(path, wide, 2048) <= 0)
        return 0;
    HANDLE h = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD type = GetFileType(h);
    CloseHandle(h);
    return type != FILE_TYPE_DISK ? 1 : 0;
}

int plat_remove(const char *path)
{
    wchar_t wide[2048];
    if (wide_path(path, wide, 2048) <= 0)
        return remove(path) == 0 ? 0 : -1;
    return _wremove(wide) == 0 ? 0 : -1;
}

void plat_file_error_text(char *dst, size_t size)
{
    if (strerror_s(dst, size, errno) != 0 && size > 0)
        dst[0] = '\0';
}

void plat_secure_zero(void *p, size_t n)
{
    if (p != nullptr && n > 0)
        SecureZeroMemory(p, n);
}

#endif
