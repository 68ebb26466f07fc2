#include "Support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace platform::testing {

namespace {

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

void sendAll(int fd, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
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
    ::close(stopPipe_[1]);
    thread_.join();
    ::close(stopPipe_[0]);
    ::close(listener_);
}

std::string LoopbackHttpServer::url(const std::string& path, const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        answer(client);
        ::close(client);
    }
}

// Reads up to the end of the request head, then replies (or, for a stall,
// waits until the client or the server closes).
void LoopbackHttpServer::answer(int client) {
    std::string head;
    auto waitReadable = [&] {
        pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        return ::poll(fds, 2, -1) > 0 && !fds[1].revents;
    };
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (!waitReadable()) return;
        char buffer[4096];
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        head.append(buffer, static_cast<size_t>(n));
        if (head.rfind("GET ", 0) != 0 && head.size() >= 4) {
            sendAll(client, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
    }
    const size_t pathEnd = head.find(' ', 4);
    requests_++;
    Reply reply = handler_(head.substr(4, pathEnd == std::string::npos ? std::string::npos : pathEnd - 4));
    if (reply.stall) {
        char byte;
        while (waitReadable() && ::recv(client, &byte, 1, 0) > 0) {
        }
        return;
    }
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    if (reply.status != 204) response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    for (const auto& [name, value] : reply.headers) response += name + ": " + value + "\r\n";
    response += "Connection: close\r\n\r\n" + reply.body;
    sendAll(client, response);
}

}  // namespace platform::testing
