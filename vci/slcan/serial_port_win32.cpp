// A serial port on Windows: a COM port opened through CreateFile, read with the comm time-outs
// that make ReadFile return what has arrived or wait a few milliseconds for the first byte.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "base/deadline_timer.h"
#include "base/socket.h"
#include "base/system_error.h"
#include "vci/slcan/serial_port.h"

namespace vci::slcan {

namespace {

// A write waits for the port to take the first bytes of a line for the send's time-out, but at
// least this long: a COM port's driver completes a write once it has handed the bytes on (a USB
// frame or two), so a time-out of 0 would be no time at all (and 0 is no time-out to the port).
constexpr std::int64_t kFirstBytesMinUs = 100000;
// Once part of a line is out, the rest must follow, or the adapter would take the next line as
// this one's end: the whole write waits at most this long before the port is taken as lost.
constexpr std::int64_t kRestOfLineUs = 1000000;

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::string ErrorText(DWORD code) {
    return base::ErrorText(static_cast<int>(code));
}

}  // namespace

SerialPort::OpenStatus SerialPort::Open(const std::string& path, std::uint32_t baud,
                                        std::string* error) {
    Close();
    // "COM10" and above can be opened only by their device name; it serves for every port.
    const std::string name = path.rfind("\\\\.\\", 0) == 0 ? path : "\\\\.\\" + path;
    // No sharing: a COM port has one user at a time, and one that another program holds is
    // refused here, before anything is changed on it.
    const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        *error = path + ": " + ErrorText(code);
        if (code == ERROR_ACCESS_DENIED) {
            *error += " (in use by another program?)";
        }
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? OpenStatus::kGone
                                                                            : OpenStatus::kFailed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    lost_ = false;
    read_wait_ms_ = write_wait_ms_ = 0xFFFFFFFF;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(handle, &settings)) {
        *error = path + ": not a serial port (" + ErrorText(::GetLastError()) + ")";
        Close();
        return OpenStatus::kFailed;
    }
    settings.BaudRate = baud;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fAbortOnError = FALSE;
    if (!::SetCommState(handle, &settings) || !SetTimeouts(0, 1)) {
        *error = path + ": cannot set up the port: " + ErrorText(::GetLastError());
        Close();
        return OpenStatus::kFailed;
    }
    ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return OpenStatus::kOk;
}

void SerialPort::Close() {
    if (handle_ != -1) {
        ::CloseHandle(Handle(handle_));
        handle_ = -1;
    }
}

// Reads (ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD with a constant) return
// what has arrived, or wait at most read_ms for the first byte; a write waits at most write_ms
// (at least 1: 0 would be none). Set only when they change, so a run of like calls sets them once.
bool SerialPort::SetTimeouts(std::uint32_t read_ms, std::uint32_t write_ms) {
    if (read_ms == read_wait_ms_ && write_ms == write_wait_ms_) {
        return true;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = read_ms == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = read_ms;
    timeouts.WriteTotalTimeoutConstant = write_ms;
    if (!::SetCommTimeouts(Handle(handle_), &timeouts)) {
        read_wait_ms_ = write_wait_ms_ = 0xFFFFFFFF;
        return false;
    }
    read_wait_ms_ = read_ms;
    write_wait_ms_ = write_ms;
    return true;
}

std::int64_t SerialPort::Lost(const std::string& why) {
    lost_ = true;
    last_error_ = why;
    Close();
    return -1;
}

std::int64_t SerialPort::Read(char* buffer, std::size_t size, std::int64_t timeout_us) {
    if (lost_ || handle_ == -1) {
        return -1;
    }
    const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
    for (;;) {
        // ReadFile returns what has arrived, or waits at most its time-out for the first byte.
        // Windows returns with that byte; wine only at the end of the time-out, so a wait is made
        // of reads of 1 ms (a shorter wait is rounded up to one, not turned into a busy loop).
        const std::int64_t remaining = deadline - base::SteadyNowUs();
        const DWORD wait_ms = remaining <= 0 ? 0 : 1;
        if (!SetTimeouts(wait_ms, write_wait_ms_)) {
            return Lost("setting the serial port's time-outs failed: " +
                        ErrorText(::GetLastError()));
        }
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
        if (!::ReadFile(Handle(handle_), buffer, want, &got, nullptr)) {
            return Lost("reading the serial port failed: " + ErrorText(::GetLastError()));
        }
        if (got == 0 && wait_ms != 0) {
            // A port that went away may still read as empty (wine's, on a hung-up terminal);
            // asking for its state fails then. Only after a wait that found nothing: a read that
            // brings data costs no further call.
            DWORD errors = 0;
            if (!::ClearCommError(Handle(handle_), &errors, nullptr)) {
                return Lost("the serial port is gone: " + ErrorText(::GetLastError()));
            }
        }
        if (got > 0 || wait_ms == 0 || base::SteadyNowUs() >= deadline) {
            return got;
        }
    }
}

SerialPort::WriteStatus SerialPort::Write(std::string_view bytes, std::int64_t timeout_us) {
    if (lost_ || handle_ == -1) {
        return WriteStatus::kLost;
    }
    const std::size_t total = bytes.size();
    const std::int64_t start = base::SteadyNowUs();
    const std::int64_t first_deadline = start + std::max(timeout_us, kFirstBytesMinUs);
    const std::int64_t rest_deadline = start + kRestOfLineUs;
    while (!bytes.empty()) {
        const bool begun = bytes.size() < total;
        const std::int64_t left = (begun ? rest_deadline : first_deadline) - base::SteadyNowUs();
        if (left <= 0) {
            if (!begun) {
                return WriteStatus::kFull;
            }
            Lost("the serial port took part of a line and then nothing more");
            return WriteStatus::kLost;
        }
        const DWORD wait_ms = static_cast<DWORD>((left + 999) / 1000);
        if (!SetTimeouts(read_wait_ms_, wait_ms)) {
            Lost("setting the serial port's time-outs failed: " + ErrorText(::GetLastError()));
            return WriteStatus::kLost;
        }
        DWORD written = 0;
        if (!::WriteFile(Handle(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr)) {
            Lost("writing to the serial port failed: " + ErrorText(::GetLastError()));
            return WriteStatus::kLost;
        }
        bytes.remove_prefix(written);
    }
    return WriteStatus::kOk;
}

}  // namespace vci::slcan
