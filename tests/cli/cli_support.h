/*
 * Running the command-line host as a separate process, the way people run
 * it: with pipes, or on a pseudo-terminal; and the fixture of its tests (a
 * private temporary directory).
 */
#ifndef PGDUMP_TESTS_CLI_SUPPORT_H
#define PGDUMP_TESTS_CLI_SUPPORT_H

#include "support/sandbox.h"
#include "support/tcp_proxy.h"
#include "veltrano-pgdump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

const char *const cli_path = PGDUMP_CLI_PATH;

struct cli_result {
    int rc = -1;
    std::string out, err;
};

/* The caller's environment without PG* variables, which would otherwise
 * leak a developer's settings into the runs, plus the given entries, which
 * replace variables of the same name.  No password file unless a test
 * names one: a developer's ~/.pgpass must not change what the runs send. */
inline std::vector<std::string> child_env(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        bool replaced = strncmp(*e, "PG", 2) == 0;
        for (const std::string &x : extra)
            replaced = replaced || strncmp(*e, x.c_str(), x.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(*e);
    }
    bool passfile = false;
    for (const std::string &x : extra)
        passfile = passfile || x.compare(0, 11, "PGPASSFILE=") == 0;
    if (!passfile)
        env.push_back("PGPASSFILE=/nonexistent/pgpass");
    for (const std::string &x : extra)
        env.push_back(x);
    return env;
}

inline std::vector<std::string> sandbox_env(const std::string &user = SANDBOX_TRUST_USER)
{
    const sandbox_info *sb = sandbox_server();
    return {"PGHOST=" + sb->host, "PGPORT=" + std::to_string(sb->port), "PGUSER=" + user};
}

[[noreturn]] inline void exec_cli(const std::vector<std::string> &args,
                                  const std::vector<std::string> &env)
{
    std::vector<char *> argv{const_cast<char *>(cli_path)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(cli_path, argv.data(), envp.data());
    _exit(127);
}

inline int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

struct child {
    pid_t pid = -1;
    int out = -1, err = -1;
};

inline child start_cli(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       const std::string &input = "/dev/null")
{
    int o[2], e[2];
    child c;
    if (pipe(o) != 0 || pipe(e) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        int devnull = open(input.c_str(), O_RDONLY);
        dup2(devnull, 0);
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]);
        close(e[0]);
        /* A process group of its own: no terminal to inherit signals from. */
        setpgid(0, 0);
        exec_cli(args, env);
    }
    close(o[1]);
    close(e[1]);
    c.out = o[0];
    c.err = e[0];
    return c;
}

/* A run whose standard output is the file at path, as "> path" makes it;
 * the result's out stays empty. */
inline child start_cli_to_file(const std::vector<std::string> &args,
                               const std::vector<std::string> &env, const std::string &path)
{
    int o[2], e[2];
    child c;
    if (pipe(o) != 0 || pipe(e) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(devnull, 0);
        dup2(file, 1);
        dup2(e[1], 2);
        close(o[0]);
        close(o[1]);
        close(e[0]);
        setpgid(0, 0);
        exec_cli(args, env);
    }
    close(o[1]);
    close(e[1]);
    c.out = o[0];
    c.err = e[0];
    return c;
}

/* Drains both pipes and reaps the child; kills it after timeout_ms. */
inline cli_result finish_cli(child &c, int timeout_ms = 60000)
{
    cli_result r;
    int waited = 0;
    struct pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && waited < timeout_ms) {
        int n = poll(fds, 2, 100);
        if (n == 0)
            waited += 100;
        for (int i = 0; i < 2 && n > 0; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, (size_t)got);
            }
        }
    }
    if (open_fds > 0) {
        kill(c.pid, SIGKILL);
        for (auto &f : fds)
            if (f.fd >= 0)
                close(f.fd);
    }
    int status = 0;
    waitpid(c.pid, &status, 0);
    r.rc = open_fds > 0 ? -2 : exit_code(status);
    return r;
}

inline cli_result run_cli(const std::vector<std::string> &args,
                          const std::vector<std::string> &env = {},
                          const std::string &input = "/dev/null")
{
    child c = start_cli(args, child_env(env), input);
    return finish_cli(c);
}

inline cli_result run_cli_to_file(const std::vector<std::string> &args,
                                  const std::vector<std::string> &env, const std::string &path)
{
    child c = start_cli_to_file(args, child_env(env), path);
    return finish_cli(c);
}

/* A run on a pseudo-terminal of 100 columns: what a person sees. */
struct pty_run {
    pid_t pid = -1;
    int master = -1;
    std::string seen;

    bool start(const std::vector<std::string> &args, const std::vector<std::string> &env)
    {
        struct winsize ws = {};
        ws.ws_row = 24;
        ws.ws_col = 100;
        pid = forkpty(&master, nullptr, nullptr, &ws);
        if (pid == 0)
            exec_cli(args, child_env(env));
        return pid > 0;
    }
    /* Reads until done(output) holds; false on time-out or end. */
    template <typename Pred> bool wait_until(Pred done, int timeout_ms = 30000)
    {
        for (int waited = 0; !done(seen); waited += 50) {
            if (waited >= timeout_ms)
                return false;
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0)
                    return false;
                seen.append(buf, (size_t)n);
            }
        }
        return true;
    }
    void type(const std::string &keys)
    {
        ssize_t n = write(master, keys.data(), keys.size());
        (void)n;
    }
    /* Reads to the end of the output (EIO once the child is gone). */
    int finish(int timeout_ms = 30000)
    {
        char buf[4096];
        for (int waited = 0; waited < timeout_ms;) {
            struct pollfd p = {master, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r == 0) {
                waited += 100;
                continue;
            }
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, (size_t)n);
        }
        close(master);
        int status = 0;
        for (int i = 0; i < 100; i++) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return exit_code(status);
            usleep(50000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }
};

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

/* The partial script a run keeps beside out ("out.<16 hex digits>.partial"),
 * or "" when there is none. */
inline std::string partial_file(const std::string &out)
{
    size_t slash = out.rfind('/');
    std::string dir = slash == std::string::npos ? "." : out.substr(0, slash);
    std::string base = out.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return "";
    std::string found;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() == base.size() + 24 && name.compare(0, base.size(), base) == 0 &&
            name.compare(name.size() - 8, 8, ".partial") == 0)
            found = dir + "/" + name;
    }
    closedir(d);
    return found;
}

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline int dir_entries(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    int n = 0;
    for (struct dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d))
        n += e->d_name[0] != '.';
    if (d != nullptr)
        closedir(d);
    return n;
}

class CliTest : public ::testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/pgdump-cli-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { run_command("rm -rf '" + dir + "'"); }
};

} // namespace

#endif
