#include "virtual_bus/slcan_pty_adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "virtual_bus/bus_client.h"
#include "wire/slcan_codec.h"

namespace vbus {

namespace {

namespace sl = wire::slcan;

// While no program has the terminal open, the pty reports a hang-up at every poll: look again
// for a program opening it this often.
constexpr int kReopenPollMs = 5;
// A host that reads nothing for this long loses the rest of a line (and the frames after it).
constexpr int kWriteStallMs = 100;

}  // namespace

struct SlcanPtyAdapter::Impl {
    SlcanDialect dialect;
    std::string serial;
    std::ostream* log = nullptr;
    std::string link_path;
    std::string terminal;  // the terminal side's path, taken once at the start

    int master = -1;
    int wake[2] = {-1, -1};  // Stop and Pull write here to end the thread's wait
    BusClient bus;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> pulled{false};
    bool linked = false;

    // The session with the host, from its opening of the terminal.
    bool host_present = false;
    bool opened_before = false;
    bool channel_open = false;
    bool time_stamps = false;
    sl::LineSplitter splitter;
    std::string answers;        // what one read's commands answer, written at once
    std::string previous_line;  // the silent dialect's: what an empty line repeats
    std::vector<Frame> received;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    mutable std::mutex stats_mutex;
    SlcanAdapterStats stats;

    void Note(const std::string& text) {
        if (log != nullptr) {
            // One write, so that notices of adapters on other threads do not interleave.
            *log << ("canbus-host: slcan " + link_path + ": " + text + "\n");
        }
    }

    void Count(std::uint64_t SlcanAdapterStats::*field) {
        const std::lock_guard lock(stats_mutex);
        ++(stats.*field);
    }

    void StartSession(bool first) {
        host_present = true;
        if (first || !dialect.silent) {
            channel_open = false;
            time_stamps = dialect.time_stamps != SlcanDialect::TimeStamps::kOff;
            previous_line.clear();
        }
        splitter.Reset();
    }

    // What was written to the terminal and not read before its program closed it would wait
    // there for the next program, which a serial port closed and opened again never shows:
    // thrown away, through the terminal side.
    void DropUnread() {
        const int side = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (side >= 0) {
            ::tcflush(side, TCIFLUSH);
            ::close(side);
        }
    }

