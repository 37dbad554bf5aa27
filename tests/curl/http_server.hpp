// A small HTTP/1.1 server for the libcurl tests: it listens on 127.0.0.1 on an ephemeral port,
// serves one request per connection from a thread of the test process, and stops when it is
// destroyed. Bodies go out whole, chunked in random small pieces, slowly, cut off mid-body, or
// with any status; request bodies (plain or chunked) are kept for the test to check.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace curl_test {

enum class delivery { whole, chunked, slow, cut };

struct response {
    std::string body;
    delivery how = delivery::whole;
    int status = 200;
};

class http_server {
  public:
    http_server();
    ~http_server();
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;

    [[nodiscard]] std::string url(const std::string &path) const;
    void serve(const std::string &path, response r);
    // The body and headers of the last request received.
    [[nodiscard]] std::string last_body();
    [[nodiscard]] std::string last_headers();

  private:
    void run();
    void handle(int fd);

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::map<std::string, response> routes_;
    std::string last_body_, last_headers_;
    std::thread thread_;
};

} // namespace curl_test
