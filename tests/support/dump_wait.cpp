#include "dump_wait.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "veltrano-pgdump.h"

int wait_final(int session, int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int state = pgdump_status(session);
    while (state >= 0 && state < 3 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state = pgdump_status(session);
    }
    return state;
}

bool wait_progress(int session, bool (*pred)(const std::string &), int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (pred(pgdump_progress(session)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string read_all(FILE *f)
{
    std::string out;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.append(chunk, n);
    return out;
}

std::string read_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return std::string();
    std::string out = read_all(f);
    fclose(f);
    return out;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string partial_file(const std::string &out)
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

static std::string g_temp_dir;

static void remove_temp_dir()
{
    if (g_temp_dir.empty() || g_temp_dir == "/tmp")
        return;
    std::string cmd = "rm -rf '" + g_temp_dir + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", g_temp_dir.c_str());
}

std::string temp_path(const std::string &name)
{
    std::string &dir = g_temp_dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/pgdump-test-XXXXXX";
        const char *d = mkdtemp(tmpl);
        dir = d ? d : "/tmp";
        atexit(remove_temp_dir);
    }
    std::string p = dir + "/" + name;
    unlink(p.c_str());
    return p;
}

long long json_number(const std::string &reply, const std::string &key)
{
    std::string k = "\"" + key + "\":";
    size_t at = reply.find(k);
    if (at == std::string::npos)
        return -1;
    return atoll(reply.c_str() + at + k.size());
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}
