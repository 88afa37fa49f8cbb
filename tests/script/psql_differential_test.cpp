/*
 * psql itself as the oracle of the lexer, over a seeded random corpus:
 * each script is run by real psql (psql -X -f) against a fake server that
 * records every query psql sends and answers each, reporting
 * standard_conforming_strings when a statement sets it by its words as a
 * server would.  The statements psql sent must be the statements the
 * lexer cuts from the same script.
 */
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "script/psql_lexer.h"
#include "support/dump_wait.h"
#include "support/fake_server.h"
#include "support/sandbox.h"

namespace
{

/* The queries psql sent for script, or a note starting with "!" when
 * psql could not be run. */
std::vector<std::string> psql_queries(const std::string &script, const std::string &path)
{
    write_file(path, script);
    fake_server srv;
    srv.read_startup()
        .send(be_auth_ok() + be_param("server_version", "15.18") +
              be_param("server_encoding", "UTF8") + be_param("client_encoding", "UTF8") +
              be_param("standard_conforming_strings", "on") + be_key_data(1, 2) + be_ready())
        .serve_queries([](const std::vector<std::string> &m) {
            const std::string &q = m.back();
            std::string sql = q.size() > 5 ? q.substr(5, q.size() - 6) : "";
            int std = lx_statement_std_strings(sql.data(), sql.size());
            std::string out;
            if (std >= 0)
                out += be_param("standard_conforming_strings", std ? "on" : "off");
            return out + be_complete("SET") + be_ready();
        });
    srv.start();
    int rc = run_command("PGSSLMODE=disable PGGSSENCMODE=disable PSQL_EDITOR=false EDITOR=false "
                         "timeout 20 psql -X -q -h 127.0.0.1 -p " +
                         std::to_string(srv.port()) + " -U u -d d -f " + path +
                         " </dev/null >/dev/null 2>&1");
    bool joined = srv.join();
    std::vector<std::string> out;
    if (rc == 127 || (!joined && srv.messages().size() < 2))
        return {"!psql did not run: " + srv.script_error()};
    for (size_t i = 1; i < srv.messages().size(); i++) {
        const std::string &msg = srv.messages()[i];
        if (msg.size() <= 5 || msg[0] != 'Q')
            continue;
        /* psql keeps a slash-star comment that leads a statement; the
         * lexer's statement starts after it */
        std::string q = msg.substr(5, msg.size() - 6);
        size_t at = 0;
        while (q.compare(at, 2, "/*") == 0 && q.find("*/", at) != std::string::npos)
            at = q.find_first_not_of(" \n", q.find("*/", at) + 2);
        out.push_back(at == std::string::npos ? "" : q.substr(at));
    }
    return out;
}

/* What the lexer says psql sends: every statement, a backslash command
 * cutting one leaving a "\n" in its place (psql joins the lines it keeps
 * with one), and the text still open at the end (psql sends that too,
 * without a last "\n"). */
std::vector<std::string> lexer_queries(const std::string &script)
{
    std::vector<lx_item> items(script.size() + 1);
    lx_split_result r;
    lx_split(script.data(), script.size(), items.data(), items.size(), &r);
    std::vector<std::string> out;
    std::string held;
    bool holding = false;
    for (size_t i = 0; i < r.count && i < items.size(); i++) {
        std::string text = script.substr(items[i].start, items[i].len);
        if (items[i].kind == LX_ITEM_STATEMENT) {
            out.push_back(held + text);
            held.clear();
            holding = false;
        } else if (items[i].kind == LX_ITEM_INCOMPLETE) {
            held += text;
            holding = true;
        } else if (items[i].kind == LX_ITEM_META && holding) {
            held += "\n";
        }
    }
    if (holding)
        out.push_back(held.back() == '\n' ? held.substr(0, held.size() - 1) : held);
    return out;
}

const char *const PIECES[] = {
    "SELECT 1",
    "'a;b'",
    "E'x\\';y'",
    "'a\\'",
    "$a$ ; $a$",
    "1e1$a$",
    "1e+1",
    "1.5e2$a$",
    ":x$a$",
    "$a$",
    ":begin",
    "a[1:begin]",
    "a[1:2]",
    "CREATE FUNCTION f() BEGIN ATOMIC SELECT 1;",
    "END",
    "BEGIN",
    "CASE",
    "(",
    ")",
    ";",
    ";\n",
    "\n",
    " ",
    "/* ; */",
    "-- ;\n",
    "\"q;\"",
    "SET standard_conforming_strings = off;\n",
    "SET standard_conforming_strings = on;\n",
    "n'\\'",
    "x'1'",
    "e'\\\\'",
    "1::int",
    "x:=1",
    "$1",
    "'''",
};

} // namespace

TEST(PsqlDifferential, LexerCutsAsRealPsqlSendsOverASeededCorpus)
{
    if (run_command("psql --version >/dev/null 2>&1") != 0) {
        if (sandbox_required())
            FAIL() << "psql is not installed";
        GTEST_SKIP() << "psql is not installed";
    }
    std::mt19937 rng(1616);
    const size_t n_pieces = sizeof PIECES / sizeof PIECES[0];
    std::string path = temp_path("differential.sql");
    for (int round = 0; round < 40; round++) {
        /* Each script starts at a statement so psql's leading-comment rule
         * does not come in; then random pieces, ended by a ';'. */
        std::string script = "SELECT 0;\n";
        int count = 4 + (int)(rng() % 14);
        for (int k = 0; k < count; k++) {
            script += PIECES[rng() % n_pieces];
            script += " ";
        }
        script += ";\n";
        std::vector<std::string> sent = psql_queries(script, path);
        ASSERT_FALSE(!sent.empty() && sent[0][0] == '!') << sent[0];
        EXPECT_EQ(sent, lexer_queries(script)) << "round " << round << ":\n" << script;
    }
}
