/*
 * A loopback TCP proxy in front of the sandbox server, for faults a real
 * server will not produce on demand: a server that stalls, one that
 * vanishes in the middle of a reply, or a man in the middle who swaps
 * bytes of its replies.  Each accepted client gets its own
 * upstream connection; all of them obey the same switches.
 */
#ifndef PGDUMP_TEST_TCP_PROXY_H
#define PGDUMP_TEST_TCP_PROXY_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class tcp_proxy
{
  public:
    /* Listens on 127.0.0.1 (port chosen by the system) and forwards to
     * host:port. */
    tcp_proxy(const std::string &host, int port);
    ~tcp_proxy();

    int port() const { return port_; }

    /* While paused, nothing is forwarded in either direction. */
    void set_paused(bool paused) { paused_.store(paused); }

    /* Closes both sides of every connection once this many bytes have come
     * from the server in total (0: never). */
    void cut_after_server_bytes(uint64_t n) { cut_after_.store(n); }

    /* Forwards at most this many bytes a second from the server (0: no
     * limit), so that a dump of a small table stays under way for seconds. */
    void set_server_rate(uint64_t bytes_per_second) { rate_.store(bytes_per_second); }

    /* A man in the middle: every occurrence of from inside one block read
     * from the server is replaced by to (of the same length, so that no
     * message length changes).  Set before clients connect. */
    void swap_server_bytes(const std::string &from, const std::string &to)
    {
        swap_from_ = from;
        swap_to_ = to;
    }

    /* Closes every connection now. */
    void close_all() { kill_.store(true); }

    uint64_t server_bytes() const { return from_server_.load(); }

  private:
    void accept_loop();
    void pump(int client, int upstream);

    std::string host_;
    int target_port_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> kill_{false};
    std::atomic<uint64_t> cut_after_{0};
    std::atomic<uint64_t> rate_{0};
    std::atomic<uint64_t> from_server_{0};
    std::string swap_from_, swap_to_;
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

#endif
