#include "tcp_proxy.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "test_socket.h"

tcp_proxy::tcp_proxy(const std::string &host, int port) : host_(host), target_port_(port)
{
    ts_net_start();
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    ts_set_int_option(listen_fd_, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listen_fd_, 16);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

tcp_proxy::~tcp_proxy()
{
    stop_.store(true);
    kill_.store(true);
    acceptor_.join();
    for (auto &t : pumps_)
        t.join();
    ts_close(listen_fd_);
}

void tcp_proxy::accept_loop()
{
    while (!stop_.load()) {
        bool ready;
        if (ts_wait_readable(&listen_fd_, &ready, 1, 50) <= 0)
            continue;
        int client = accept(listen_fd_, nullptr, nullptr);
        if (client < 0)
            continue;
        int up = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)target_port_);
        inet_pton(AF_INET, host_.c_str(), &a.sin_addr);
        if (connect(up, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ts_close(up);
            ts_close(client);
            continue;
        }
        pumps_.emplace_back([this, client, up] { pump(client, up); });
    }
}

static bool send_all(int fd, const char *p, ssize_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, (size_t)n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

void tcp_proxy::pump(int client, int upstream)
{
    char buf[65536];
    for (;;) {
        if (kill_.load())
            break;
        uint64_t cut = cut_after_.load();
        if (cut != 0 && from_server_.load() >= cut)
            break;
        if (paused_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const int fds[2] = {client, upstream};
        bool ready[2];
        if (ts_wait_readable(fds, ready, 2, 20) <= 0)
            continue;
        if (ready[0]) {
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0 || !send_all(upstream, buf, n))
                break;
        }
        if (ready[1]) {
            size_t want = sizeof buf;
            if (cut != 0 && cut - from_server_.load() < want)
                want = (size_t)(cut - from_server_.load());
            uint64_t rate = rate_.load();
            if (rate != 0 && rate / 50 + 1 < want)
                want = (size_t)(rate / 50 + 1);
            ssize_t n = recv(upstream, buf, want, 0);
            if (n > 0 && !swap_from_.empty() && swap_from_.size() == swap_to_.size()) {
                std::string block(buf, (size_t)n);
                for (size_t at = block.find(swap_from_); at != std::string::npos;
                     at = block.find(swap_from_, at + 1))
                    block.replace(at, swap_to_.size(), swap_to_);
                memcpy(buf, block.data(), block.size());
            }
            if (n <= 0 || !send_all(client, buf, n))
                break;
            from_server_.fetch_add((uint64_t)n);
            if (rate != 0) /* a fiftieth of the second's share at a time */
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    shutdown(client, SHUT_RDWR);
    ts_close(client);
    ts_close(upstream);
}
