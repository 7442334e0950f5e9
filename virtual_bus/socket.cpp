#include "virtual_bus/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which they build on.
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
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
#include <iterator>
#include <span>
#endif

namespace vbus::net {

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

#ifdef _WIN32

// Winsock. Started once per process and never cleaned up: the process's end releases it, and
// WSACleanup may not be called while the library is being unloaded.

namespace {

// WSAStartup once, on the first use of any socket; false (with WSAGetLastError set) if Winsock
// cannot be had.
bool StartWinsock() {
    static const int result = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (result != 0) {
        ::WSASetLastError(result);
        return false;
    }
    return true;
}

// A TCP or UDP socket that child processes do not inherit; invalid on failure.
Socket NewSocket(int type, int protocol) {
    if (!StartWinsock()) {
        return Socket();
    }
    Socket socket(::socket(AF_INET, type, protocol));
    if (socket.valid()) {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(socket.get()), HANDLE_FLAG_INHERIT, 0);
    }
    return socket;
}

bool SetNonBlocking(NativeSocket handle) {
    u_long one = 1;
    return ::ioctlsocket(handle, FIONBIO, &one) == 0;
}

void SetNoDelay(NativeSocket handle) {
    const BOOL one = TRUE;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// Windows answers a connection attempt to a loopback port where nothing listens by sending the
// SYN again for about two seconds before it gives up; this makes the refusal immediate. Hosts
// that do not know the setting (older Windows, wine) refuse at once anyway.
void NoSynRetransmissions(NativeSocket handle) {
    TCP_INITIAL_RTO_PARAMETERS parameters{};
    parameters.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
    parameters.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
    DWORD returned = 0;
    ::WSAIoctl(handle, SIO_TCP_INITIAL_RTO, &parameters, sizeof parameters, nullptr, 0, &returned,
               nullptr, nullptr);
}

std::string ErrorText(int error_number) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error_number), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.')) {
            result.pop_back();
        }
    }
    ::LocalFree(text);
    if (result.empty()) {
        result = "Winsock error";
    }
    return result + " (" + std::to_string(error_number) + ")";
}

int ClampLength(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

void Socket::Close() {
    if (valid()) {
        ::closesocket(handle_);
        handle_ = kInvalidSocket;
    }
}

bool ListenLoopback(std::uint16_t port, Socket* listener, bool* address_in_use,
                    std::string* error) {
    *address_in_use = false;
    Socket socket = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (!socket.valid()) {
        *error = "socket: " + LastErrorText();
        return false;
    }
    // On Windows SO_REUSEADDR would let a second listener take the port; exclusive use refuses
    // it, as Linux does.
    const BOOL one = TRUE;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = ::WSAGetLastError();
        *address_in_use = code == WSAEADDRINUSE || code == WSAEACCES;
        *error = "bind 127.0.0.1:" + std::to_string(port) + ": " + ErrorText(code);
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
    Socket client(::accept(listener.get(), nullptr, nullptr));
    if (client.valid()) {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(client.get()), HANDLE_FLAG_INHERIT, 0);
        if (!SetNonBlocking(client.get())) {
            return Socket();
        }
        SetNoDelay(client.get());
    }
    return client;
}

ConnectStatus ConnectTcp(const std::string& host, std::uint16_t port, int timeout_ms, Socket* out,
                         std::string* error) {
    if (!StartWinsock()) {
        *error = "Winsock: " + LastErrorText();
        return ConnectStatus::kError;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *error = "cannot resolve " + host + ": " + ErrorText(rc);
        return ConnectStatus::kError;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);

    Socket socket = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (!socket.valid() || !SetNonBlocking(socket.get())) {
        *error = "socket: " + LastErrorText();
        return ConnectStatus::kError;
    }
    NoSynRetransmissions(socket.get());
    const std::string where = host + ":" + service;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = ::WSAGetLastError();
        if (code == WSAECONNREFUSED) {
            *error = "connection refused by " + where;
            return ConnectStatus::kRefused;
        }
        if (code != WSAEWOULDBLOCK) {
            *error = "connect " + where + ": " + ErrorText(code);
            return ConnectStatus::kError;
        }
        // select, not WSAPoll: older WSAPoll never reports a connection that failed. A failed
        // attempt shows in the exception set, a completed one in the write set.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket.get(), &writable);
        FD_SET(socket.get(), &failed);
        timeval timeout{};
        timeout.tv_sec = timeout_ms / 1000;
        timeout.tv_usec = (timeout_ms % 1000) * 1000;
        if (::select(0, nullptr, &writable, &failed, &timeout) <= 0) {
            *error = "no answer from " + where + " within " + std::to_string(timeout_ms) + " ms";
            return ConnectStatus::kTimeout;
        }
        int socket_error = 0;
        int length = sizeof socket_error;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socket_error),
                     &length);
        if (socket_error == 0 && FD_ISSET(socket.get(), &failed)) {
            socket_error = WSAECONNREFUSED;
        }
        if (socket_error != 0) {
            *error = "connect " + where + ": " + ErrorText(socket_error);
            return socket_error == WSAECONNREFUSED ? ConnectStatus::kRefused
                                                   : ConnectStatus::kError;
        }
    }
    SetNoDelay(socket.get());
    *out = std::move(socket);
    return ConnectStatus::kOk;
}

