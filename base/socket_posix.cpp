// BSD sockets: the calls of socket_system.h, and the parts of socket.h that have nothing in
// common with Winsock (closing, accepting, polling, the waker's pipe).
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <span>

#include "base/socket.h"
#include "base/socket_system.h"

namespace base::net {

namespace system {

bool Start(std::string* /*error*/) {
    return true;
}

Socket NewSocket(int type) {
    return Socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

bool SetNonBlocking(NativeSocket handle) {
    const int flags = ::fcntl(handle, F_GETFL, 0);
    return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SetNoDelay(NativeSocket handle) {
    const int one = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void PrepareListener(NativeSocket handle) {
    // Lets a restarted host take its port back while old connections linger in TIME_WAIT; two
    // listeners on one port are still refused on Linux.
    const int one = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void PrepareConnect(NativeSocket /*handle*/) {}

int LastError() {
    return errno;
}

std::string ResolveErrorText(int code) {
    return ::gai_strerror(code);
}

ErrorKind Classify(int code) {
    switch (code) {
        case EINTR:
            return ErrorKind::kInterrupted;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return ErrorKind::kWouldBlock;
        case EADDRINUSE:
            return ErrorKind::kAddressInUse;
        case ECONNREFUSED:
            return ErrorKind::kRefused;
        case EPIPE:
        case ECONNRESET:
            return ErrorKind::kPeerGone;
        default:
            return ErrorKind::kOther;
    }
}

bool ConnectUnderWay(int code) {
    return code == EINPROGRESS;
}

bool WaitConnected(NativeSocket handle, int timeout_ms, int* socket_error) {
    std::vector<PollEntry> entries{{handle, false, true}};
    if (Poll(entries, std::int64_t{timeout_ms} * 1000) <= 0) {
        return false;
    }
    *socket_error = 0;
    socklen_t length = sizeof *socket_error;
    ::getsockopt(handle, SOL_SOCKET, SO_ERROR, socket_error, &length);
    return true;
}

std::int64_t ReceiveSome(NativeSocket handle, char* buffer, std::size_t size) {
    return ::recv(handle, buffer, size, 0);
}

std::int64_t SendSome(NativeSocket handle, const char* data, std::size_t size) {
    // MSG_NOSIGNAL: a peer that went away gives EPIPE here instead of killing the process.
    return ::send(handle, data, size, MSG_NOSIGNAL);
}

}  // namespace system

void Socket::Close() {
    if (valid()) {
        ::close(handle_);
        handle_ = kInvalidSocket;
    }
}

Socket Accept(const Socket& listener) {
    Socket client(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.valid()) {
        system::SetNoDelay(client.get());
    }
    return client;
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

}  // namespace base::net
