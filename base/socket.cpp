// What BSD sockets and Winsock share: the steps of listening, connecting, receiving and sending,
// over the calls of socket_system.h that socket_posix.cpp and socket_win32.cpp define.
#include "base/socket.h"

#include <cstring>

#include "base/socket_system.h"
#include "base/system_error.h"

namespace base::net {

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

bool ListenLoopback(std::uint16_t port, Socket* listener, bool* address_in_use,
                    std::string* error) {
    *address_in_use = false;
    if (!system::Start(error)) {
        return false;
    }
    Socket socket = system::NewSocket(SOCK_STREAM);
    if (!socket.valid()) {
        *error = "socket: " + LastErrorText();
        return false;
    }
    system::PrepareListener(socket.get());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = system::LastError();
        *address_in_use = system::Classify(code) == system::ErrorKind::kAddressInUse;
        *error = "bind 127.0.0.1:" + std::to_string(port) + ": " + base::ErrorText(code);
        return false;
    }
    if (::listen(socket.get(), 16) != 0 || !system::SetNonBlocking(socket.get())) {
        *error = "listen 127.0.0.1:" + std::to_string(port) + ": " + LastErrorText();
        return false;
    }
    *listener = std::move(socket);
    return true;
}

ConnectStatus ConnectTcp(const std::string& host, std::uint16_t port, int timeout_ms, Socket* out,
                         std::string* error) {
    if (!system::Start(error)) {
        return ConnectStatus::kError;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *error = "cannot resolve " + host + ": " + system::ResolveErrorText(rc);
        return ConnectStatus::kError;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);

    Socket socket = system::NewSocket(SOCK_STREAM);
    if (!socket.valid() || !system::SetNonBlocking(socket.get())) {
        *error = "socket: " + LastErrorText();
        return ConnectStatus::kError;
    }
    system::PrepareConnect(socket.get());
    const std::string where = host + ":" + service;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = system::LastError();
        const system::ErrorKind kind = system::Classify(code);
        if (kind == system::ErrorKind::kRefused) {
            *error = "connection refused by " + where;
            return ConnectStatus::kRefused;
        }
        if (!system::ConnectUnderWay(code)) {
            *error = "connect " + where + ": " + base::ErrorText(code);
            return ConnectStatus::kError;
        }
        int socket_error = 0;
        if (!system::WaitConnected(socket.get(), timeout_ms, &socket_error)) {
            *error = "no answer from " + where + " within " + std::to_string(timeout_ms) + " ms";
            return ConnectStatus::kTimeout;
        }
        if (socket_error != 0) {
            *error = "connect " + where + ": " + base::ErrorText(socket_error);
            return system::Classify(socket_error) == system::ErrorKind::kRefused
                       ? ConnectStatus::kRefused
                       : ConnectStatus::kError;
        }
    }
    system::SetNoDelay(socket.get());
    *out = std::move(socket);
    return ConnectStatus::kOk;
}

IoResult Receive(const Socket& socket, char* buffer, std::size_t size) {
    for (;;) {
        const std::int64_t n = system::ReceiveSome(socket.get(), buffer, size);
        if (n > 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            return {IoStatus::kClosed, 0};
        }
        switch (system::Classify(system::LastError())) {
            case system::ErrorKind::kInterrupted:
                continue;
            case system::ErrorKind::kWouldBlock:
                return {IoStatus::kWouldBlock, 0};
            default:
                return {IoStatus::kError, 0};
        }
    }
}

IoResult Send(const Socket& socket, const char* data, std::size_t size) {
    for (;;) {
        const std::int64_t n = system::SendSome(socket.get(), data, size);
        if (n >= 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        switch (system::Classify(system::LastError())) {
            case system::ErrorKind::kInterrupted:
                continue;
            case system::ErrorKind::kWouldBlock:
                return {IoStatus::kWouldBlock, 0};
            case system::ErrorKind::kPeerGone:
                return {IoStatus::kClosed, 0};
            default:
                return {IoStatus::kError, 0};
        }
    }
}

std::string LastErrorText() {
    return base::ErrorText(system::LastError());
}

}  // namespace base::net
