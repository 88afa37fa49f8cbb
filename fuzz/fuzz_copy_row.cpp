/*
 * Fuzz target for the check of COPY rows from the server: the input is
 * split into rows at every 0xff byte; the rows that pass, followed by the
 * end marker, must read back as exactly those rows and then one end line
 * (as psql reads copy data: line by line, up to "\." with \n or \r\n).
 */
#include "dump/rows/table_rows.h"
#include "dump/run/dump_run.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string script;
    size_t rows = 0;
    for (size_t start = 0; start <= size;) {
        const uint8_t *end = static_cast<const uint8_t *>(memchr(data + start, 0xff, size - start));
        size_t n = end != nullptr ? (size_t)(end - data) - start : size - start;
        if (copy_row_fault(data + start, n) == nullptr) {
            script.append(reinterpret_cast<const char *>(data + start), n);
            rows++;
        }
        start += n + 1;
    }
    script += "\\.\n";
    size_t lines = 0;
    for (size_t at = 0; at < script.size();) {
        size_t nl = script.find('\n', at);
        if (nl == std::string::npos)
            __builtin_trap(); /* every passed row ends its line */
        std::string line = script.substr(at, nl + 1 - at);
        bool marker = line == "\\.\n" || line == "\\.\r\n";
        if (marker != (nl + 1 == script.size()) || line.find('\0') != std::string::npos)
            __builtin_trap();
        lines++;
        at = nl + 1;
    }
    if (lines != rows + 1)
        __builtin_trap();
    return 0;
}
