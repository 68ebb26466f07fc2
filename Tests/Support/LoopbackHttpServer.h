#pragma once
// A plain HTTP/1.1 server on 127.0.0.1 for tests of blocking clients, on a
// thread of its own: the Network layer's callbacks only run while a test
// drives virtual time, so they could not answer a client that blocks the
// test's thread. Connections are served one at a time and closed after the
// reply; bytes that start no GET (a TLS handshake) get a 400 and are not
// counted as a request.

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
        bool stall = false;  // never answer; hold the connection until the client gives up
    };
    // Called on the server's thread with the request's path.
    explicit LoopbackHttpServer(std::function<Reply(const std::string& path)> handler);
    ~LoopbackHttpServer();

    uint16_t port() const { return port_; }
    std::string url(const std::string& path, const std::string& scheme = "http") const;
    int requestCount() const { return requests_.load(); }

private:
    void serve();
    std::string answer(int client);
    bool waitReadable(int fd) const;  // false once the server is stopping

    std::function<Reply(const std::string&)> handler_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace platform::testing
