// A client of a virtual bus host (or of any socketcand server in raw mode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/deadline_timer.h"
#include "base/socket.h"
#include "virtual_bus/frame.h"
#include "wire/socketcand_protocol.h"

namespace vbus {

class BusClient {
  public:
    BusClient() = default;
    ~BusClient();  // closes the connection
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // Connects to host:port and performs the handshake (hi, open bus, rawmode), within
    // timeout_ms. An empty bus name opens the bus that the host serves ("sim<k>" on port
    // kFirstPort + k). False with a reason.
    static constexpr int kConnectTimeoutMs = 2000;
    bool Connect(const std::string& host, std::uint16_t port, const std::string& bus,
                 std::string* error, int timeout_ms = kConnectTimeoutMs);
    void Close();
    bool connected() const;

    // Sends one frame, and whatever Queue left unwritten before it. False when the connection is
    // lost (it is then closed). Waits while the host has not taken all the bytes, however slowly
    // it takes them; only a host that takes no byte at all for a whole stall period (kSendStallMs
    // unless set otherwise) counts as lost.
    bool Send(const Frame& frame);
    static constexpr int kSendStallMs = 2000;
    void set_send_stall_ms(int milliseconds) { send_stall_ms_ = milliseconds; }

    // For callers with a transmit queue of their own (the CAN library): Queue appends the frame
    // to the output and writes what the socket takes without waiting; Flush waits at most
    // timeout_us for the rest to be written. Both are false only when the connection is lost.
    bool Queue(const Frame& frame);
    bool Flush(std::int64_t timeout_us);
    // Frames queued but not yet completely handed to the socket.
    std::size_t pending_frames() const;

    // Asks the host for a mark: a reply ("< ok >" to a repeated "< rawmode >") that it queues
    // behind every frame it has queued for us so far. Receive stops at the mark, leaving what
    // follows it for the next call, and counts it in marks(). False when the connection is lost.
    bool RequestMark();
    std::uint64_t marks() const { return marks_; }

    // Appends the frames that have arrived, waiting at most timeout_us for the first one and
    // returning the moment one arrives (0: do not wait). False when the connection is lost or
    // closed (frames received before that are still appended).
    bool Receive(std::vector<Frame>& out, std::int64_t timeout_us);

    // The socket, for callers that wait on several things at once (poll). -1 when closed.
    std::intptr_t socket() const {
        return socket_.valid() ? static_cast<std::intptr_t>(socket_.get()) : -1;
    }

    // Elements from the host that were not frames or could not be parsed (ignored).
    std::uint64_t ignored_elements() const { return ignored_elements_; }

  private:
    bool ReadAvailable();   // false when the connection is lost
    bool WriteAvailable();  // false when the connection is lost
    bool WaitSocket(std::int64_t timeout_us, bool read, bool write);
    // Waits for the socket to become readable (or writable, with `write`) until the deadline
    // (steady clock, microseconds) without arming a kernel timer per wait (base::DeadlineTimer).
    // True when the socket is ready, false at the deadline.
    bool WaitUntil(std::int64_t deadline_us, bool write);
    bool NextElement(wire::socketcand::Element* element, std::int64_t deadline_us,
                     std::string* error);
    bool Handshake(const std::string& bus, std::int64_t deadline_us, std::string* error);

    // Complete elements received but not yet handled, oldest first. Handled strings are kept and
    // reused, so that a client that keeps receiving stops allocating.
    class ElementQueue {
      public:
        bool empty() const { return begin_ == end_; }
        const std::string& front() const { return items_[begin_]; }
        void pop_front();
        void push_back(std::string_view text);
        void clear() { begin_ = end_ = 0; }

      private:
        std::vector<std::string> items_;
        std::size_t begin_ = 0;
        std::size_t end_ = 0;
    };

    base::net::Socket socket_;
    wire::socketcand::ElementSplitter splitter_;
    ElementQueue elements_;
    std::string out_;  // bytes not yet written
    std::size_t out_sent_ = 0;
    std::uint64_t ignored_elements_ = 0;
    int send_stall_ms_ = kSendStallMs;
    std::uint64_t marks_ = 0;
    std::vector<base::net::PollEntry>
        poll_;  // kept between waits, so that waiting does not allocate
    base::DeadlineTimer timer_;
};

// True when a bus host on 127.0.0.1:port serves the bus that a client there opens by default
// ("sim<k>"): it greets, and accepts the bus and raw mode, within timeout_ms. A server that
// greets but serves other buses (a socketcand daemon in front of kernel interfaces) is none.
bool ProbeHost(std::uint16_t port, int timeout_ms);

}  // namespace vbus