IoResult Receive(const Socket& socket, char* buffer, std::size_t size) {
    for (;;) {
        const int n = ::recv(socket.get(), buffer, ClampLength(size), 0);
        if (n > 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            return {IoStatus::kClosed, 0};
        }
        const int code = ::WSAGetLastError();
        if (code == WSAEINTR) {
            continue;
        }
        if (code == WSAEWOULDBLOCK) {
            return {IoStatus::kWouldBlock, 0};
        }
        return {IoStatus::kError, 0};
    }
}

IoResult Send(const Socket& socket, const char* data, std::size_t size) {
    for (;;) {
        const int n = ::send(socket.get(), data, ClampLength(size), 0);
        if (n >= 0) {
            return {IoStatus::kOk, static_cast<std::size_t>(n)};
        }
        const int code = ::WSAGetLastError();
        if (code == WSAEINTR) {
            continue;
        }
        if (code == WSAEWOULDBLOCK) {
            return {IoStatus::kWouldBlock, 0};
        }
        if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN) {
            return {IoStatus::kClosed, 0};
        }
        return {IoStatus::kError, 0};
    }
}

int Poll(std::vector<PollEntry>& entries, std::int64_t timeout_us) {
    // WSAPoll counts in milliseconds: a wait is rounded up, so that a short wait never turns
    // into a busy loop of zero-length polls.
    int timeout_ms = -1;
    if (timeout_us >= 0) {
        timeout_ms = static_cast<int>(std::min<std::int64_t>((timeout_us + 999) / 1000, INT_MAX));
    }
    if (entries.empty()) {  // WSAPoll refuses an empty set; waiting on nothing is a sleep
        if (timeout_ms > 0) {
            ::Sleep(static_cast<DWORD>(timeout_ms));
        }
        return 0;
    }
    std::vector<WSAPOLLFD> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].handle;
        // POLLRDNORM and POLLWRNORM only: WSAPoll rejects the flags that it does not support.
        fds[i].events = static_cast<SHORT>((entries[i].want_read ? POLLRDNORM : 0) |
                                           (entries[i].want_write ? POLLWRNORM : 0));
        fds[i].revents = 0;
    }
    const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    if (n == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const SHORT revents = fds[i].revents;
        entries[i].readable = (revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
        entries[i].writable = (revents & (POLLWRNORM | POLLERR)) != 0;
    }
    return n;
}

// Windows has no pipe that WSAPoll can wait on: the waker is a UDP socket on 127.0.0.1 that
// receives one datagram per Notify from a second socket connected to it.
bool Waker::Open(std::string* error) {
    Socket read_end = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    Socket write_end = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (!read_end.valid() || !write_end.valid()) {
        *error = "socket: " + LastErrorText();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(read_end.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(read_end.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(write_end.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        !SetNonBlocking(read_end.get()) || !SetNonBlocking(write_end.get())) {
        *error = "waker: " + LastErrorText();
        return false;
    }
    read_end_ = std::move(read_end);
    write_end_ = std::move(write_end);
    return true;
}

void Waker::Notify() {
    const char byte = 1;
    ::send(write_end_.get(), &byte, 1, 0);
}

void Waker::Drain() {
    char buffer[64];
    while (::recv(read_end_.get(), buffer, sizeof buffer, 0) > 0) {
    }
}

std::string LastErrorText() {
    return ErrorText(::WSAGetLastError());
}

#else  // POSIX sockets

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
    // A client waits on one or two handles per frame: those fit on the stack, no allocation.
    pollfd few[4];
    std::vector<pollfd> many;
    if (entries.size() > std::size(few)) {
        many.resize(entries.size());
    }
    const std::span<pollfd> fds =
        many.empty() ? std::span<pollfd>(few, entries.size()) : std::span<pollfd>(many);
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

#endif  // POSIX sockets

}  // namespace vbus::net
