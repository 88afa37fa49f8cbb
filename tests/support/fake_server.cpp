#include "fake_server.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "test_socket.h"

/* Longest wait of any single script step for the client. */
static const int STEP_TIMEOUT_MS = 10000;
/* Slice of a wait after which the stop flag is looked at again. */
static const int POLL_SLICE_MS = 50;

fake_server::fake_server()
{
    ts_net_start();
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) {
        error_ = "socket() failed";
        return;
    }
    ts_set_int_option(listen_fd_, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t alen = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &alen) != 0) {
        error_ = "cannot listen on loopback";
        ts_close(listen_fd_);
        listen_fd_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
}

fake_server::~fake_server()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ts_close(fd_);
    if (listen_fd_ >= 0)
        ts_close(listen_fd_);
}

fake_server &fake_server::send(const std::string &bytes)
{
    steps_.push_back({step::SEND, bytes, 0, nullptr});
    return *this;
}

fake_server &fake_server::send_bytewise(const std::string &bytes, int pause_ms)
{
    steps_.push_back({step::SEND_BYTEWISE, bytes, (uint64_t)pause_ms, nullptr});
    return *this;
}

fake_server &fake_server::send_zeros(uint64_t n)
{
    steps_.push_back({step::SEND_ZEROS, "", n, nullptr});
    return *this;
}

fake_server &fake_server::reply(reply_fn fn)
{
    steps_.push_back({step::REPLY, "", 0, std::move(fn)});
    return *this;
}

fake_server &fake_server::read(size_t n)
{
    steps_.push_back({step::READ, "", n, nullptr});
    return *this;
}

fake_server &fake_server::read_startup()
{
    steps_.push_back({step::READ_STARTUP, "", 0, nullptr});
    return *this;
}

fake_server &fake_server::read_message()
{
    steps_.push_back({step::READ_MESSAGE, "", 0, nullptr});
    return *this;
}

fake_server &fake_server::serve_queries(reply_fn fn)
{
    steps_.push_back({step::SERVE_QUERIES, "", 0, std::move(fn)});
    return *this;
}

fake_server &fake_server::read_until_closed()
{
    steps_.push_back({step::READ_UNTIL_CLOSED, "", 0, nullptr});
    return *this;
}

fake_server &fake_server::pause(int ms)
{
    steps_.push_back({step::PAUSE, "", (uint64_t)ms, nullptr});
    return *this;
}

fake_server &fake_server::close()
{
    steps_.push_back({step::CLOSE, "", 0, nullptr});
    return *this;
}

fake_server &fake_server::next_connection()
{
    steps_.push_back({step::NEXT, "", 0, nullptr});
    return *this;
}

void fake_server::start()
{
    thread_ = std::thread([this] { run(); });
}

bool fake_server::join()
{
    if (thread_.joinable())
        thread_.join();
    return error_.empty();
}

/* Waits for fd to become readable; false on time-out or stop. */
static bool wait_readable(int fd, const std::atomic<bool> &stop)
{
    for (int waited = 0; waited < STEP_TIMEOUT_MS; waited += POLL_SLICE_MS) {
        if (stop)
            return false;
        bool ready;
        int r = ts_wait_readable(&fd, &ready, 1, POLL_SLICE_MS);
        if (r > 0)
            return true;
        if (r < 0)
            return false;
    }
    return false;
}

bool fake_server::accept_one()
{
    if (fd_ >= 0) {
        ts_close(fd_);
        fd_ = -1;
    }
    if (listen_fd_ < 0 || !wait_readable(listen_fd_, stop_)) {
        error_ = "no connection";
        return false;
    }
    fd_ = accept(listen_fd_, nullptr, nullptr);
    if (fd_ < 0) {
        error_ = "accept() failed";
        return false;
    }
    connections_++;
    return true;
}

bool fake_server::send_raw(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            error_ = "send() failed";
            return false;
        }
        p += r;
        n -= (size_t)r;
    }
    return true;
}

bool fake_server::read_exact(size_t n, std::string *out)
{
    char chunk[4096];
    while (n > 0) {
        if (!wait_readable(fd_, stop_)) {
            error_ = "timed out waiting for the client";
            return false;
        }
        ssize_t r = recv(fd_, chunk, n < sizeof chunk ? n : sizeof chunk, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            error_ = "client closed the connection";
            return false;
        }
        received_.append(chunk, (size_t)r);
        if (out != nullptr)
            out->append(chunk, (size_t)r);
        n -= (size_t)r;
    }
    return true;
}

static uint32_t get_be32(const std::string &s, size_t at)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data()) + at;
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* One message with a header of head bytes (4: the untyped start-up),
 * kept in messages_. */
bool fake_server::read_one(size_t head)
{
    std::string msg;
    bool ok = read_exact(head, &msg);
    if (ok) {
        uint32_t len = get_be32(msg, head - 4);
        if (len < 4 || len > (1u << 30)) {
            error_ = "bad length from the client";
            ok = false;
        } else {
            ok = read_exact(len - 4, &msg);
        }
    }
    messages_.push_back(msg);
    return ok;
}

