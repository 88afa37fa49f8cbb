#include "client_fixture.h"
#include "pg_client/crypto.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace
{

std::string hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string salted_hex(const char *password, const std::string &salt, int iterations)
{
    unsigned char out[32];
    if (scram_salted_password(password, reinterpret_cast<const unsigned char *>(salt.data()),
                              salt.size(), iterations, out) != 0)
        return "failed";
    return hex(out, 32);
}

std::string b64(const std::string &raw)
{
    unsigned char out[256];
    size_t n = 0;
    crypto_b64_encode(out, sizeof out, &n, reinterpret_cast<const unsigned char *>(raw.data()),
                      raw.size());
    return std::string(reinterpret_cast<char *>(out), n);
}

std::string b64_decode(const std::string &text)
{
    unsigned char out[256];
    size_t n = 0;
    crypto_b64_decode(out, sizeof out, &n, reinterpret_cast<const unsigned char *>(text.data()),
                      text.size());
    return std::string(reinterpret_cast<char *>(out), n);
}

const char PASSWORD[] = "pencil";

/*
 * The server side of one exchange, played by the fake server.  "{nonce}"
 * in server_first stands for the client's nonce; the signature sent back is
 * computed for the exchange as it went unless final_msg is given.
 */
struct scram_peer {
    std::string server_first =
        "r={nonce}%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
    std::string salt = b64_decode("W22ZaJ0SNY7soEsUEjb6gQ==");
    int iterations = 4096;

    /* Filled as the exchange runs (read after join()). */
    std::string nonce;
    std::string sent_first;
    std::string expected_final;

    std::string first_reply(const std::vector<std::string> &msgs)
    {
        const std::string &init = msgs.at(1);
        /* 'p', length, mechanism and NUL, length of the client-first. */
        std::string client_first = init.substr(5 + 14 + 4);
        nonce = client_first.substr(8);
        sent_first = server_first;
        size_t at = sent_first.find("{nonce}");
        if (at != std::string::npos)
            sent_first.replace(at, 7, nonce);
        return be_auth(11, sent_first);
    }

    std::string final_reply(const std::string &r)
    {
        std::string without_proof = "c=biws,r=" + r;
        std::string auth = "n=,r=" + nonce + "," + sent_first + "," + without_proof;
        char proof[45], sig[45];
        if (scram_proof(PASSWORD, reinterpret_cast<const unsigned char *>(salt.data()), salt.size(),
                        iterations, auth.c_str(), proof, sig) != 0)
            return "";
        expected_final = without_proof + ",p=" + proof;
        return be_auth(12, std::string("v=") + sig);
    }
};

/* Runs pg_connect through AuthenticationSASL with the given steps after the
 * SASLInitialResponse has been read. */
int run_exchange(fake_server &srv, pg_conn *conn, const char *password = PASSWORD)
{
    srv.start();
    return pg_connect(conn, "127.0.0.1", srv.port(), "user", password, "db");
}

void expect_scram_failure(fake_server &srv, const char *text)
{
    pg_conn conn;
    EXPECT_EQ(run_exchange(srv, &conn), -1);
    EXPECT_STREQ(conn.error, text);
    EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
    EXPECT_EQ(conn.buf, nullptr);
    srv.join();
}

/* A script up to (and including) the server-first-message. */
void script_to_server_first(fake_server &srv, std::shared_ptr<scram_peer> peer)
{
    srv.read_startup().send(be_auth_sasl({"SCRAM-SHA-256"})).read_message();
    srv.reply([peer](const std::vector<std::string> &m) { return peer->first_reply(m); });
}

std::string r_of(const std::string &server_first)
{
    size_t at = server_first.find("r=");
    size_t end = server_first.find(',', at);
    return server_first.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
}

} // namespace

