// A serial port through termios: a USB adapter's /dev/ttyACM* or /dev/ttyUSB*, or a pseudo
// terminal standing in for one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "vci/slcan/serial_port.h"
#include "virtual_bus/deadline_timer.h"
#include "virtual_bus/socket.h"

namespace vci::slcan {

namespace {

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

SerialPort::OpenStatus SerialPort::Open(const std::string& path, std::string* error) {
    Close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        *error = path + ": " + std::strerror(code);
        if (code == EACCES) {
            *error += " (the user needs read and write access: the dialout group, as a rule)";
        }
        return code == ENOENT || code == ENODEV || code == ENXIO ? OpenStatus::kGone
                                                                 : OpenStatus::kFailed;
    }
    handle_ = fd;
    lost_ = false;
    // For this process alone: TIOCEXCL refuses later opens of the terminal, the lock keeps out
    // programs that take the same advisory lock (as serial tools commonly do).
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        *error = path + ": not a serial port (" + std::strerror(errno) + ")";
        Close();
        return OpenStatus::kFailed;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = path + ": in use by another program (" + std::strerror(errno) + ")";
        Close();
        return OpenStatus::kFailed;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // VMIN 1, not 0: with O_NONBLOCK an empty port then gives EAGAIN, and a read of 0 bytes
    // means the end (a hung-up port), as it does nowhere else.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = path + ": cannot set raw mode: " + std::strerror(errno);
        Close();
        return OpenStatus::kFailed;
    }
    ::tcflush(fd, TCIFLUSH);
    return OpenStatus::kOk;
}

void SerialPort::Close() {
    if (handle_ >= 0) {
        ::close(Fd(handle_));  // also releases the lock; TIOCEXCL ends with the last close
        handle_ = -1;
    }
}

bool SerialPort::is_open() const {
    return handle_ >= 0;
}

std::int64_t SerialPort::Lost(const std::string& why) {
    lost_ = true;
    last_error_ = why;
    return -1;
}

// Waits until the port has something to read (or has hung up) or the deadline passes. Most
// waits end early, when a line arrives: the library's deadline timer spares a timer per wait.
bool SerialPort::WaitReadable(std::int64_t deadline_us) {
    std::vector<vbus::net::PollEntry> entries;
    for (;;) {
        const std::int64_t now = vbus::SteadyNowUs();
        if (now >= deadline_us) {
            return false;
        }
        entries.assign(1, vbus::net::PollEntry{Fd(handle_), true, false});
        std::int64_t timeout = deadline_us - now;
        if (timer_.valid() && timer_.ExpireBy(deadline_us, now)) {
            entries.push_back(vbus::net::PollEntry{timer_.handle(), true, false});
            timeout = -1;
        }
        const int ready = vbus::net::Poll(entries, timeout);
        if (ready < 0 || entries[0].readable) {
            return true;  // a failure shows at the read
        }
        if (timeout >= 0) {
            return false;
        }
        // The timer fired: at this deadline, or at an earlier wait's expiry.
    }
}

bool SerialPort::WaitWritable(std::int64_t timeout_us) {
    std::vector<vbus::net::PollEntry> entries{{Fd(handle_), false, true}};
    return vbus::net::Poll(entries, timeout_us) > 0;
}

std::int64_t SerialPort::Read(char* buffer, std::size_t size, std::int64_t timeout_us) {
    if (lost_ || handle_ < 0) {
        return -1;
    }
    // A caller that waits has usually just taken everything: wait first, then read.
    if (timeout_us > 0 && !WaitReadable(vbus::SteadyNowUs() + timeout_us)) {
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
            const std::int64_t now = vbus::SteadyNowUs();
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
