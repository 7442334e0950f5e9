// A serial port as the SLCAN transport uses it: opened for this process alone, raw 8 data bits,
// no parity, one stop bit at the baud rate asked for (a USB adapter ignores it), no flow
// control. A port that another program holds is refused, and left as it was.
// serial_port_posix.cpp (termios) or serial_port_win32.cpp (a COM port) implements it.
//
// Reads take what has arrived and wait at most their time-out for the first byte, without a busy
// loop; a write is one system call when the port takes the whole line, as it normally does. A
// port that went away (a USB adapter pulled: a hang-up, a read or write error) is reported as
// lost, and stays lost; it is closed at once, so that the port (an adapter plugged back in) can
// be opened again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/deadline_timer.h"

namespace vci::slcan {

class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    enum class OpenStatus {
        kOk,
        kGone,    // no such port (any more)
        kFailed,  // there, but not to be had: in use, not permitted, not a serial port
    };
    // path: a device path ("/dev/ttyACM0") or a COM port name ("COM7"). Any input waiting from
    // before is dropped. On failure, why is in *error (naming the port), and the port is as it
    // was.
    OpenStatus Open(const std::string& path, std::uint32_t baud, std::string* error);
    void Close();

    // Reads what has arrived, at most `size` bytes, waiting at most timeout_us for the first
    // (0: only looks). The number of bytes read, 0 when none came, -1 when the port is lost
    // (why: last_error()). A lost port is closed at once, so that it can be opened again.
    std::int64_t Read(char* buffer, std::size_t size, std::int64_t timeout_us);

    enum class WriteStatus { kOk, kFull, kLost };
    // Writes all of `bytes`, waiting at most timeout_us for the port to take the first of them
    // (kFull when it took none; on Windows at least 100 ms, the time a COM port's driver takes to
    // hand a line on); once it took some, it waits for the rest, 1 s from the start at most
    // (kLost when that does not come).
    WriteStatus Write(std::string_view bytes, std::int64_t timeout_us);

    const std::string& last_error() const { return last_error_; }

  private:
    std::int64_t Lost(const std::string& why);

    std::intptr_t handle_ = -1;  // file descriptor, or the COM port's HANDLE
    bool lost_ = false;
    std::string last_error_;
#ifdef _WIN32
    bool SetTimeouts(std::uint32_t read_ms, std::uint32_t write_ms);
    std::uint32_t read_wait_ms_ = 0xFFFFFFFF;   // the read time-out the port is set to now
    std::uint32_t write_wait_ms_ = 0xFFFFFFFF;  // and the write time-out
#else
    bool WaitReadable(std::int64_t deadline_us);
    bool WaitWritable(std::int64_t timeout_us);
    base::DeadlineTimer timer_;
    std::vector<base::net::PollEntry> poll_;
    bool exclusive_ = false;  // TIOCEXCL set by this process, cleared before the port closes
#endif
};

}  // namespace vci::slcan
