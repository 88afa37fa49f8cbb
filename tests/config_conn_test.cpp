/*
 * Configuration keys of the connection: sslmode and channel_binding take
 * only libpq's words, certificate paths must fit whole, connect_timeout is
 * clamped, and config_conn_params hands every one to the client.
 */
#include "config_fixture.h"
#include "pg_client/pg_client.h"

TEST_F(Config, ConnectionKeysTakeLibpqsWordsAndWholePaths)
{
    expect_accepted("{}");
    EXPECT_STREQ(cfg.sslmode, "");
    EXPECT_EQ(cfg.sslsni, 1);
    EXPECT_EQ(cfg.connect_timeout, 0);

    for (const char *mode : {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"}) {
        expect_accepted(std::string("{\"sslmode\":\"") + mode + "\"}");
        EXPECT_STREQ(cfg.sslmode, mode);
    }
    expect_refused("{\"sslmode\":\"verify\"}");
    expect_refused("{\"sslmode\":\"Require\"}");
    expect_refused("{\"channel_binding\":\"maybe\"}");
    expect_refused("{\"sslrootcert\":\"/" + std::string(1100, 'c') + "\"}");
    expect_refused("{\"sslkey\":\"/" + std::string(1023, 'k') + "\"}");
    expect_accepted("{\"sslkey\":\"/" + std::string(1022, 'k') + "\"}");
    EXPECT_EQ(strlen(cfg.sslkey), 1023u);

    const struct {
        const char *doc;
        int32_t seconds;
    } timeouts[] = {{"{\"connect_timeout\":30}", 30},
                    {"{\"connect_timeout\":-5}", 0},
                    {"{\"connect_timeout\":999999}", 86400},
                    {"{\"connect_timeout\":\"x\"}", 0}};
    for (const auto &t : timeouts) {
        expect_accepted(t.doc);
        EXPECT_EQ(cfg.connect_timeout, t.seconds) << t.doc;
    }

    expect_accepted("{\"host\":\"db\",\"port\":6543,\"user\":\"u\",\"password\":\"p\","
                    "\"sslmode\":\"verify-full\",\"sslrootcert\":\"system\",\"sslcert\":\"c.pem\","
                    "\"sslkey\":\"k.pem\",\"sslsni\":false,\"channel_binding\":\"require\","
                    "\"connect_timeout\":7}");
    pg_conn_params p;
    pg_conn_options o;
    config_conn_params(&cfg, "d", &p, &o);
    EXPECT_STREQ(p.host, "db");
    EXPECT_EQ(p.port, 6543);
    EXPECT_STREQ(p.database, "d");
    EXPECT_STREQ(o.sslmode, "verify-full");
    EXPECT_STREQ(o.sslrootcert, "system");
    EXPECT_STREQ(o.sslcert, "c.pem");
    EXPECT_STREQ(o.sslkey, "k.pem");
    EXPECT_EQ(o.sslsni, 0);
    EXPECT_STREQ(o.channel_binding, "require");
    EXPECT_EQ(o.connect_timeout, 7);
    EXPECT_EQ(o.cancel, nullptr);
}
