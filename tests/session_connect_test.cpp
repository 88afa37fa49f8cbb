/*
 * The one connection set-up against a scripted server: which settings each
 * use sends, and the policy for a setting the server refuses (only one that
 * older servers do not know is let pass).
 */
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "config/config.h"
#include "session/connect.h"
#include "support/fake_server.h"

namespace
{

struct setup {
    int rc;
    std::string error;
    std::vector<std::string> queries; /* in the order sent */
};

/* Connects for use; the server refuses every statement holding refuse. */
setup connect_for(int use, const std::string &refuse)
{
    fake_server srv;
    srv.read_startup().send(be_trust_login("16.4"));
    srv.serve_queries([refuse](const std::vector<std::string> &m) {
        const std::string &q = m.back();
        if (!refuse.empty() && q.find(refuse) != std::string::npos)
            return be_error("ERROR", "42704", "unrecognized configuration parameter") + be_ready();
        return be_complete("SET") + be_ready();
    });
    srv.start();
    dump_config *cfg = new dump_config();
    std::string json = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
                       ",\"user\":\"u\",\"database\":\"d\"}";
    EXPECT_EQ(0, parse_config(json.c_str(), cfg));
    pg_conn conn;
    setup out;
    out.rc = session_connect(cfg, nullptr, nullptr, use, &conn);
    if (out.rc == 0)
        pg_close(&conn);
    else
        out.error = conn.error;
    delete cfg;
    srv.join();
    for (size_t i = 1; i < srv.messages().size(); i++) {
        const std::string &msg = srv.message(i);
        if (!msg.empty() && msg[0] == 'Q')
            out.queries.push_back(msg.substr(5, msg.size() - 6));
    }
    return out;
}

} // namespace

TEST(SessionConnect, EachUseSendsItsSettingsAndRefusalsFollowOnePolicy)
{
    struct {
        int use;
        const char *refuse;
        int rc;
        size_t sent; /* statements the server saw */
    } cases[] = {
        {CONN_BARE, "", 0, 0},
        {CONN_DUMP, "", 0, 12},
        {CONN_COMPLETE, "", 0, 13},
        /* older servers do not know it: the set-up goes on */
        {CONN_DUMP, "restrict_nonsystem_relation_kind", 0, 12},
        {CONN_COMPLETE, "restrict_nonsystem_relation_kind", 0, 13},
        /* the script's text depends on these: the set-up stops there */
        {CONN_DUMP, "DateStyle", -1, 3},
        {CONN_COMPLETE, "search_path", -1, 13},
        {CONN_DUMP, "row_security", -1, 6},
    };
    for (const auto &c : cases) {
        setup s = connect_for(c.use, c.refuse);
        std::string what = std::to_string(c.use) + " refusing '" + c.refuse + "'";
        EXPECT_EQ(c.rc, s.rc) << what << ": " << s.error;
        EXPECT_EQ(c.sent, s.queries.size()) << what;
        if (c.rc != 0) {
            EXPECT_NE(std::string::npos, s.error.find("unrecognized configuration parameter"))
                << what;
        }
        bool has_path = false;
        for (const std::string &q : s.queries)
            has_path = has_path || q == "SET search_path = ''";
        EXPECT_EQ(c.use == CONN_COMPLETE && s.queries.size() == 13, has_path) << what;
    }
}
