#include "Support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace platform::testing {

LoopbackHttpServer::LoopbackHttpServer(std::function<Reply(const std::string&)> handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot start the loopback HTTP server");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    ::close(stopPipe_[1]);  // wakes every poll of the server thread
    thread_.join();
    ::close(stopPipe_[0]);
    ::close(listener_);
}

std::string LoopbackHttpServer::url(const std::string& path, const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
}

bool LoopbackHttpServer::waitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && !fds[1].revents;
}

void LoopbackHttpServer::serve() {
    while (waitReadable(listener_)) {
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::string response = answer(client);
        for (size_t sent = 0; sent < response.size();) {
            ssize_t n = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::close(client);
    }
}

// Reads up to the end of the request head and builds the reply; for a
// stall, waits until the client or the server closes and sends nothing.
std::string LoopbackHttpServer::answer(int client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = waitReadable(client) ? ::recv(client, buffer, sizeof buffer, 0) : 0;
        if (n <= 0) return {};
        head.append(buffer, static_cast<size_t>(n));
        if (head.size() >= 4 && head.rfind("GET ", 0) != 0) return "HTTP/1.1 400 Bad\r\nContent-Length: 0\r\n\r\n";
    }
    requests_++;
    Reply reply = handler_(head.substr(4, head.find(' ', 4) - 4));
    if (reply.stall) {
        while (waitReadable(client) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
        }
        return {};
    }
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";
    if (reply.status != 204) response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    for (const auto& [name, value] : reply.headers) response += name + ": " + value + "\r\n";
    return response + "Connection: close\r\n\r\n" + reply.body;
}

}  // namespace platform::testing
