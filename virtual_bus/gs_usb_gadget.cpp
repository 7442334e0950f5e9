// The gs_usb adapter on FunctionFS (see gs_usb_gadget.h). Three threads: the main one waits on
// ep0 (control requests), the bus and a pipe from the OUT reader, and does everything that needs
// a decision; the OUT reader blocks on ep2 (FunctionFS endpoint files cannot be polled) and
// hands each frame to the pipe; the IN writer blocks on ep1 with what the main thread queued, so
// that a host that stops reading never holds up ep0. A blocked endpoint read or write is ended
// by a signal to its thread (FunctionFS waits interruptibly and dequeues the request).
#include "virtual_bus/gs_usb_gadget.h"

#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "virtual_bus/bus_client.h"
#include "wire/can_id.h"
#include "wire/gs_usb_protocol.h"

namespace vbus {

namespace {

using wire::gs_usb::kFrameSize;
using wire::gs_usb::kReceivedEchoId;
using wire::gs_usb::Request;
constexpr std::size_t kMaxQueued = 256;  // frames waiting for the host to read
constexpr int kRestartDelayMs = 100;
constexpr std::uint8_t kTimestamp = 6;  // TIMESTAMP, polled by hosts told of hardware stamps

void PutLe16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// The v2 descriptor blob: full and high speed, three descriptors each.
std::vector<std::uint8_t> Descriptors() {
    std::vector<std::uint8_t> body;
    for (const unsigned packet : {64u, 512u}) {
        body.insert(body.end(), {9, 4, 0, 0, 2, 0xff, 0xff, 0xff, 1});  // interface 0, string 1
        for (const std::uint8_t address : {std::uint8_t{0x81}, std::uint8_t{0x02}}) {
            body.insert(body.end(), {7, 5, address, 2});  // bulk
            PutLe16(body, packet);
            body.push_back(0);
        }
    }
    std::vector<std::uint8_t> blob;
    PutLe32(blob, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    PutLe32(blob, static_cast<std::uint32_t>(20 + body.size()));
    PutLe32(blob, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    PutLe32(blob, 3);
    PutLe32(blob, 3);
    blob.insert(blob.end(), body.begin(), body.end());
    return blob;
}

std::vector<std::uint8_t> Strings() {
    static constexpr char kText[] = "gs_usb interface";
    std::vector<std::uint8_t> blob;
    PutLe32(blob, FUNCTIONFS_STRINGS_MAGIC);
    PutLe32(blob, static_cast<std::uint32_t>(16 + 2 + sizeof kText));
    PutLe32(blob, 1);  // strings
    PutLe32(blob, 1);  // languages
    PutLe16(blob, 0x0409);
    blob.insert(blob.end(), kText, kText + sizeof kText);
    return blob;
}

// One bulk IN transfer: a host frame as the adapter writes it.
using Packet = std::array<std::uint8_t, kFrameSize>;

Packet MakeFrame(std::uint32_t echo_id, std::uint32_t can_id, std::uint8_t length,
                 const std::uint8_t* data) {
    wire::gs_usb::HostFrame frame;
    frame.echo_id = echo_id;
    frame.can_id = can_id;
    frame.dlc = length;
    std::memcpy(frame.data.data(), data, frame.data.size());
    Packet packet{};
    wire::gs_usb::EncodeFrame(frame, packet.data());
    return packet;
}

void Interrupted(int) {}

}  // namespace

struct GsUsbGadget::Impl {
    std::string dir;
    GsUsbFaults faults;
    std::ostream* log = nullptr;

    int ep0 = -1, ep_in = -1, ep_out = -1;
    int from_reader[2] = {-1, -1};  // OUT reader -> main thread, one frame per write
    int wake[2] = {-1, -1};         // Pull and Stop -> main thread
    BusClient bus;
    std::thread main_thread, reader, writer;
    std::atomic<bool> stopping{false}, pull_asked{false}, ending{false};
    std::atomic<bool> reader_done{false}, writer_done{false};

    std::mutex queue_mutex;
    std::condition_variable queue_ready;
    std::deque<Packet> queue;  // for the host, oldest first
    std::atomic<bool> in_write{false};

    // The main thread's.
    bool started = false, bus_off = false, pulled = false;
    std::uint64_t host_frames = 0;
    std::chrono::steady_clock::time_point restart_at{};
    bool restart_due = false;

    void Note(const std::string& text) {
        if (log != nullptr) {
            *log << ("canbus-host: gs_usb " + dir + ": " + text + "\n");
        }
    }

    void ToHost(const Packet& frame) {
        {
            const std::lock_guard lock(queue_mutex);
            if (queue.size() >= kMaxQueued) {
                return;  // the host reads nothing: as the adapter's buffer, full
            }
            queue.push_back(frame);
        }
        queue_ready.notify_one();
    }

    // Throws away what waits for the host, including a write it is blocked in.
    void DropToHost() {
        {
            const std::lock_guard lock(queue_mutex);
            queue.clear();
        }
        for (int tries = 0; tries < 20 && in_write.load(); ++tries) {
            ::pthread_kill(writer.native_handle(), SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void ErrorFrame(std::uint32_t bits, const std::array<std::uint8_t, 8>& data) {
        ToHost(MakeFrame(kReceivedEchoId, wire::kCanIdError | bits, 8, data.data()));
    }

    void WriterLoop() {
        while (!stopping.load()) {
            Packet frame;
            {
                std::unique_lock lock(queue_mutex);
                queue_ready.wait(lock, [&] { return stopping.load() || !queue.empty(); });
                if (stopping.load()) {
                    break;
                }
                frame = queue.front();
                queue.pop_front();
                in_write = true;
            }
            const ssize_t n = ::write(ep_in, frame.data(), frame.size());
            in_write = false;
            if (n < 0 && errno != EINTR) {
                // Not enabled (unbound, or not yet configured): wait for the host to come back.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        writer_done = true;
    }

    void ReaderLoop() {
        std::array<std::uint8_t, 512> buffer{};
        while (!stopping.load()) {
            const ssize_t n = ::read(ep_out, buffer.data(), buffer.size());
            if (n >= static_cast<ssize_t>(kFrameSize)) {
                if (::write(from_reader[1], buffer.data(), kFrameSize) < 0) {
                    break;
                }
            } else if (n < 0 && errno != EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        reader_done = true;
    }

    // A frame the host sent on bulk OUT.
    void FromHost(const std::uint8_t* bytes) {
        if (!started || bus_off) {
            return;  // not on the bus: the host's frame is lost, and not echoed
        }
        wire::gs_usb::HostFrame sent;
        wire::gs_usb::DecodeFrame(bytes, kFrameSize, &sent);
        Frame frame;
        frame.extended = (sent.can_id & wire::kCanIdExtended) != 0;
        frame.id = sent.can_id & wire::CanIdMask(frame.extended);
        frame.length = std::min<std::uint8_t>(sent.dlc, 8);
        frame.data = sent.data;
        if ((sent.can_id & (wire::kCanIdRemote | wire::kCanIdError)) == 0) {
            bus.Send(frame);  // the bus carries data frames only
        }
        if (!faults.no_echo) {
            Packet echo;
            std::memcpy(echo.data(), bytes, kFrameSize);
            ToHost(echo);
        }
        ++host_frames;
        if (host_frames == faults.passive_after) {
            Note("error-passive after " + std::to_string(host_frames) + " frames");
            ErrorFrame(wire::kCanErrController, {0, wire::kCanCtrlTxPassive, 0, 0, 0, 0, 128, 0});
        }
        if (host_frames == faults.bus_off_after) {
            Note("bus-off after " + std::to_string(host_frames) + " frames");
            ErrorFrame(wire::kCanErrBusOff, {});
            bus_off = true;
            if (faults.bus_off_restarts) {
                restart_due = true;
                restart_at =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(kRestartDelayMs);
            }
        }
        if (host_frames == faults.pull_after) {
            Note("pulled out after " + std::to_string(host_frames) + " frames");
            pull_asked = true;
        }
    }

    void FromBus(const Frame& frame) {
        if (!started || bus_off) {
            return;
        }
        ToHost(MakeFrame(kReceivedEchoId, frame.id | (frame.extended ? wire::kCanIdExtended : 0),
                         frame.length, frame.data.data()));
    }

    void Stall(bool in) {
        // FunctionFS stalls the pending request on a transfer in the wrong direction.
        std::uint8_t byte = 0;
        if (in) {
            (void)!::read(ep0, &byte, 0);
        } else {
            (void)!::write(ep0, &byte, 0);
        }
    }

    void Setup(const usb_ctrlrequest& setup) {
        const bool in = (setup.bRequestType & 0x80) != 0;
        const unsigned length = setup.wLength;
        if ((setup.bRequestType & 0x60) != 0x40) {  // vendor requests only
            Stall(in);
            return;
        }
        if (in) {
            std::vector<std::uint8_t> reply;
            if (setup.bRequest == Request::kDeviceConfig) {
                reply = {0, 0, 0, 0};  // 3 reserved bytes, channels - 1
                PutLe32(reply, 2);     // software version
                PutLe32(reply, 1);     // hardware version
            } else if (setup.bRequest == Request::kBtConst) {
                for (const std::uint32_t value :
                     {0u, 48000000u, 1u, 16u, 1u, 8u, 4u, 1u, 1024u, 1u}) {
                    PutLe32(reply, value);
                }
            } else if (setup.bRequest == kTimestamp) {
                PutLe32(reply, 0);
            } else {
                Stall(true);
                return;
            }
            reply.resize(std::min<std::size_t>(reply.size(), length));
            (void)!::write(ep0, reply.data(), reply.size());
            return;
        }
        std::array<std::uint8_t, 64> data{};
        const ssize_t got = ::read(ep0, data.data(), std::min<std::size_t>(length, data.size()));
        if (got < 0) {
            return;
        }
        if (setup.bRequest == Request::kBitTiming && got >= 20) {
            Note("bit timing prop " + std::to_string(Le32(&data[0])) + " phase1 " +
                 std::to_string(Le32(&data[4])) + " phase2 " + std::to_string(Le32(&data[8])) +
                 " sjw " + std::to_string(Le32(&data[12])) + " brp " +
                 std::to_string(Le32(&data[16])));
        } else if (setup.bRequest == Request::kMode && got >= 8) {
            const bool start = Le32(&data[0]) == 1;
            Note(start ? "mode start" : "mode reset");
            if (!start) {
                DropToHost();
            }
            started = start;
            bus_off = false;
            restart_due = false;
        }
    }

    void Ep0Events() {
        std::array<usb_functionfs_event, 4> events{};
        const ssize_t n = ::read(ep0, events.data(), sizeof events);
        if (n < 0) {
            return;  // a cancelled request (EIDRM), or nothing yet
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
            switch (events[i].type) {
                case FUNCTIONFS_SETUP:
                    Setup(events[i].u.setup);
                    break;
                case FUNCTIONFS_ENABLE:
                    Note("enabled");
                    break;
                case FUNCTIONFS_DISABLE:
                case FUNCTIONFS_UNBIND:
                    Note(events[i].type == FUNCTIONFS_DISABLE ? "disabled" : "unbound");
                    started = false;
                    DropToHost();
                    break;
                default:
                    break;
            }
        }
    }

    // Ends the endpoint threads (a signal ends a blocked transfer) and closes every file.
    void CloseAll() {
        stopping = true;
        queue_ready.notify_all();
        for (int tries = 0; tries < 400 && !(reader_done && writer_done); ++tries) {
            if (!reader_done && reader.joinable()) {
                ::pthread_kill(reader.native_handle(), SIGUSR2);
            }
            if (!writer_done && writer.joinable()) {
                ::pthread_kill(writer.native_handle(), SIGUSR2);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (reader.joinable()) {
            reader.join();
        }
        if (writer.joinable()) {
            writer.join();
        }
        for (int* fd : {&ep_in, &ep_out, &ep0}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    void MainLoop() {
        std::vector<Frame> received;
        while (!ending.load()) {
            if (pull_asked.exchange(false) && !pulled) {
                pulled = true;
                CloseAll();
                Note("pulled out");
            }
            std::array<pollfd, 4> wait{};
            nfds_t count = 0;
            wait[count++] = {wake[0], POLLIN, 0};
            wait[count++] = {from_reader[0], POLLIN, 0};
            if (ep0 >= 0) {
                wait[count++] = {ep0, POLLIN, 0};
            }
            const intptr_t socket = bus.socket();
            if (socket >= 0) {
                wait[count++] = {static_cast<int>(socket), POLLIN, 0};
            }
            int timeout = -1;
            if (restart_due) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    restart_at - std::chrono::steady_clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            }
            ::poll(wait.data(), count, timeout);
            if ((wait[0].revents & POLLIN) != 0) {
                char byte;
                (void)!::read(wake[0], &byte, 1);
            }
            if ((wait[1].revents & POLLIN) != 0) {
                std::array<std::uint8_t, kFrameSize> frame{};
                if (::read(from_reader[0], frame.data(), frame.size()) ==
                    static_cast<ssize_t>(frame.size())) {
                    FromHost(frame.data());
                }
            }
            if (ep0 >= 0 && count > 2 && (wait[2].revents & (POLLIN | POLLOUT)) != 0) {
                Ep0Events();
            }
            if (socket >= 0) {
                received.clear();
                if (!bus.Receive(received, 0)) {
                    Note("the bus is gone");
                }
                for (const Frame& frame : received) {
                    FromBus(frame);
                }
            }
            if (restart_due && std::chrono::steady_clock::now() >= restart_at) {
                restart_due = false;
                bus_off = false;
                Note("restarted after bus-off");
                ErrorFrame(wire::kCanErrRestarted, {});
            }
        }
    }
};

GsUsbGadget::GsUsbGadget(std::string ffs_dir, GsUsbFaults faults, std::ostream* log)
    : impl_(std::make_unique<Impl>()) {
    impl_->dir = std::move(ffs_dir);
    impl_->faults = faults;
    impl_->log = log;
}

GsUsbGadget::~GsUsbGadget() {
    Stop();
}

bool GsUsbGadget::Start(std::uint16_t port, const std::string& bus, std::string* error) {
    Impl& d = *impl_;
    // No SA_RESTART: the signal ends a blocked endpoint transfer with EINTR.
    struct sigaction action {};
    action.sa_handler = Interrupted;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR2, &action, nullptr);
    if (!d.bus.Connect("127.0.0.1", port, bus, error)) {
        return false;
    }
    if (::pipe2(d.from_reader, O_CLOEXEC) != 0 || ::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    d.ep0 = ::open((d.dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (d.ep0 < 0) {
        *error = d.dir + "/ep0: " + std::strerror(errno);
        return false;
    }
    for (const std::vector<std::uint8_t>& blob : {Descriptors(), Strings()}) {
        if (::write(d.ep0, blob.data(), blob.size()) != static_cast<ssize_t>(blob.size())) {
            *error = d.dir + "/ep0: the descriptors were refused: " + std::strerror(errno);
            return false;
        }
    }
    d.ep_in = ::open((d.dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    d.ep_out = ::open((d.dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (d.ep_in < 0 || d.ep_out < 0) {
        *error = d.dir + "/ep1, ep2: " + std::strerror(errno);
        return false;
    }
    d.reader = std::thread([&d] { d.ReaderLoop(); });
    d.writer = std::thread([&d] { d.WriterLoop(); });
    d.main_thread = std::thread([&d] { d.MainLoop(); });
    return true;
}

void GsUsbGadget::Pull() {
    impl_->pull_asked = true;
    if (impl_->wake[1] >= 0) {
        (void)!::write(impl_->wake[1], "p", 1);
    }
}

void GsUsbGadget::Stop() {
    Impl& d = *impl_;
    d.ending = true;
    if (d.wake[1] >= 0) {
        (void)!::write(d.wake[1], "s", 1);
    }
    if (d.main_thread.joinable()) {
        d.main_thread.join();
    }
    d.CloseAll();
    d.bus.Close();
    for (int* fd : {&d.from_reader[0], &d.from_reader[1], &d.wake[0], &d.wake[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace vbus