void fake_server::run()
{
    if (!accept_one())
        return;
    for (const step &st : steps_) {
        bool ok = true;
        switch (st.what) {
        case step::SEND:
            ok = send_raw(st.bytes.data(), st.bytes.size());
            break;
        case step::SEND_BYTEWISE:
            for (size_t i = 0; ok && i < st.bytes.size(); i++) {
                ok = send_raw(&st.bytes[i], 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(st.n));
            }
            break;
        case step::SEND_ZEROS: {
            std::string block(1 << 20, '\0');
            for (uint64_t left = st.n; ok && left > 0;) {
                size_t k = left < block.size() ? (size_t)left : block.size();
                ok = send_raw(block.data(), k);
                left -= k;
            }
            break;
        }
        case step::REPLY: {
            std::string bytes = st.fn(messages_);
            ok = send_raw(bytes.data(), bytes.size());
            break;
        }
        case step::READ:
            ok = read_exact(st.n, nullptr);
            break;
        case step::READ_STARTUP:
        case step::READ_MESSAGE:
            ok = read_one(st.what == step::READ_STARTUP ? 4 : 5);
            break;
        case step::SERVE_QUERIES:
            /* Until Terminate: each message answered by fn. */
            while (ok && (ok = read_one(5)) && messages_.back()[0] != 'X') {
                std::string bytes = st.fn(messages_);
                ok = send_raw(bytes.data(), bytes.size());
            }
            break;
        case step::READ_UNTIL_CLOSED: {
            char chunk[4096];
            for (;;) {
                if (!wait_readable(fd_, stop_)) {
                    error_ = "client did not close";
                    ok = false;
                    break;
                }
                ssize_t r = recv(fd_, chunk, sizeof chunk, 0);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    break;
                received_.append(chunk, (size_t)r);
            }
            break;
        }
        case step::PAUSE:
            std::this_thread::sleep_for(std::chrono::milliseconds(st.n));
            break;
        case step::CLOSE:
            if (fd_ >= 0)
                ts_close(fd_);
            fd_ = -1;
            break;
        case step::NEXT:
            ok = accept_one();
            break;
        }
        if (!ok)
            return;
    }
}

std::string be_i32(int32_t v)
{
    uint32_t u = (uint32_t)v;
    std::string s(4, '\0');
    s[0] = (char)(u >> 24);
    s[1] = (char)(u >> 16);
    s[2] = (char)(u >> 8);
    s[3] = (char)u;
    return s;
}

std::string be_i16(int16_t v)
{
    uint16_t u = (uint16_t)v;
    std::string s(2, '\0');
    s[0] = (char)(u >> 8);
    s[1] = (char)u;
    return s;
}

std::string be_msg(char t, const std::string &payload)
{
    return std::string(1, t) + be_i32((int32_t)(payload.size() + 4)) + payload;
}

std::string be_auth(int32_t code, const std::string &rest)
{
    return be_msg('R', be_i32(code) + rest);
}

std::string be_auth_ok()
{
    return be_auth(0);
}

std::string be_auth_sasl(const std::vector<std::string> &mechanisms)
{
    std::string list;
    for (const std::string &m : mechanisms)
        list += m + std::string(1, '\0');
    return be_auth(10, list + std::string(1, '\0'));
}

std::string be_param(const std::string &name, const std::string &value)
{
    return be_msg('S', name + std::string(1, '\0') + value + std::string(1, '\0'));
}

std::string be_key_data(int32_t pid, int32_t key)
{
    return be_msg('K', be_i32(pid) + be_i32(key));
}

std::string be_ready(char status)
{
    return be_msg('Z', std::string(1, status));
}

std::string be_complete(const std::string &tag)
{
    return be_msg('C', tag + std::string(1, '\0'));
}

std::string be_empty_query()
{
    return be_msg('I', "");
}

std::string be_notice(const std::string &text)
{
    std::string nul(1, '\0');
    return be_msg('N', "SNOTICE" + nul + "VNOTICE" + nul + "C00000" + nul + "M" + text + nul + nul);
}

std::string be_error_fields(const std::vector<std::pair<char, std::string>> &fields)
{
    std::string p;
    for (const auto &f : fields)
        p += std::string(1, f.first) + f.second + std::string(1, '\0');
    return be_msg('E', p + std::string(1, '\0'));
}

std::string be_error(const std::string &severity, const std::string &code,
                     const std::string &message)
{
    return be_error_fields({{'S', severity}, {'V', severity}, {'C', code}, {'M', message}});
}

std::string be_row_description(const std::vector<std::pair<std::string, uint32_t>> &columns)
{
    std::string p = be_i16((int16_t)columns.size());
    for (const auto &c : columns) {
        p += c.first + std::string(1, '\0');
        p +=
            be_i32(0) + be_i16(0) + be_i32((int32_t)c.second) + be_i16(-1) + be_i32(-1) + be_i16(0);
    }
    return be_msg('T', p);
}

std::string be_data_row(const std::vector<std::optional<std::string>> &fields)
{
    std::string p = be_i16((int16_t)fields.size());
    for (const auto &f : fields) {
        if (f)
            p += be_i32((int32_t)f->size()) + *f;
        else
            p += be_i32(-1);
    }
    return be_msg('D', p);
}

std::string be_trust_login(const std::string &version)
{
    return be_auth_ok() + be_param("server_encoding", "UTF8") +
           be_param("server_version", version) + be_key_data(4242, 77) + be_ready();
}

std::string be_single_column(const std::string &name,
                             const std::vector<std::optional<std::string>> &values)
{
    std::string s = be_row_description({{name, 25}});
    for (const auto &v : values)
        s += be_data_row({v});
    return s + be_complete("SELECT " + std::to_string(values.size())) + be_ready();
}

std::string fe_startup(const std::string &user, const std::string &database)
{
    std::string nul(1, '\0');
    std::string body =
        be_i32(196608) + "user" + nul + user + nul + "database" + nul + database + nul + nul;
    return be_i32((int32_t)(body.size() + 4)) + body;
}

std::string fe_password(const std::string &payload)
{
    return be_msg('p', payload);
}

std::string fe_query(const std::string &sql)
{
    return be_msg('Q', sql + std::string(1, '\0'));
}

std::string fe_terminate()
{
    return be_msg('X', "");
}
