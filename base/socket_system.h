// The calls in which BSD sockets and Winsock differ, for socket.cpp, which builds the interface
// of socket.h on them once for both. socket_posix.cpp or socket_win32.cpp defines them; only
// socket*.cpp include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "base/socket.h"

namespace base::net::system {

// Makes the socket calls usable (Winsock: WSAStartup once per process). False with a reason.
bool Start(std::string* error);

// A TCP (SOCK_STREAM) or UDP (SOCK_DGRAM) socket that child processes do not inherit.
Socket NewSocket(int type);
bool SetNonBlocking(NativeSocket handle);
void SetNoDelay(NativeSocket handle);

// Before bind: a second listener on the port must be refused, a restarted host must get its
// port back.
void PrepareListener(NativeSocket handle);
// Before connect on a non-blocking socket.
void PrepareConnect(NativeSocket handle);

// The code of the last failed call (errno, WSAGetLastError).
int LastError();
// The text of a getaddrinfo result.
std::string ResolveErrorText(int code);

enum class ErrorKind {
    kInterrupted,   // try the call again
    kWouldBlock,    // nothing to move now
    kAddressInUse,  // bind: the port is taken
    kRefused,       // connect: nothing listens there
    kPeerGone,      // send: the peer has closed or reset the connection
    kOther,
};
ErrorKind Classify(int code);
// True when connect on a non-blocking socket failed with this code because it is under way.
bool ConnectUnderWay(int code);

// Waits for a connect that is under way: false on time-out; otherwise *socket_error is the
// connection's outcome (0: connected).
bool WaitConnected(NativeSocket handle, int timeout_ms, int* socket_error);

// One recv / send: the bytes moved, or -1 with LastError() set.
std::int64_t ReceiveSome(NativeSocket handle, char* buffer, std::size_t size);
std::int64_t SendSome(NativeSocket handle, const char* data, std::size_t size);

}  // namespace base::net::system
