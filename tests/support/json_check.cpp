#include "support/json_check.h"

#include <cstdio>
#include <string>

#include "support/dump_wait.h"
#include "support/sandbox.h"

namespace
{

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

/* Runs script with python3 on the file of lines; its output is the
 * failures. */
std::string run_oracle(const char *script, const std::string &lines)
{
    std::string data = temp_path("json-oracle.txt");
    std::string code = temp_path("json-oracle.py");
    FILE *f = fopen(data.c_str(), "wb");
    FILE *g = fopen(code.c_str(), "wb");
    if (f == nullptr || g == nullptr) {
        if (f != nullptr)
            fclose(f);
        if (g != nullptr)
            fclose(g);
        return "cannot write the oracle's input";
    }
    fwrite(lines.data(), 1, lines.size(), f);
    fputs(script, g);
    fclose(f);
    fclose(g);
    std::string cmd = "python3 " + code + " " + data + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "cannot run python3";
    std::string out = read_all(p);
    int rc = pclose(p);
    if (rc != 0 && out.empty())
        out = "python3 failed";
    return out;
}

const char DOCUMENT_SCRIPT[] = R"(
import json, sys
def strings(v):
    if isinstance(v, str):
        yield v
    elif isinstance(v, list):
        for x in v:
            yield from strings(x)
    elif isinstance(v, dict):
        for k, x in v.items():
            yield k
            yield from strings(x)
bad = 0
for i, line in enumerate(open(sys.argv[1])):
    raw = bytes.fromhex(line.strip())
    try:
        for s in strings(json.loads(raw.decode('utf-8'))):
            s.encode('utf-8')
    except Exception as e:
        bad += 1
        if bad <= 5:
            print(i, repr(e)[:200], raw[:120])
)";

const char ESCAPE_SCRIPT[] = R"(
import json, sys
bad = 0
for i, line in enumerate(open(sys.argv[1])):
    src, cap, out = line.split()
    src, cap, out = bytes.fromhex(src[1:]), int(cap), bytes.fromhex(out[1:])
    why = None
    try:
        got = json.loads(b'"' + out + b'"')
        want = src.decode('utf-8', 'replace')
        got.encode('utf-8')
        if len(out) >= cap:
            why = 'too long'
        elif not want.startswith(got):
            why = 'not a prefix: %r of %r' % (got, want)
        elif cap >= 6 * len(src) + 7 and got != want:
            why = 'cut: %r of %r' % (got, want)
    except Exception as e:
        why = repr(e)[:200]
    if why:
        bad += 1
        if bad <= 5:
            print(i, src.hex(), cap, out, why)
)";

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
        lines += hex(t) + "\n";
    return run_oracle(DOCUMENT_SCRIPT, lines);
}

std::string json_escape_mismatches(const std::vector<escape_case> &cases)
{
    std::string lines;
    for (const escape_case &c : cases)
        lines += "x" + hex(c.src) + " " + std::to_string(c.capacity) + " x" + hex(c.out) + "\n";
    return run_oracle(ESCAPE_SCRIPT, lines);
}
