/*
 * Fuzz target for the script lexer.  The first byte picks chunk lengths,
 * the rest is the script.  Checks: the items of lx_split tile the text in
 * order; every chunking gives the same events, end state and flags as the
 * whole text; a text the lexer calls inert keeps a statement around it
 * whole; and a text lx_rewrite_pasted accepts stays one inert piece with
 * standard_conforming_strings on and off, without psql variables.  The
 * text is copied into a buffer of its exact size, so any read past it is
 * caught by the sanitizer.
 */
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "script/psql_lexer.h"
#include "support/lexer_events.h"

namespace
{

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void check_tiling(const std::string &text)
{
    std::vector<lx_item> items(text.size() + 2);
    lx_split_result r;
    int rc = lx_split(text.data(), text.size(), items.data(), items.size(), &r);
    check(r.count <= items.size());
    uint64_t at = 0;
    for (size_t i = 0; i < r.count; i++) {
        check(items[i].start == at && items[i].len > 0);
        check(items[i].kind >= LX_ITEM_SPACE && items[i].kind <= LX_ITEM_INCOMPLETE);
        at += items[i].len;
    }
    check(at <= text.size());
    if (rc == 0)
        check(at == text.size());
    check(memchr(r.error, 0, sizeof r.error) != nullptr);
}

/* One statement and no command: what an inert text promises. */
bool one_statement(const std::string &text)
{
    std::vector<lx_item> items(text.size() + 2);
    lx_split_result r;
    if (lx_split(text.data(), text.size(), items.data(), items.size(), &r) != 0 ||
        r.open != LX_OPEN_NONE)
        return false;
    int statements = 0;
    for (size_t i = 0; i < r.count; i++) {
        if (items[i].kind == LX_ITEM_STATEMENT)
            statements++;
        else if (items[i].kind != LX_ITEM_SPACE)
            return false;
    }
    return statements == 1;
}

/* Statements of a script that starts by turning standard_conforming_strings
 * off, or -1 when it does not cut into statements alone. */
int statements_off(const std::string &text)
{
    std::string script = "SET standard_conforming_strings = off;\n" + text;
    std::vector<lx_item> items(script.size() + 2);
    lx_split_result r;
    if (lx_split(script.data(), script.size(), items.data(), items.size(), &r) != 0 ||
        r.open != LX_OPEN_NONE)
        return -1;
    int statements = 0;
    for (size_t i = 0; i < r.count; i++) {
        if (items[i].kind == LX_ITEM_STATEMENT)
            statements++;
        else if (items[i].kind != LX_ITEM_SPACE)
            return -1;
    }
    return statements;
}

/* A text the rewrite accepts sits in a statement as one inert piece
 * whether the replay has standard_conforming_strings on or off, and holds
 * nothing psql would take for a variable. */
void check_rewrite(const char *text, size_t n, int whole)
{
    std::vector<char> out(3 * n + 16);
    size_t len = 0;
    if (lx_rewrite_pasted(text, n, whole, out.data(), out.size(), &len) != 0)
        return;
    check(len <= out.size());
    std::string piece(out.data(), len);
    if (whole) {
        check(lx_statement_is_inert(piece.data(), piece.size()));
        check(one_statement(piece + ";"));
        check(statements_off(piece + ";") == 2);
    } else {
        check(lx_fragment_is_inert(piece.data(), piece.size()));
        check(one_statement("SELECT " + piece + " ;"));
        check(statements_off("SELECT " + piece + " ;") == 2);
    }
    std::vector<lx_item> items(piece.size() + 8);
    lx_split_result r;
    std::string wrapped = "SELECT " + piece + " ;";
    lx_split(wrapped.data(), wrapped.size(), items.data(), items.size(), &r);
    check((r.flags & LX_F_VARIABLE) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<size_t> chunks;
    for (int i = 0; i < 4; i++)
        chunks.push_back(1 + ((data[0] >> (2 * i)) & 3) * (i + 1));
    char *exact = new char[size - 1];
    memcpy(exact, data + 1, size - 1);
    std::string text(exact, size - 1);

    check_tiling(text);
    lexer_run whole = lexer_events(text, {});
    lexer_run cut = lexer_events(text, chunks);
    lexer_run bytes = lexer_events(text, {1});
    check(whole.events == cut.events && whole.events == bytes.events);
    check(whole.open == cut.open && whole.open == bytes.open);
    check(whole.flags == cut.flags && whole.flags == bytes.flags);
    check(whole.end_line == cut.end_line);

    if (lx_fragment_is_inert(exact, size - 1)) {
        check(lx_statement_is_inert(exact, size - 1));
        check(one_statement("SELECT " + text + " ;"));
        check(one_statement("SELECT f(" + text + ") ;\n"));
    }
    if (lx_statement_is_inert(exact, size - 1))
        check(one_statement(text + ";"));
    check_rewrite(exact, size - 1, data[0] & 1);
    delete[] exact;
    return 0;
}
