/*
 * Stand-in for libFuzzer's driver in ordinary builds: runs the target once
 * on every file of the directories (or the files) named on the command
 * line, so kept crash inputs are replayed by the normal test run.
 * Dot-files are skipped; a missing directory is reported but is not an
 * error, since git keeps no empty directories.  Running no input at all is
 * an error: it means the paths are wrong.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool run_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv)
{
    size_t runs = 0;
    bool failed = false;
    for (int a = 1; a < argc; a++) {
        fs::path arg(argv[a]);
        std::error_code ec;
        if (fs::is_regular_file(arg, ec)) {
            failed |= !run_file(arg);
            runs++;
            continue;
        }
        if (!fs::is_directory(arg, ec)) {
            printf("%s: not there, skipped\n", argv[a]);
            continue;
        }
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(arg, ec)) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file(ec) && !name.empty() && name[0] != '.') {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto &f : files) {
            failed |= !run_file(f);
            runs++;
        }
        printf("%s: %zu inputs\n", argv[a], files.size());
    }
    if (runs == 0) {
        fprintf(stderr, "no input replayed\n");
        return 1;
    }
    printf("%zu inputs replayed\n", runs);
    return failed ? 1 : 0;
}
