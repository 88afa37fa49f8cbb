/*
 * Standard input and output through a private temporary file.
 */
#include "stdio_file.h"

#include "terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace
{

/* Writes all of buf; false on a failed write (EPIPE included). */
bool write_all(int fd, const char *buf, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR && g_interrupts == 0)
            continue;
        if (w <= 0)
            return false;
        buf += w;
        n -= (size_t)w;
    }
    return true;
}

/* Copies in to out until the end of in.  0, or -1 with err naming the
 * side that failed. */
int copy_fd(int in, int out, const std::string &in_name, const std::string &out_name,
            std::string &err)
{
    std::vector<char> buf(1 << 16);
    for (;;) {
        /* Ctrl-C (counted, see terminal.h) ends a copy from a slow pipe. */
        if (g_interrupts > 0) {
            err = "interrupted";
            return -1;
        }
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = "cannot read " + in_name + ": " + strerror(errno);
            return -1;
        }
        if (n == 0)
            return 0;
        if (!write_all(out, buf.data(), (size_t)n)) {
            err = "cannot write " + out_name + ": " + strerror(errno);
            return -1;
        }
    }
}

} // namespace

int temp_dir_make(std::string &dir, std::string &err)
{
    const char *base = getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/veltrano-pgdump-XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr) {
        err = "cannot make a temporary directory in " + tmpl.substr(0, tmpl.rfind('/')) + ": " +
              strerror(errno);
        return -1;
    }
    dir = path.data();
    return 0;
}

void temp_dir_remove(const std::string &dir)
{
    if (dir.empty())
        return;
    DIR *d = opendir(dir.c_str());
    if (d != nullptr) {
        std::vector<std::string> names;
        for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(dir + "/" + e->d_name);
        closedir(d);
        for (const std::string &name : names)
            unlink(name.c_str());
    }
    rmdir(dir.c_str());
}

int copy_file_to_fd(const std::string &path, int fd, std::string &err)
{
    int in = open(path.c_str(), O_RDONLY);
    if (in < 0) {
        err = "cannot read the script \"" + path + "\": " + strerror(errno);
        return -1;
    }
    int rc = copy_fd(in, fd, "the script", "the script to standard output", err);
    close(in);
    return rc;
}

int copy_fd_to_file(int fd, const std::string &path, std::string &err)
{
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0) {
        err = "cannot make \"" + path + "\": " + strerror(errno);
        return -1;
    }
    int rc = copy_fd(fd, out, "standard input", "\"" + path + "\"", err);
    if (close(out) != 0 && rc == 0) {
        err = "cannot write \"" + path + "\": " + strerror(errno);
        rc = -1;
    }
    return rc;
}
