#pragma once
// A plain HTTP/1.1 server on 127.0.0.1 for tests of blocking clients. It
// runs on a thread of its own with plain sockets: the Network layer's
// callbacks only run while a test drives virtual time, so they could not
// answer a client that blocks the test's thread.
//
// Connections are served one after another; every reply closes its
// connection. Bytes that do not start an HTTP request (a TLS handshake) get
// a 400 reply and do not count as a request.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace platform::testing {

class LoopbackHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        std::map<std::string, std::string> headers;
        // Never answer; hold the connection until the client gives up.
        bool stall = false;
    };
    using Handler = std::function<Reply(const std::string& path)>;

    explicit LoopbackHttpServer(Handler handler);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    uint16_t port() const { return port_; }
    // "<scheme>://127.0.0.1:<port><path>"
    std::string url(const std::string& path, const std::string& scheme = "http") const;
    // GET requests received so far.
    int requestCount() const { return requests_.load(); }

private:
    void serve();
    void answer(int client);

    Handler handler_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace platform::testing