TEST(ScramMath, SaltedPasswordMatchesPbkdf2Vectors)
{
    EXPECT_EQ(salted_hex("passwd", "salt", 1),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
    EXPECT_EQ(salted_hex("Password", "NaCl", 80000),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56");
    std::string salt64;
    for (int i = 0; i < 64; i++)
        salt64 += (char)i;
    EXPECT_EQ(salted_hex("pw", salt64, 3),
              "48b02bc1cda04267bad5a72096c3b286680c5f226b4e61c825b788f30244f45e");
    EXPECT_EQ(salted_hex("pw", "salt", 0), "failed");
}

TEST(ScramMath, ProofAndServerSignatureMatchRfc7677Example)
{
    const std::string salt = b64_decode("W22ZaJ0SNY7soEsUEjb6gQ==");
    const char *auth = "n=user,r=rOprNGfwEbeRWgbNEkqO,"
                       "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                       "s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096,"
                       "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
    char proof[45], sig[45];
    ASSERT_EQ(scram_proof("pencil", reinterpret_cast<const unsigned char *>(salt.data()),
                          salt.size(), 4096, auth, proof, sig),
              0);
    EXPECT_STREQ(proof, "dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    EXPECT_STREQ(sig, "6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=");
}

TEST(ScramExchange, CompletesAndSendsExactMessages)
{
    /* PLUS first: the plain mechanism must still be found; attributes in
     * the order i, s, r with an unknown one mixed in. */
    for (const char *first : {"r={nonce}srv,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
                              "i=4096,x=ignored,s=W22ZaJ0SNY7soEsUEjb6gQ==,r={nonce}srv"}) {
        auto peer = std::make_shared<scram_peer>();
        peer->server_first = first;
        fake_server srv;
        srv.read_startup()
            .send(be_auth_sasl({"SCRAM-SHA-256-PLUS", "SCRAM-SHA-256"}))
            .read_message();
        srv.reply([peer](const std::vector<std::string> &m) { return peer->first_reply(m); });
        srv.read_message();
        srv.reply([peer](const std::vector<std::string> &) {
            return peer->final_reply(r_of(peer->sent_first)) + be_trust_login();
        });
        srv.read_message();
        pg_conn conn;
        ASSERT_EQ(run_exchange(srv, &conn), 0) << conn.error;
        pg_close(&conn);
        ASSERT_TRUE(srv.join()) << srv.script_error();

        const std::string init = srv.message(1);
        ASSERT_EQ(init.size(), 55u);
        EXPECT_EQ(init.substr(0, 5), std::string("p\0\0\0\x36", 5));
        EXPECT_EQ(init.substr(5, 14), std::string("SCRAM-SHA-256\0", 14));
        EXPECT_EQ(init.substr(19, 4), be_i32(32));
        EXPECT_EQ(init.substr(23, 8), "n,,n=,r=");
        ASSERT_EQ(peer->nonce.size(), 24u);
        EXPECT_EQ(b64_decode(peer->nonce).size(), 18u);
        EXPECT_EQ(srv.message(2), fe_password(peer->expected_final));
    }
}

TEST(ScramExchange, NoncesDifferBetweenConnections)
{
    std::string nonces[2];
    for (std::string &nonce : nonces) {
        auto peer = std::make_shared<scram_peer>();
        fake_server srv;
        script_to_server_first(srv, peer);
        srv.read_message().send(be_error("FATAL", "28P01", "stop"));
        pg_conn conn;
        EXPECT_EQ(run_exchange(srv, &conn), -1);
        srv.join();
        nonce = peer->nonce;
    }
    EXPECT_NE(nonces[0], nonces[1]);
}

TEST(ScramExchange, MechanismListWithoutPlainScramIsRefused)
{
    for (const std::string &reply :
         {be_auth_sasl({"SCRAM-SHA-256-PLUS"}), be_auth(10), be_auth_sasl({}),
          be_auth_sasl({"SCRAM-SHA-256X", "SCRAM-SHA-25"})}) {
        fake_server srv;
        srv.read_startup().send(reply).read_until_closed();
        expect_scram_failure(srv, "server does not offer SCRAM-SHA-256");
    }
}

TEST(ScramExchange, BadServerFirstMessages)
{
    struct {
        const char *first;
        const char *text;
    } cases[] = {
        {"r=someoneelse,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "server nonce mismatch"},
        {"s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "bad SASL continue"},
        {"r={nonce}x,s=,i=4096", "bad SASL continue"},
        {"r={nonce}x,s=W22ZaJ0SNY7soEsUEjb6gQ==", "bad SASL continue"},
        {"r={nonce}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=0", "bad SASL continue"},
        {"r={nonce}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=-4096", "bad SASL continue"},
        {"r={nonce}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=abc", "bad SASL continue"},
        {"r={nonce}x,s=!!!!,i=4096", "salt decode failed"},
    };
    for (const auto &c : cases) {
        auto peer = std::make_shared<scram_peer>();
        peer->server_first = c.first;
        fake_server srv;
        script_to_server_first(srv, peer);
        srv.read_until_closed();
        SCOPED_TRACE(c.first);
        expect_scram_failure(srv, c.text);
    }
}

TEST(ScramExchange, IterationCountBeyondTenMillionIsRefusedBeforeHashing)
{
    struct {
        const char *i;
        const char *text;
    } cases[] = {
        {"10000001", "SCRAM iteration count 10000001 refused: more than 10000000"},
        {"99999999999999", "SCRAM iteration count 2147483647 refused: more than 10000000"},
    };
    for (const auto &c : cases) {
        auto peer = std::make_shared<scram_peer>();
        peer->server_first = std::string("r={nonce}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=") + c.i;
        fake_server srv;
        script_to_server_first(srv, peer);
        srv.read_until_closed();
        SCOPED_TRACE(c.i);
        expect_scram_failure(srv, c.text);
        /* Nothing after the client-first: no proof was computed or sent. */
        EXPECT_EQ(srv.messages().size(), 2u);
    }
}

TEST(ScramExchange, SaltOf64BytesIsAcceptedAnd65Refused)
{
    for (size_t n : {64u, 65u}) {
        auto peer = std::make_shared<scram_peer>();
        peer->salt = std::string(n, '\x5a');
        peer->server_first = "r={nonce}x,s=" + b64(peer->salt) + ",i=2";
        peer->iterations = 2;
        fake_server srv;
        script_to_server_first(srv, peer);
        if (n == 64) {
            srv.read_message().reply([peer](const std::vector<std::string> &) {
                return peer->final_reply(peer->nonce + "x") + be_trust_login();
            });
            srv.read_message();
            pg_conn conn;
            EXPECT_EQ(run_exchange(srv, &conn), 0) << conn.error;
            pg_close(&conn);
            srv.join();
        } else {
            srv.read_until_closed();
            expect_scram_failure(srv, "salt decode failed");
        }
    }
}

TEST(ScramExchange, WrongRepliesToClientFirst)
{
    struct {
        std::string reply;
        const char *text;
    } cases[] = {
        {be_error("FATAL", "28P01", "no"), "FATAL: no"},
        {be_notice("hm"), "expected SASL continue"},
        {be_msg('R', "abc"), "expected SASL continue"},
        {be_auth(12, "v=x"), "expected SASL continue (11)"},
    };
    for (const auto &c : cases) {
        fake_server srv;
        srv.read_startup().send(be_auth_sasl({"SCRAM-SHA-256"})).read_message().send(c.reply);
        srv.read_until_closed();
        expect_scram_failure(srv, c.text);
    }
    fake_server srv;
    srv.read_startup().send(be_auth_sasl({"SCRAM-SHA-256"})).read_message().close();
    expect_scram_failure(srv, "expected SASL continue");
}

TEST(ScramExchange, ServerMustProveItKnowsThePassword)
{
    /* A wrong signature, a missing one, and an AuthenticationOk sent
     * before any: none may complete the login. */
    const std::string replies[] = {be_auth(12, "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="),
                                   be_auth(12, "x=abc"), be_auth(12, ""),
                                   be_auth_ok() + be_auth_ok() + be_ready()};
    for (const std::string &reply : replies) {
        auto peer = std::make_shared<scram_peer>();
        fake_server srv;
        script_to_server_first(srv, peer);
        srv.read_message().send(reply + be_trust_login()).read_until_closed();
        expect_scram_failure(srv, "server signature mismatch");
    }
}

TEST(ScramExchange, WrongRepliesToClientFinal)
{
    struct {
        std::string reply;
        const char *text;
    } cases[] = {
        {be_error("FATAL", "28P01", "password authentication failed for user \"user\""),
         "FATAL: password authentication failed for user \"user\""},
        {be_param("a", "b"), "expected SASL final"},
    };
    for (const auto &c : cases) {
        auto peer = std::make_shared<scram_peer>();
        fake_server srv;
        script_to_server_first(srv, peer);
        srv.read_message().send(c.reply).read_until_closed();
        expect_scram_failure(srv, c.text);
    }
}

TEST(ScramParse, AttributesInAnyOrderLastRepeatWinsOthersIgnored)
{
    scram_server_first a;
    scram_parse_server_first("i=4096,m=ext,s=c2FsdA==,r=abc,r=abcdef", &a);
    EXPECT_STREQ("abcdef", a.r);
    EXPECT_STREQ("c2FsdA==", a.s);
    EXPECT_EQ(4096, a.iterations);

    scram_parse_server_first("r,s=,x=1,i= -3,", &a);
    EXPECT_STREQ("", a.r);
    EXPECT_STREQ("", a.s);
    EXPECT_EQ(-3, a.iterations);

    scram_parse_server_first("i=99999999999999,r=", &a);
    EXPECT_EQ(INT_MAX, a.iterations);

    std::string long_r = "r=" + std::string(400, 'n');
    scram_parse_server_first(long_r.c_str(), &a);
    EXPECT_EQ(255u, strlen(a.r));
}
