#include "support/json_check.h"

#include <cstdio>
#include <string>

#include "support/dump_wait.h"
#include "support/sandbox.h"

namespace
{

/* One line per check: "d x<hex>" a document, or "e x<hex src> <capacity>
 * x<hex out>" an escape; prints the first failures. */
const char SCRIPT[] = R"(
import json, sys
def strings(v):
    if isinstance(v, str):
        yield v
    for x in (v if isinstance(v, list) else v.values() if isinstance(v, dict) else []):
        yield from strings(x)
    if isinstance(v, dict):
        yield from v.keys()
def check(f):
    if f[0] == 'd':
        for s in strings(json.loads(bytes.fromhex(f[1][1:]).decode('utf-8'))):
            s.encode('utf-8')
        return None
    src, cap, out = bytes.fromhex(f[1][1:]), int(f[2]), bytes.fromhex(f[3][1:])
    got, want = json.loads(b'"' + out + b'"'), src.decode('utf-8', 'replace')
    got.encode('utf-8')
    if len(out) >= cap:
        return 'too long'
    if not want.startswith(got) or (cap >= 6 * len(src) + 7 and got != want):
        return 'decodes to %r, not all or a prefix of %r' % (got, want)
bad = 0
for i, line in enumerate(open(sys.argv[1])):
    try:
        why = check(line.split())
    except Exception as e:
        why = repr(e)[:200]
    if why:
        bad += 1
        if bad <= 5:
            print(i, line[:240].strip(), why)
)";

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "x";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string run_oracle(const std::string &lines)
{
    std::string data = temp_path("json-oracle.txt");
    std::string code = temp_path("json-oracle.py");
    FILE *f = fopen(data.c_str(), "wb");
    FILE *g = fopen(code.c_str(), "wb");
    bool written = f != nullptr && g != nullptr &&
                   fwrite(lines.data(), 1, lines.size(), f) == lines.size() &&
                   fputs(SCRIPT, g) >= 0;
    if (f != nullptr)
        fclose(f);
    if (g != nullptr)
        fclose(g);
    if (!written)
        return "cannot write the oracle's input";
    FILE *p = popen(("python3 " + code + " " + data + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return "cannot run python3";
    std::string out = read_all(p);
    if (pclose(p) != 0 && out.empty())
        out = "python3 failed";
    return out;
}

} // namespace

bool json_oracle_available()
{
    static int known = -1;
    if (known < 0)
        known = run_command("python3 -c 'import json' >/dev/null 2>&1") == 0 ? 1 : 0;
    return known == 1;
}

std::string json_invalid_documents(const std::vector<std::string> &texts)
{
    std::string lines;
    for (const std::string &t : texts)
        lines += "d " + hex(t) + "\n";
    return run_oracle(lines);
}

std::string json_escape_mismatches(const std::vector<escape_case> &cases)
{
    std::string lines;
    for (const escape_case &c : cases)
        lines += "e " + hex(c.src) + " " + std::to_string(c.capacity) + " " + hex(c.out) + "\n";
    return run_oracle(lines);
}
