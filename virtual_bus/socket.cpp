#include "virtual_bus/socket.h"

#ifdef _WIN32
#error "Winsock paths are not written yet: add them here (WSAStartup, closesocket, WSAPoll)."
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#endif

namespace vbus::net {

namespace {

bool SetNonBlocking(NativeSocket handle) {
    const int flags = ::fcntl(handle, F_GETFL, 0);
    return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SetNoDelay(NativeSocket handle) {
    const int one = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string ErrorText(int error_number) {
    return std::strerror(error_number);
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.release();
    }
    return *this;
}

NativeSocket Socket::release() {
    const NativeSocket handle = handle_;
    handle_ = kInvalidSocket;
    return handle;
}

void Socket::Close() {
    if (valid()) {
        ::close(handle_);
        handle_ = kInvalidSocket;
    }
}

bool ListenLoopback(std::uint16_t port, Socket* listener, bool* address_in_use,
                    std::string* error) {
    *address_in_use = false;
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        *error = "socket: " + LastErrorText();
        return false;
    }
    // Lets a restarted host take its port back while old connections linger in TIME_WAIT; two
    // listeners on one port are still refused on Linux.
    const int one = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *address_in_use = errno == EADDRINUSE;
        *error = "bind 127.0.0.1:" + std::to_string(port) + ": " + LastErrorText();
        return false;
    }
    if (::listen(socket.get(), 16) != 0 || !SetNonBlocking(socket.get())) {
        *error = "listen 127.0.0.1:" + std::to_string(port) + ": " + LastErrorText();
        return false;
    }
    *listener = std::move(socket);
    return true;
}

Socket Accept(const Socket& listener) {
    Socket client(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.valid()) {
        SetNoDelay(client.get());
    }
    return client;
}

ConnectStatus ConnectTcp(const std::string& host, std::uint16_t port, int timeout_ms, Socket* out,
                         std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return ConnectStatus::kError;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);

    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        *error = "socket: " + LastErrorText();
        return ConnectStatus::kError;
    }
    const std::string where = host + ":" + service;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ECONNREFUSED) {
            *error = "connection refused by " + where;
            return ConnectStatus::kRefused;
        }
        if (errno != EINPROGRESS) {
            *error = "connect " + where + ": " + LastErrorText();
            return ConnectStatus::kError;
        }
        std::vector<PollEntry> entries{{socket.get(), false, true}};
        if (Poll(entries, std::int64_t{timeout_ms} * 1000) <= 0) {
            *error = "no answer from " + where + " within " + std::to_string(timeout_ms) + " ms";
            return ConnectStatus::kTimeout;
        }
        int socket_error = 0;
        socklen_t length = sizeof socket_error;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &socket_error, &length);
        if (socket_error != 0) {
            *error = "connect " + where + ": " + ErrorText(socket_error);
            return socket_error == ECONNREFUSED ? ConnectStatus::kRefused : ConnectStatus::kError;
        }
    }
    SetNoDelay(socket.get());
    *out = std::move(socket);
    return ConnectStatus::kOk;
}

IoResult Receive(const Socket& socket, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(socket.get(), buffer, size, 0);
        if (n > 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            return {IoStatus::kClosed, 0};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {IoStatus::kWouldBlock, 0};
        }
        return {IoStatus::kError, 0};
    }
}

IoResult Send(const Socket& socket, const char* data, std::size_t size) {
    for (;;) {
        // MSG_NOSIGNAL: a peer that went away gives EPIPE here instead of killing the process.
        const ssize_t n = ::send(socket.get(), data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {IoStatus::kWouldBlock, 0};
        }
        if (errno == EPIPE || errno == ECONNRESET) {
            return {IoStatus::kClosed, 0};
        }
        return {IoStatus::kError, 0};
    }
}

int Poll(std::vector<PollEntry>& entries, std::int64_t timeout_us) {
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].handle;
        fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) |
                                           (entries[i].want_write ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    timespec timeout{};
    timespec* timeout_pointer = nullptr;
    if (timeout_us >= 0) {
        timeout.tv_sec = static_cast<time_t>(timeout_us / 1000000);
        timeout.tv_nsec = static_cast<long>((timeout_us % 1000000) * 1000);
        timeout_pointer = &timeout;
    }
    // ppoll, not poll: waits measured in microseconds (frame times on a 1000 kbit/s bus).
    const int n = ::ppoll(fds.data(), fds.size(), timeout_pointer, nullptr);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short revents = fds[i].revents;
        entries[i].readable = (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        entries[i].writable = (revents & (POLLOUT | POLLERR)) != 0;
    }
    return n;
}

bool Waker::Open(std::string* error) {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = "pipe: " + LastErrorText();
        return false;
    }
    read_end_ = Socket(ends[0]);
    write_end_ = Socket(ends[1]);
    return true;
}

void Waker::Notify() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(write_end_.get(), &byte, 1);
}

void Waker::Drain() {
    char buffer[64];
    while (::read(read_end_.get(), buffer, sizeof buffer) > 0) {
    }
}

std::string LastErrorText() {
    return ErrorText(errno);
}

}  // namespace vbus::net
