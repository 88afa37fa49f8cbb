/*
 * Output for people: printable names, display widths, aligned tables,
 * human-readable sizes, counts and durations.
 */
#include "text_format.h"

#include "cli.h"

#include <algorithm>
#include <cstdio>

const char *const g_prog = "veltrano-pgdump";

/* Names and server texts reach the terminal: control bytes are shown as
 * \xNN so a crafted table name cannot move the cursor or retitle it. */
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

/* Terminal columns taken by a UTF-8 text: East Asian wide characters and
 * most emoji take two, combining marks none.  Enough to align tables. */
size_t display_width(const std::string &s)
{
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        unsigned cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            w++;
            i++;
            continue;
        }
        if (i + n > s.size()) {
            w++;
            break;
        }
        for (size_t k = 1; k < n; k++)
            cp = (cp << 6) | ((unsigned char)s[i + k] & 0x3F);
        i += n;
        if ((cp >= 0x300 && cp < 0x370) || cp == 0x200D || (cp >= 0xFE00 && cp <= 0xFE0F))
            continue;
        if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
            (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
            (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
            (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
            (cp >= 0x20000 && cp <= 0x3FFFD))
            w += 2;
        else
            w += 1;
    }
    return w;
}

/* Cuts a UTF-8 text to at most max columns, never inside a character. */
std::string fit_width(const std::string &s, size_t max)
{
    if (display_width(s) <= max)
        return s;
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = 1;
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xE0) == 0xC0)
            n = 2;
        else if ((c & 0xF0) == 0xE0)
            n = 3;
        else if ((c & 0xF8) == 0xF0)
            n = 4;
        std::string next = out + s.substr(i, n);
        if (display_width(next) + 1 > max)
            break;
        out = next;
        i += n;
    }
    return out + "~";
}

namespace
{

/* The UTF-8 characters of s, each whole. */
std::vector<std::string> characters(const std::string &s)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size();) {
        size_t n = 1;
        while (i + n < s.size() && ((unsigned char)s[i + n] & 0xC0) == 0x80)
            n++;
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

} // namespace

std::string fit_middle(const std::string &s, size_t max)
{
    if (display_width(s) <= max)
        return s;
    if (max < 3)
        return fit_width(s, max);
    std::vector<std::string> ch = characters(s);
    size_t room = max - 1; /* the ~ takes one column */
    std::string head, tail;
    size_t front = 0, back = ch.size();
    /* Take characters alternately from both ends while they fit, the
     * front one first. */
    for (bool from_front = true; front < back; from_front = !from_front) {
        const std::string &next = from_front ? ch[front] : ch[back - 1];
        if (display_width(head) + display_width(tail) + display_width(next) > room)
            break;
        if (from_front)
            head += ch[front++];
        else
            tail = ch[--back] + tail;
    }
    return head + "~" + tail;
}

std::string pad(const std::string &s, size_t width, bool right)
{
    size_t w = display_width(s);
    std::string fill(w < width ? width - w : 0, ' ');
    return right ? fill + s : s + fill;
}

/* 1.2 MB style: one decimal below ten units, whole numbers above. */
std::string human_bytes(long long n)
{
    static const char *const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    double v = (double)(n < 0 ? 0 : n);
    int u = 0;
    while (v >= 1024.0 && u < 5) {
        v /= 1024.0;
        u++;
    }
    char buf[32];
    if (u == 0)
        snprintf(buf, sizeof buf, "%lld B", n < 0 ? 0 : n);
    else if (v < 9.95)
        snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    else
        snprintf(buf, sizeof buf, "%.0f %s", v, units[u]);
    return buf;
}

/* 350k style for row counts. */
std::string human_count(long long n)
{
    static const char *const units[] = {"", "k", "M", "G", "T"};
    if (n < 1000)
        return std::to_string(n < 0 ? 0 : n);
    double v = (double)n;
    int u = 0;
    while (v >= 999.5 && u < 4) {
        v /= 1000.0;
        u++;
    }
    char buf[32];
    if (v < 9.95)
        snprintf(buf, sizeof buf, "%.1f%s", v, units[u]);
    else
        snprintf(buf, sizeof buf, "%.0f%s", v, units[u]);
    return buf;
}

std::string grouped(long long n)
{
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string human_duration(long long ms)
{
    long long s = ms / 1000;
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

/* psql's aligned format: a header, a rule, the rows, no outer frame. */
void print_table(const std::vector<std::string> &head, const std::vector<bool> &right,
                 const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); c++) {
        width[c] = display_width(head[c]);
        for (const auto &row : rows)
            width[c] = std::max(width[c], display_width(row[c]));
    }
    auto emit = [&](const std::vector<std::string> &cells, bool is_head) {
        std::string out;
        for (size_t c = 0; c < cells.size(); c++) {
            if (c > 0)
                out += "|";
            out += " " + pad(cells[c], width[c], right[c] && !is_head) + " ";
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        printf("%s\n", out.c_str());
    };
    emit(head, true);
    std::string rule;
    for (size_t c = 0; c < head.size(); c++) {
        if (c > 0)
            rule += "+";
        rule += std::string(width[c] + 2, '-');
    }
    printf("%s\n", rule.c_str());
    for (const auto &row : rows)
        emit(row, false);
}

void error_msg(const std::string &text)
{
    fprintf(stderr, "%s: error: %s\n", g_prog, printable(text).c_str());
}
