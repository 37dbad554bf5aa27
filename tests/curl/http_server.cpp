#include "http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace curl_test {

namespace {

constexpr size_t max_request = 64u << 20; // nothing larger is read

bool send_all(int fd, const char *p, size_t n) {
    while (n) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}
bool send_all(int fd, const std::string &s) {
    return send_all(fd, s.data(), s.size());
}

// Reads from `fd` until `buffer` holds at least `n` bytes; false at end or timeout.
bool fill(int fd, std::string &buffer, size_t n) {
    char chunk[65536];
    while (buffer.size() < n) {
        ssize_t k = ::recv(fd, chunk, sizeof chunk, 0);
        if (k <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(k));
    }
    return true;
}

// Takes the line ending at the next CRLF out of `buffer` (reading more as needed).
bool take_line(int fd, std::string &buffer, std::string &line) {
    for (;;) {
        size_t at = buffer.find("\r\n");
        if (at != std::string::npos) {
            line = buffer.substr(0, at);
            buffer.erase(0, at + 2);
            return true;
        }
        if (buffer.size() > 4096 || !fill(fd, buffer, buffer.size() + 1)) return false;
    }
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char *reason(int status) {
    return status == 200 ? "OK" : status == 404 ? "Not Found" : "Error";
}

} // namespace

http_server::http_server() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        std::perror("test server");
        std::abort();
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

http_server::~http_server() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::string http_server::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void http_server::serve(const std::string &path, response r) {
    std::lock_guard<std::mutex> lock(mu_);
    routes_[path] = std::move(r);
}

std::string http_server::last_body() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_body_;
}

std::string http_server::last_headers() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_headers_;
}

void http_server::run() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        handle(fd);
        ::close(fd);
    }
}

void http_server::handle(int fd) {
    std::string buffer, line, headers;
    if (!take_line(fd, buffer, line)) return;
    const size_t sp = line.find(' ');
    const std::string path = line.substr(sp + 1, line.find(' ', sp + 1) - sp - 1);
    size_t content_length = 0;
    bool chunked = false;
    while (take_line(fd, buffer, line) && !line.empty()) {
        headers += line + "\n";
        const std::string l = lower(line);
        if (l.rfind("content-length:", 0) == 0)
            content_length =
                std::min<size_t>(std::strtoull(l.c_str() + 15, nullptr, 10), max_request);
        if (l.rfind("transfer-encoding:", 0) == 0 && l.find("chunked") != std::string::npos)
            chunked = true;
    }
    std::string body;
    if (chunked) {
        for (;;) {
            if (!take_line(fd, buffer, line)) return;
            const size_t n = std::strtoull(line.c_str(), nullptr, 16);
            if (n > max_request || body.size() + n > max_request) return;
            if (!fill(fd, buffer, n + 2)) return;
            body.append(buffer, 0, n);
            buffer.erase(0, n + 2);
            if (n == 0) break;
        }
    } else if (content_length) {
        if (!fill(fd, buffer, content_length)) return;
        body = buffer.substr(0, content_length);
    }
    response r;
    {
        std::lock_guard<std::mutex> lock(mu_);
        last_body_ = body;
        last_headers_ = headers;
        auto it = routes_.find(path);
        if (it != routes_.end())
            r = it->second;
        else if (path != "/upload")
            r = response{"{}", delivery::whole, 404};
        else
            r = response{"{}", delivery::whole, 200};
    }
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) +
                       "\r\nContent-Type: application/json\r\nConnection: close\r\n";
    if (r.how == delivery::whole || r.how == delivery::cut) {
        send_all(fd, head + "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n");
        send_all(fd, r.body.data(), r.how == delivery::cut ? r.body.size() / 2 : r.body.size());
        return;
    }
    send_all(fd, head + "Transfer-Encoding: chunked\r\n\r\n");
    std::mt19937 rng(static_cast<uint32_t>(r.body.size()));
    for (size_t at = 0; at < r.body.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 13, r.body.size() - at);
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", n);
        if (!send_all(fd, size_line + r.body.substr(at, n) + "\r\n")) return;
        at += n;
        if (r.how == delivery::slow) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    send_all(fd, "0\r\n\r\n");
}

} // namespace curl_test
