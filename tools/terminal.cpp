/*
 * Terminal and signals: Ctrl-C counting, the clock, the window size, the
 * login name and the password prompt.  POSIX only.
 */
#include "terminal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

volatile sig_atomic_t g_interrupts = 0;

namespace
{

void on_interrupt(int)
{
    g_interrupts = g_interrupts + 1;
}

} // namespace

/* Ctrl-C and SIGTERM only count; the code that waits decides.  No
 * SA_RESTART: a blocking read of the password prompt must return. */
void catch_interrupts(struct sigaction *old_int, struct sigaction *old_term)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, old_int);
    sigaction(SIGTERM, &sa, old_term);
}

long long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

size_t terminal_columns(int fd)
{
    struct winsize ws;
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

std::string login_name()
{
    struct passwd *pw = getpwuid(geteuid());
    if (pw != nullptr && pw->pw_name != nullptr && *pw->pw_name)
        return pw->pw_name;
    const char *u = getenv("USER");
    if (u == nullptr || *u == '\0')
        u = getenv("LOGNAME");
    return u != nullptr ? u : "";
}

/* Reads a password from the controlling terminal with echo off.  Returns
 * 0, -1 when there is no terminal, or 1 when interrupted (Ctrl-C). */
int prompt_password(const char *prompt, std::string &out)
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    /* Ctrl-C must not end the process with echo still off. */
    struct sigaction old_int, old_term;
    catch_interrupts(&old_int, &old_term);
    struct termios saved, quiet;
    bool have_termios = tcgetattr(fd, &saved) == 0;
    if (have_termios) {
        quiet = saved;
        quiet.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ssize_t ignored = write(fd, prompt, strlen(prompt));
    (void)ignored;
    out.clear();
    int rc = 0;
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (g_interrupts > 0) {
                rc = 1;
                break;
            }
            continue;
        }
        if (n <= 0 || c == '\n' || c == '\r')
            break;
        out += c;
    }
    if (have_termios)
        tcsetattr(fd, TCSAFLUSH, &saved);
    ignored = write(fd, "\n", 1);
    close(fd);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return rc;
}
