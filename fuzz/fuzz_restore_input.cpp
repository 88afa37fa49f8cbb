/*
 * Fuzz target for what a restore reads before any server sees it: the
 * script file (plain, or gzip / zstd told by magic bytes, possibly corrupt
 * or cut short) decoded in reads of varying size, and the statement
 * classification run on the bytes.  Reading must end (text or a clean
 * error), never loop or overrun.
 */
#include "restore/restore_replay.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    rp_is_blank(text, size);
    rp_is_alone(text, size);
    char table[16];
    if (rp_target_table(text, size, table, sizeof table) == 1 && strlen(table) >= sizeof table)
        __builtin_trap();

    FILE *f = tmpfile();
    if (f == nullptr)
        return 0;
    if (size > 0)
        fwrite(data, 1, size, f);
    rewind(f);
    script_input in;
    if (si_attach(&in, f) != 0)
        return 0;
    static unsigned char out[1 << 16];
    /* The read size follows the input so every cut of the output is tried;
     * a decoder makes at most a few hundred bytes of output per input byte
     * here, so the loop is bounded by the input's size. */
    size_t cap = size > 0 ? (size_t)data[0] * 97 + 1 : 1;
    uint64_t total = 0;
    for (int rounds = 0; rounds < 1000000; rounds++) {
        long n = si_read(&in, out, cap < sizeof out ? cap : sizeof out);
        if (n <= 0)
            break;
        total += (uint64_t)n;
    }
    if (in.file_read > in.file_size && in.file_size >= 0)
        __builtin_trap();
    si_close(&in);
    (void)total;
    return 0;
}
