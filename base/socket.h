// The only place where the virtual bus touches the operating system's sockets. Everything here
// is a thin, blocking-free wrapper around BSD sockets, or on Windows around Winsock (started
// once on first use; closesocket, ioctlsocket/FIONBIO, WSAPoll), behind the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace base::net {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
inline constexpr NativeSocket kInvalidSocket = ~NativeSocket{0};
#else
using NativeSocket = int;
inline constexpr NativeSocket kInvalidSocket = -1;
#endif

// Owns one socket (or, for Waker, one pipe end) and closes it when destroyed.
class Socket {
  public:
    Socket() = default;
    explicit Socket(NativeSocket handle) : handle_(handle) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ != kInvalidSocket; }
    NativeSocket get() const { return handle_; }
    NativeSocket release();
    void Close();

  private:
    NativeSocket handle_ = kInvalidSocket;
};

enum class IoStatus { kOk, kWouldBlock, kClosed, kError };
struct IoResult {
    IoStatus status = IoStatus::kError;
    std::size_t bytes = 0;  // bytes moved when kOk
};

// Binds and listens on 127.0.0.1:port (never on another address), non-blocking. False with a
// reason; *address_in_use tells a taken port from other failures.
bool ListenLoopback(std::uint16_t port, Socket* listener, bool* address_in_use, std::string* error);
// Accepts one pending connection, non-blocking with TCP_NODELAY; an invalid socket when none.
Socket Accept(const Socket& listener);

enum class ConnectStatus { kOk, kRefused, kTimeout, kError };
// Connects to host:port within timeout_ms; the socket is non-blocking with TCP_NODELAY.
ConnectStatus ConnectTcp(const std::string& host, std::uint16_t port, int timeout_ms, Socket* out,
                         std::string* error);

IoResult Receive(const Socket& socket, char* buffer, std::size_t size);
IoResult Send(const Socket& socket, const char* data, std::size_t size);

struct PollEntry {
    NativeSocket handle = kInvalidSocket;
    bool want_read = false;
    bool want_write = false;
    bool readable = false;  // also set on hang-up and errors, so the next read reports them
    bool writable = false;
};
// Waits until one entry is ready or timeout_us passes (< 0: no limit, 0: just look). Returns the
// number of ready entries, 0 on time-out, -1 on failure (EINTR counts as a time-out).
int Poll(std::vector<PollEntry>& entries, std::int64_t timeout_us);

// Wakes a thread that waits in Poll: a pipe whose read end is polled (on Windows, a UDP socket on
// 127.0.0.1 that a second socket sends to).
class Waker {
  public:
    bool Open(std::string* error);
    void Notify();
    void Drain();
    NativeSocket handle() const { return read_end_.get(); }

  private:
    Socket read_end_;
    Socket write_end_;
};

// The text of the last socket error (errno or WSAGetLastError); base/system_error.h words any
// other system error.
std::string LastErrorText();

}  // namespace base::net
