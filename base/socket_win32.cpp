// Winsock: the calls of socket_system.h, and the parts of socket.h that have nothing in common
// with BSD sockets (closing, accepting, polling, the waker). Winsock is started once per process
// and never cleaned up: the process's end releases it, and WSACleanup may not be called while
// the library is being unloaded.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which they build on.
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <climits>

#include "base/socket.h"
#include "base/socket_system.h"
#include "base/system_error.h"

namespace base::net {

namespace {

int ClampLength(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

namespace system {

bool Start(std::string* error) {
    static const int result = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (result != 0) {
        ::WSASetLastError(result);
        *error = "Winsock: " + base::ErrorText(result);
        return false;
    }
    return true;
}

Socket NewSocket(int type) {
    std::string error;
    if (!Start(&error)) {
        return Socket();
    }
    Socket socket(::socket(AF_INET, type, type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP));
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

void PrepareListener(NativeSocket handle) {
    // On Windows SO_REUSEADDR would let a second listener take the port; exclusive use refuses
    // it, as Linux does.
    const BOOL one = TRUE;
    ::setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
}

void PrepareConnect(NativeSocket handle) {
    // Windows answers a connection attempt to a loopback port where nothing listens by sending
    // the SYN again for about two seconds before it gives up; this makes the refusal immediate.
    // Hosts that do not know the setting (older Windows, wine) refuse at once anyway.
    TCP_INITIAL_RTO_PARAMETERS parameters{};
    parameters.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
    parameters.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
    DWORD returned = 0;
    ::WSAIoctl(handle, SIO_TCP_INITIAL_RTO, &parameters, sizeof parameters, nullptr, 0, &returned,
               nullptr, nullptr);
}

int LastError() {
    return ::WSAGetLastError();
}

std::string ResolveErrorText(int code) {
    return base::ErrorText(code);
}

ErrorKind Classify(int code) {
    switch (code) {
        case WSAEINTR:
            return ErrorKind::kInterrupted;
        case WSAEWOULDBLOCK:
            return ErrorKind::kWouldBlock;
        case WSAEADDRINUSE:
        case WSAEACCES:
            return ErrorKind::kAddressInUse;
        case WSAECONNREFUSED:
            return ErrorKind::kRefused;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
            return ErrorKind::kPeerGone;
        default:
            return ErrorKind::kOther;
    }
}

bool ConnectUnderWay(int code) {
    return code == WSAEWOULDBLOCK;
}

bool WaitConnected(NativeSocket handle, int timeout_ms, int* socket_error) {
    // select, not WSAPoll: older WSAPoll never reports a connection that failed. A failed
    // attempt shows in the exception set, a completed one in the write set.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    timeval timeout{};
    timeout.tv_sec = timeout_ms / 1000;
    timeout.tv_usec = (timeout_ms % 1000) * 1000;
    if (::select(0, nullptr, &writable, &failed, &timeout) <= 0) {
        return false;
    }
    *socket_error = 0;
    int length = sizeof *socket_error;
    ::getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(socket_error), &length);
    if (*socket_error == 0 && FD_ISSET(handle, &failed)) {
        *socket_error = WSAECONNREFUSED;
    }
    return true;
}

std::int64_t ReceiveSome(NativeSocket handle, char* buffer, std::size_t size) {
    return ::recv(handle, buffer, ClampLength(size), 0);
}

std::int64_t SendSome(NativeSocket handle, const char* data, std::size_t size) {
    return ::send(handle, data, ClampLength(size), 0);
}

}  // namespace system

void Socket::Close() {
    if (valid()) {
        ::closesocket(handle_);
        handle_ = kInvalidSocket;
    }
}

Socket Accept(const Socket& listener) {
    Socket client(::accept(listener.get(), nullptr, nullptr));
    if (client.valid()) {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(client.get()), HANDLE_FLAG_INHERIT, 0);
        if (!system::SetNonBlocking(client.get())) {
            return Socket();
        }
        system::SetNoDelay(client.get());
    }
    return client;
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
    Socket read_end = system::NewSocket(SOCK_DGRAM);
    Socket write_end = system::NewSocket(SOCK_DGRAM);
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
        !system::SetNonBlocking(read_end.get()) || !system::SetNonBlocking(write_end.get())) {
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

}  // namespace base::net
