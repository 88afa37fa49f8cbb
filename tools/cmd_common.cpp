/*
 * What the commands share: reading a catalogue reply, failure messages.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include <cstdio>

/* Like psql, point at the password options when a login without one was
 * refused for it. */
void password_hint(const target &t, const std::string &error)
{
    if (t.no_password && error.find("password") != std::string::npos)
        fprintf(stderr, "%s: hint: no password was given; use -W or set PGPASSWORD\n", g_prog);
}

/* Parses a catalogue reply; prints the failure for people.  Returns true
 * for an "ok" reply. */
bool reply_ok(const target &t, const char *reply, jvalue &doc)
{
    if (!json_parse(reply, doc) || doc.kind != jvalue::OBJ) {
        error_msg(std::string("unreadable reply from the library: ") + (reply ? reply : "(null)"));
        return false;
    }
    if (!doc.flag("ok")) {
        std::string text = doc.str("error");
        error_msg(text.empty() ? std::string("failed without a reason") : text);
        password_hint(t, text);
        return false;
    }
    return true;
}

int json_exit(const char *reply)
{
    printf("%s\n", reply);
    jvalue doc;
    return json_parse(reply, doc) && doc.flag("ok") ? EXIT_OK : EXIT_FAIL;
}
