/*
 * A scripted stand-in for a PostgreSQL server, for what a real server will
 * not send: broken lengths, odd authentication requests, messages split
 * across reads, connections dropped half-way.
 *
 * The server listens on 127.0.0.1 at a port of the system's choosing and
 * runs its script on a thread of its own.  Build the script, start(), let
 * the code under test talk to port(), then join() and look at what the
 * server received:
 *
 *     fake_server srv;
 *     srv.read_startup().send(be_trust_login("16.4")).read_message();
 *     srv.start();
 *     pg_conn conn;
 *     ASSERT_EQ(pg_connect(&conn, "127.0.0.1", srv.port(), "u", "", "d"), 0);
 *     pg_close(&conn);
 *     srv.join();
 *     EXPECT_EQ(srv.message(1), fe_terminate());
 *
 * A connection is accepted before the first step and by every
 * next_connection().  Every wait of the script (accept, read) gives up
 * after a few seconds so that a client that misbehaves fails the test
 * instead of hanging it; the reason is in script_error().  The destructor
 * stops and joins the thread.
 *
 * The be_* helpers build backend messages, the fe_* helpers the frontend
 * messages the client is expected to send.  All bytes travel in
 * std::string.
 */
#ifndef PGDUMP_TEST_FAKE_SERVER_H
#define PGDUMP_TEST_FAKE_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class fake_server
{
  public:
    /* Gives the frontend messages received so far (as message()) and
     * returns the bytes to send. */
    using reply_fn = std::function<std::string(const std::vector<std::string> &)>;

    fake_server();
    ~fake_server();
    fake_server(const fake_server &) = delete;
    fake_server &operator=(const fake_server &) = delete;

    int port() const { return port_; }

    /* Script steps, run in the order added. */
    fake_server &send(const std::string &bytes);
    /* One send() per byte, with pause_ms between them, so that the client
     * receives the bytes one recv() at a time. */
    fake_server &send_bytewise(const std::string &bytes, int pause_ms = 2);
    /* n zero bytes, sent in large blocks (for huge payloads). */
    fake_server &send_zeros(uint64_t n);
    /* Sends whatever fn computes from the messages received so far. */
    fake_server &reply(reply_fn fn);
    /* Reads exactly n bytes (kept in received()). */
    fake_server &read(size_t n);
    /* Reads the untyped StartupMessage; kept as one message(). */
    fake_server &read_startup();
    /* Reads one typed frontend message (type, length, payload). */
    fake_server &read_message();
    /* Reads typed messages until Terminate, answering each (the last of
     * messages()) with the bytes fn computes: a session of queries. */
    fake_server &serve_queries(reply_fn fn);
    /* Reads until the client closes the connection. */
    fake_server &read_until_closed();
    fake_server &pause(int ms);
    /* Closes the current connection. */
    fake_server &close();
    /* Closes the current connection (if open) and accepts the next. */
    fake_server &next_connection();

    void start();
    /* Waits for the script to end; true when every step succeeded. */
    bool join();

    /* After join(): */
    const std::string &received() const { return received_; }
    const std::vector<std::string> &messages() const { return messages_; }
    std::string message(size_t i) const { return i < messages_.size() ? messages_[i] : ""; }
    /* Connections accepted. */
    int connections() const { return connections_; }
    /* Why the script stopped early; empty when it ran to its end. */
    const std::string &script_error() const { return error_; }

  private:
    struct step {
        enum kind {
            SEND,
            SEND_BYTEWISE,
            SEND_ZEROS,
            REPLY,
            READ,
            READ_STARTUP,
            READ_MESSAGE,
            READ_UNTIL_CLOSED,
            SERVE_QUERIES,
            PAUSE,
            CLOSE,
            NEXT
        } what;
        std::string bytes;
        uint64_t n;
        reply_fn fn;
    };

    void run();
    bool accept_one();
    bool send_raw(const char *p, size_t n);
    bool read_exact(size_t n, std::string *out);
    bool read_one(size_t head);

    int listen_fd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    std::vector<step> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::string received_;
    std::vector<std::string> messages_;
    int connections_ = 0;
    std::string error_;
};

/* Big-endian integers as bytes. */
std::string be_i32(int32_t v);
std::string be_i16(int16_t v);

/* One backend message of type t with the given payload. */
std::string be_msg(char t, const std::string &payload);
/* Authentication request with code and any following bytes. */
std::string be_auth(int32_t code, const std::string &rest = "");
std::string be_auth_ok();
/* AuthenticationSASL with the given mechanisms (the list terminator is
 * added). */
std::string be_auth_sasl(const std::vector<std::string> &mechanisms);
std::string be_param(const std::string &name, const std::string &value);
std::string be_key_data(int32_t pid, int32_t key);
std::string be_ready(char status = 'I');
std::string be_complete(const std::string &tag);
std::string be_empty_query();
std::string be_notice(const std::string &text);
/* ErrorResponse with fields S, V, C, M. */
std::string be_error(const std::string &severity, const std::string &code,
                     const std::string &message);
/* ErrorResponse from raw (code, text) fields. */
std::string be_error_fields(const std::vector<std::pair<char, std::string>> &fields);
/* RowDescription of (name, type OID) columns, text format. */
std::string be_row_description(const std::vector<std::pair<std::string, uint32_t>> &columns);
/* DataRow; std::nullopt is SQL NULL. */
std::string be_data_row(const std::vector<std::optional<std::string>> &fields);
/* AuthenticationOk, server_version and another parameter, BackendKeyData
 * and ReadyForQuery: what a server that trusts the client answers. */
std::string be_trust_login(const std::string &version = "16.4");
/* The rows of a one-column query, up to ReadyForQuery. */
std::string be_single_column(const std::string &name,
                             const std::vector<std::optional<std::string>> &values);

std::string fe_startup(const std::string &user, const std::string &database);
std::string fe_password(const std::string &payload);
std::string fe_query(const std::string &sql);
std::string fe_terminate();

#endif
