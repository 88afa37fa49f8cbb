/*
 * Windows side of the platform layer: Winsock 2, Win32 threads, the
 * performance counter, and file names taken as UTF-8.
 *
 * Winsock is started by every connection attempt and never cleaned up:
 * WSAStartup counts its calls, so repeating it costs nothing, and a library
 * that calls WSACleanup could pull the socket layer from under its host.
 */
#ifdef _WIN32

#include "platform.h"
#include "platform_net.h"
#include "platform_sockets.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <io.h>

#include <sys/stat.h>
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <mstcpip.h>
#include <wincrypt.h>

static_assert(sizeof(SOCKET) == sizeof(plat_socket), "SOCKET does not fit plat_socket");
static_assert((plat_socket)INVALID_SOCKET == PLAT_INVALID_SOCKET, "invalid socket values differ");
static_assert(sizeof(HANDLE) == sizeof(plat_thread), "HANDLE does not fit plat_thread");

void plat_net_start(void)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
}

/* Keepalive timings, as on POSIX: idle 60 s, probes every 10 s. */
#define PLAT_KEEPIDLE_MS 60000
#define PLAT_KEEPINTVL_MS 10000

static SOCKET sock_of(plat_socket s)
{
    return (SOCKET)s;
}

static const struct addrinfo *ai_of(const net_addr *a)
{
    return reinterpret_cast<const struct addrinfo *>(a);
}

void net_set_options(plat_socket ps)
{
    SOCKET s = sock_of(ps);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one);
    struct tcp_keepalive ka = {1, PLAT_KEEPIDLE_MS, PLAT_KEEPINTVL_MS};
    DWORD got = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr);
}

void net_error_text(int code, char *dst, size_t size)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)code,
                   0, text, sizeof text, nullptr);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = 0;
    if (n == 0)
        snprintf(text, sizeof text, "error %d", code);
    snprintf(dst, size, "%s", text);
}

int net_last_error(void)
{
    return WSAGetLastError();
}

void net_resolve_error(int rc, char *dst, size_t size)
{
    (void)rc; /* Winsock tells its reason through WSAGetLastError */
    net_error_text(WSAGetLastError(), dst, size);
}

int net_connect(plat_socket ps, const net_addr *a, int64_t deadline, plat_stop_fn stop,
                const void *ctx)
{
    SOCKET s = sock_of(ps);
    const struct addrinfo *ai = ai_of(a);
    if (deadline == 0 && stop == nullptr)
        return connect(s, ai->ai_addr, (int)ai->ai_addrlen) == 0 ? 0 : WSAGetLastError();
    u_long on = 1, off = 0;
    ioctlsocket(s, FIONBIO, &on);
    int err = 0;
    if (connect(s, ai->ai_addr, (int)ai->ai_addrlen) != 0) {
        err = WSAGetLastError();
        while (err == WSAEWOULDBLOCK) {
            if (stop != nullptr && stop(ctx) != 0) {
                err = WSAECANCELLED;
                break;
            }
            int left = deadline != 0 ? net_ms_left(deadline) : PLAT_SLICE_MS;
            if (left <= 0) {
                err = WSAETIMEDOUT;
                break;
            }
            /* A refused connect shows as POLLERR / POLLHUP, read below. */
            WSAPOLLFD pfd = {s, POLLOUT, 0};
            int r = WSAPoll(&pfd, 1, left < PLAT_SLICE_MS ? left : PLAT_SLICE_MS);
            if (r < 0) {
                err = WSAGetLastError();
                break;
            }
            if (r == 0)
                continue;
            int len = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
                err = WSAGetLastError();
        }
    }
    ioctlsocket(s, FIONBIO, &off);
    if (err == WSAECANCELLED)
        return NET_STOPPED;
    return err == WSAETIMEDOUT ? NET_TIMED_OUT : err;
}

int plat_wait_writable(plat_socket s, int ms)
{
    WSAPOLLFD pfd = {(SOCKET)s, POLLWRNORM, 0};
    int r = WSAPoll(&pfd, 1, ms);
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}

long plat_send_ready(plat_socket s, const void *data, size_t n)
{
    if (n > INT_MAX)
        n = INT_MAX;
    /* Winsock has no per-call MSG_DONTWAIT: the socket is non-blocking for
     * this one send. */
    u_long on = 1, off = 0;
    ioctlsocket((SOCKET)s, FIONBIO, &on);
    int r = send((SOCKET)s, static_cast<const char *>(data), (int)n, 0);
    int e = r < 0 ? WSAGetLastError() : 0;
    ioctlsocket((SOCKET)s, FIONBIO, &off);
    if (r >= 0)
        return r;
    return e == WSAEWOULDBLOCK ? 0 : -1;
}

int plat_wait_readable(plat_socket s, int ms)
{
    WSAPOLLFD pfd = {(SOCKET)s, POLLRDNORM, 0};
    int r = WSAPoll(&pfd, 1, ms);
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}

int plat_system_roots(int (*add)(void *ctx, const unsigned char *data, size_t len), void *ctx)
{
    HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
    if (store == nullptr)
        return -1;
    int taken = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        if (cert->dwCertEncodingType == X509_ASN_ENCODING &&
            add(ctx, cert->pbCertEncoded, cert->cbCertEncoded) == 0)
            taken++;
    }
    CertCloseStore(store, 0);
    return taken;
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

/* The last Windows failure as the errno plat_file_error_text reads. */
static void set_errno_from_windows(void)
{
    DWORD e = GetLastError();
    errno = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS      ? EEXIST
            : e == ERROR_PATH_NOT_FOUND || e == ERROR_FILE_NOT_FOUND ? ENOENT
                                                                     : EACCES;
}

static int to_wide(const char *path, wchar_t *wide, int room)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, room);
}

FILE *plat_create_private(const char *path)
{
    wchar_t wide[2048];
    if (to_wide(path, wide, (int)(sizeof wide / sizeof wide[0])) <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    HANDLE h =
        CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_windows();
        return nullptr;
    }
    int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        DeleteFileW(wide);
        return nullptr;
    }
    FILE *f = _fdopen(fd, "wb");
    if (f == nullptr) {
        _close(fd);
        DeleteFileW(wide);
    }
    return f;
}

int plat_make_private_dir(const char *path)
{
    wchar_t wide[2048];
    if (to_wide(path, wide, (int)(sizeof wide / sizeof wide[0])) <= 0)
        return -1;
    if (CreateDirectoryW(wide, nullptr))
        return 0;
    set_errno_from_windows();
    return -1;
}

int plat_remove_dir(const char *path)
{
    wchar_t wide[2048];
    if (to_wide(path, wide, (int)(sizeof wide / sizeof wide[0])) <= 0)
        return -1;
    return RemoveDirectoryW(wide) ? 0 : -1;
}

int plat_random(void *dst, size_t n)
{
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(dst), (ULONG)n,
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0
               ? 0
               : -1;
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
