// A serial port through termios: a USB adapter's /dev/ttyACM* or /dev/ttyUSB*, or a pseudo
// terminal standing in for one.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/deadline_timer.h"
#include "base/socket.h"
#include "vci/slcan/serial_port.h"

namespace vci::slcan {

namespace {

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// The kernel's slcan line discipline (N_SLCAN of <linux/tty.h>, which clashes with the C
// library's terminal headers).
constexpr int kSlcanDiscipline = 17;

std::optional<speed_t> Speed(std::uint32_t baud) {
    static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
        {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
        {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
        {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
    };
    for (const auto& [rate, speed] : kSpeeds) {
        if (rate == baud) {
            return speed;
        }
    }
    return std::nullopt;
}

}  // namespace

SerialPort::OpenStatus SerialPort::Open(const std::string& path, std::uint32_t baud,
                                        std::string* error) {
    Close();
    const std::optional<speed_t> speed = Speed(baud);
    if (!speed) {
        *error = path + ": " + std::to_string(baud) + " is no baud rate a serial port takes";
        return OpenStatus::kFailed;
    }
    // O_NONBLOCK: the open does not wait for a modem's carrier. A port that another program
    // holds exclusively (TIOCEXCL) refuses the open with EBUSY.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        *error = path + ": " + std::strerror(code);
        if (code == EACCES) {
            *error += " (the user needs read and write access: the dialout group, as a rule)";
        } else if (code == EBUSY) {
            *error += " (held exclusively by another program)";
        }
        return code == ENOENT || code == ENODEV || code == ENXIO ? OpenStatus::kGone
                                                                 : OpenStatus::kFailed;
    }
    handle_ = fd;
    lost_ = false;
    // Whoever holds the port keeps it: the lock first (serial programs commonly take it), and
    // nothing is changed on a port that is not ours.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = path + ": in use by another program (it holds the port's lock)";
        Close();
        return OpenStatus::kFailed;
    }
    termios settings{};
    int discipline = N_TTY;
    if (::tcgetattr(fd, &settings) != 0 || ::ioctl(fd, TIOCGETD, &discipline) != 0) {
        *error = path + ": not a serial port (" + std::strerror(errno) + ")";
        Close();
        return OpenStatus::kFailed;
    }
    if (discipline != N_TTY) {
        *error = path + ": in use by the kernel (line discipline " + std::to_string(discipline) +
                 (discipline == kSlcanDiscipline
                      ? ": slcan, the adapter is a SocketCAN interface already; use that"
                      : "") +
                 ")";
        Close();
        return OpenStatus::kFailed;
    }
    // For this process alone: TIOCEXCL refuses later opens of the terminal by others.
    if (::ioctl(fd, TIOCEXCL) != 0) {
        *error = path + ": cannot have it for this program alone: " + std::strerror(errno);
        Close();
        return OpenStatus::kFailed;
    }
    exclusive_ = true;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // VMIN 1, not 0: with O_NONBLOCK an empty port then gives EAGAIN, and a read of 0 bytes
    // means the end (a hung-up port), as it does nowhere else.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, *speed);
    ::cfsetospeed(&settings, *speed);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = path + ": cannot set raw mode: " + std::strerror(errno);
        Close();
        return OpenStatus::kFailed;
    }
    // A USB serial converter with a latency timer (FTDI: 16 ms by default) holds each answer
    // that long; low latency makes it 1 ms. Ports without the setting (a pty, CDC ACM) refuse
    // it, which changes nothing.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    ::tcflush(fd, TCIFLUSH);
    return OpenStatus::kOk;
}

void SerialPort::Close() {
    timer_.Forget();
    if (handle_ >= 0) {
        if (exclusive_) {
            ::ioctl(Fd(handle_), TIOCNXCL);
            exclusive_ = false;
        }
        ::close(Fd(handle_));  // also releases the lock
        handle_ = -1;
    }
}

std::int64_t SerialPort::Lost(const std::string& why) {
    lost_ = true;
    last_error_ = why;
    Close();
    return -1;
}

// Waits until the port has something to read (or has hung up) or the deadline passes. Most
// waits end early, when a line arrives: the deadline timer spares a kernel timer per wait.
bool SerialPort::WaitReadable(std::int64_t deadline_us) {
    return base::WaitUntil(timer_, Fd(handle_), deadline_us, false, poll_);
}

bool SerialPort::WaitWritable(std::int64_t timeout_us) {
    std::vector<base::net::PollEntry> entries{{Fd(handle_), false, true}};
    return base::net::Poll(entries, timeout_us) > 0;
}

std::int64_t SerialPort::Read(char* buffer, std::size_t size, std::int64_t timeout_us) {
    if (lost_ || handle_ < 0) {
        return -1;
    }
    // A caller that waits has usually just taken everything: wait first, then read.
    if (timeout_us > 0 && !WaitReadable(base::SteadyNowUs() + timeout_us)) {
        return 0;
    }
    for (;;) {
        const ssize_t n = ::read(Fd(handle_), buffer, size);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            return Lost("the serial port hung up");
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return Lost(std::string("reading the serial port failed: ") + std::strerror(errno));
    }
}

SerialPort::WriteStatus SerialPort::Write(std::string_view bytes, std::int64_t timeout_us) {
    if (lost_ || handle_ < 0) {
        return WriteStatus::kLost;
    }
    // Once part of a line is out, the rest must follow, or the adapter would take the next line
    // as this one's end.
    constexpr std::int64_t kRestOfLineUs = 1000000;
    const std::size_t total = bytes.size();
    std::int64_t deadline = -1;
    while (!bytes.empty()) {
        const ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            deadline = -1;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const bool begun = bytes.size() < total;
            const std::int64_t now = base::SteadyNowUs();
            if (deadline < 0) {
                deadline = now + (begun ? kRestOfLineUs : timeout_us);
            }
            if (now < deadline && WaitWritable(deadline - now)) {
                continue;
            }
            if (!begun) {
                return WriteStatus::kFull;
            }
            Lost("the serial port took part of a line and then nothing more");
            return WriteStatus::kLost;
        }
        Lost(std::string("writing to the serial port failed: ") +
             (n == 0 ? "nothing written" : std::strerror(errno)));
        return WriteStatus::kLost;
    }
    return WriteStatus::kOk;
}

}  // namespace vci::slcan