    // Writes all of `bytes` unless the host stops reading; false when the pty failed.
    bool WriteToHost(std::string_view bytes) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteStallMs);
        while (!bytes.empty()) {
            const ssize_t n = ::write(master, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                Count(&SlcanAdapterStats::dropped_frames);
                return true;
            }
            pollfd entry{master, POLLOUT, 0};
            ::poll(&entry, 1, static_cast<int>(left.count()));
        }
        return true;
    }

    // A command refused (a known one, not to be done now or in this dialect), or a line refused:
    // a frame on a closed channel, a remote frame, a line not understood.
    void Refuse(bool command = false) {
        if (!dialect.silent) {
            answers.push_back(sl::kBel);
        }
        Count(command ? &SlcanAdapterStats::refused_commands : &SlcanAdapterStats::refused_lines);
    }

    void Accept() {
        if (!dialect.silent) {
            answers.push_back(sl::kCr);
        }
    }

    // Handles one line from the host, appending its answer to `answers`. False when the bus is
    // gone.
    bool HandleLine(std::string_view line) {
        if (line.empty()) {
            if (!dialect.silent || previous_line.empty()) {
                Accept();
                return true;
            }
            const std::string again = previous_line;
            return HandleCommand(again);
        }
        if (dialect.silent) {
            previous_line.assign(line);
        }
        return HandleCommand(line);
    }

    bool HandleCommand(std::string_view line) {
        using Kind = sl::Command::Kind;
        const sl::Command command = sl::ParseCommand(line);
        const bool z_refused = dialect.time_stamps == SlcanDialect::TimeStamps::kAlways;
        switch (command.kind) {
            case Kind::kClose:
                channel_open = false;
                Accept();
                return true;
            case Kind::kOpen:
                if (channel_open) {
                    Refuse(true);
                    return true;
                }
                channel_open = true;
                Accept();
                return true;
            case Kind::kBitrate:
                if (channel_open) {
                    Refuse(true);
                } else {
                    Accept();
                }
                return true;
            case Kind::kTimeStamps:
                if (channel_open || z_refused) {
                    Refuse(true);
                } else {
                    time_stamps = command.argument == 1;
                    Accept();
                }
                return true;
            case Kind::kVersion:
                answers.append(dialect.silent ? std::string(kSilentVersionLine) + "\r" : "V1013\r");
                return true;
            case Kind::kDetail:
                answers.append(dialect.silent ? std::string(kSilentVersionLine) + "\r" : "v0107\r");
                return true;
            case Kind::kSerial:
                if (!dialect.silent) {
                    answers.append("N" + serial + "\r");
                }
                return true;
            case Kind::kFlags:
                if (!dialect.silent) {
                    answers.append("F00\r");
                }
                return true;
            case Kind::kFrame:
                // The virtual bus carries data frames only.
                if (!channel_open || command.frame.remote) {
                    Refuse();
                    return true;
                }
                if (!bus.Send(command.frame)) {
                    return false;
                }
                Count(&SlcanAdapterStats::frames_to_bus);
                switch (dialect.silent ? SlcanDialect::SendAnswer::kNone : dialect.send_answer) {
                    case SlcanDialect::SendAnswer::kZ:
                        answers.append(command.frame.extended ? "Z\r" : "z\r");
                        break;
                    case SlcanDialect::SendAnswer::kCr:
                        Accept();
                        break;
                    case SlcanDialect::SendAnswer::kNone:
                        break;
                }
                return true;
            case Kind::kUnknown:
                Refuse();
                return true;
        }
        return true;
    }

    // Reads what the host wrote and answers it. False when the bus is gone.
    bool ReadHost() {
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            if (host_present) {
                Note("closed by its program; waiting for it to be opened again");
                DropUnread();
            }
            host_present = false;
            return true;
        }
        bool bus_alive = true;
        answers.clear();
        splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                      [&](const sl::Token& token) {
                          if (!bus_alive) {
                              return;
                          }
                          if (token.kind == sl::Token::Kind::kLine) {
                              bus_alive = HandleLine(token.text);
                          } else if (token.kind == sl::Token::Kind::kDiscarded) {
                              Refuse();
                          }
                      });
        if (!answers.empty() && !WriteToHost(answers)) {
            host_present = false;
        }
        return bus_alive;
    }

    // Passes the bus's frames on to the host while the channel is open. False when the bus is
    // gone.
    bool ReadBus() {
        received.clear();
        const bool alive = bus.Receive(received, 0);
        if (!host_present || !channel_open) {
            return alive;
        }
        std::optional<std::uint16_t> stamp;
        if (time_stamps) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
            stamp = static_cast<std::uint16_t>(ms % 60000);
        }
        for (const Frame& frame : received) {
            sl::LineBuffer line;
            const std::size_t size = sl::FormatFrame(frame, stamp, line);
            if (!WriteToHost(std::string_view(line.data(), size))) {
                host_present = false;
                break;
            }
            Count(&SlcanAdapterStats::frames_to_host);
        }
        return alive;
    }

    void Run() {
        std::vector<pollfd> entries(3);
        while (!stopping.load()) {
            entries[0] = {wake[0], POLLIN, 0};
            entries[1] = {static_cast<int>(bus.socket()), POLLIN, 0};
            entries[2] = {master, POLLIN, 0};
            // Without a program on the terminal, the pty would report a hang-up at once: look
            // at it only now and then.
            const nfds_t count = host_present ? 3 : 2;
            const int ready = ::poll(entries.data(), count, host_present ? -1 : kReopenPollMs);
            if (ready < 0 && errno != EINTR) {
                Note(std::string("poll failed: ") + std::strerror(errno));
                return;
            }
            if (entries[0].revents != 0 || stopping.load()) {
                return;
            }
            if (!host_present) {
                pollfd probe{master, POLLIN, 0};
                if (::poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) == 0) {
                    StartSession(!opened_before);
                    opened_before = true;
                    Note("opened by a program");
                    if ((probe.revents & POLLIN) != 0 && !ReadHost()) {
                        break;
                    }
                }
            } else if ((entries[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadHost()) {
                break;
            }
            if ((entries[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadBus()) {
                break;
            }
        }
        if (!stopping.load()) {  // not pulled out or stopped: the loop ended on a lost bus
            Note("the bus went away; the adapter is gone");
        }
        ::close(master);
        master = -1;
    }

    void RemoveLink() {
        if (linked) {
            ::unlink(link_path.c_str());
            linked = false;
        }
    }
};

SlcanPtyAdapter::SlcanPtyAdapter(std::string link_path, SlcanDialect dialect, std::string serial,
                                 std::ostream* log)
    : link_path_(std::move(link_path)), impl_(std::make_unique<Impl>()) {
    impl_->dialect = dialect;
    impl_->serial = std::move(serial);
    impl_->log = log;
    impl_->link_path = link_path_;
}

SlcanPtyAdapter::~SlcanPtyAdapter() {
    Stop();
}

bool SlcanPtyAdapter::Start(std::uint16_t port, const std::string& bus, std::string* error) {
    Impl& s = *impl_;
    const auto fail = [&](const std::string& what) {
        *error = "slcan " + link_path_ + ": " + what;
        return false;
    };
    if (!s.bus.Connect("127.0.0.1", port, bus, error)) {
        return fail("cannot join the bus: " + *error);
    }
    s.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.master < 0 || ::grantpt(s.master) != 0 || ::unlockpt(s.master) != 0) {
        return fail(std::string("no pseudo terminal: ") + std::strerror(errno));
    }
    // Raw: no echo, no line editing, no CR/LF translation. Set through the master, it holds for
    // the terminal side, whoever opens it.
    termios mode{};
    if (::tcgetattr(s.master, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(s.master, TCSANOW, &mode);
    }
    // Taken once, here: ptsname's buffer is shared by every thread of the process.
    char terminal[128];
    if (const int code = ::ptsname_r(s.master, terminal, sizeof terminal); code != 0) {
        return fail(std::string("ptsname_r: ") + std::strerror(code));
    }
    s.terminal = terminal;
    // A link left by an adapter that did not end cleanly is replaced; anything else is not.
    struct stat existing {};
    if (::lstat(link_path_.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
        ::unlink(link_path_.c_str());
    }
    if (::symlink(terminal, link_path_.c_str()) != 0) {
        return fail(std::string("cannot link it: ") + std::strerror(errno));
    }
    s.linked = true;
    // Until a terminal side has been opened and closed once, the pty does not report a hang-up:
    // do that here, so that the adapter sees no program until one opens the terminal.
    s.DropUnread();
    if (::pipe2(s.wake, O_CLOEXEC) != 0) {
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    s.Note(std::string("adapter on ") + terminal);
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void SlcanPtyAdapter::Pull() {
    Impl& s = *impl_;
    if (s.pulled.exchange(true)) {
        return;
    }
    s.Note("pulled out");
    Stop();
}

void SlcanPtyAdapter::Stop() {
    Impl& s = *impl_;
    s.stopping = true;
    if (s.wake[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(s.wake[1], &byte, 1);
    }
    if (s.thread.joinable()) {
        s.thread.join();
    }
    if (s.master >= 0) {
        ::close(s.master);
        s.master = -1;
    }
    if (s.linked) {
        const SlcanAdapterStats totals = stats();
        s.Note("stopped after " + std::to_string(totals.frames_to_bus) + " frames to the bus, " +
               std::to_string(totals.frames_to_host) + " to its program, " +
               std::to_string(totals.refused_lines) + " lines refused (and " +
               std::to_string(totals.refused_commands) + " commands), " +
               std::to_string(totals.dropped_frames) + " frames dropped (program not reading)");
    }
    s.RemoveLink();
    s.bus.Close();
    for (int& fd : s.wake) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

SlcanAdapterStats SlcanPtyAdapter::stats() const {
    const std::lock_guard lock(impl_->stats_mutex);
    return impl_->stats;
}

}  // namespace vbus
