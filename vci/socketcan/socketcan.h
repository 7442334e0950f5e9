// SocketCAN access for the CAN library and sensor-sim: interface discovery, bit rate through
// rtnetlink, and a CAN_RAW socket with own-message echo and drop counter.
//
// Everything builds on every platform; off Linux the functions report no
// interfaces and fail with a reason.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vci::socketcan {

struct InterfaceInfo {
    std::string name;
    int index = 0;
};

// Every CAN network interface (ARPHRD_CAN: can0, vcan0, ...), sorted by name.
// Empty where the platform has none.
std::vector<InterfaceInfo> ListCanInterfaces();

// Bit rate through rtnetlink (IFLA_LINKINFO / IFLA_INFO_DATA /
// IFLA_CAN_BITTIMING); *bitrate is 0 when the interface has none (vcan).
// False with a reason in *error when the interface is unknown or the kernel
// does not answer.
bool ReadBitrate(const std::string& name, uint32_t* bitrate, std::string* error);

// Brings the link up or takes it down (needs CAP_NET_ADMIN). False with a reason, and the
// errno in *error_number (EPERM without the privilege).
bool SetLinkUp(const std::string& name, bool up, std::string* error, int* error_number);

// Restarts a controller that is bus-off (needs CAP_NET_ADMIN; the kernel allows it only when
// automatic restart is off). False with a reason and the errno, as SetLinkUp.
bool RestartController(const std::string& name, std::string* error, int* error_number);

// Sets the bit rate and leaves the link up. When the link already runs at that
// bit rate nothing is changed (and no privilege is needed). Otherwise needs
// CAP_NET_ADMIN: the link is taken down, the bit rate set, and the link brought
// up. False with a reason otherwise, e.g. for a virtual interface (vcan), which
// has no bit rate; a link that was up is brought back up after a failed change.
bool SetBitrate(const std::string& name, uint32_t bitrate, std::string* error);

// What rtnetlink tells about one link.
constexpr uint16_t kArphrdCan = 280;     // link type of every CAN interface
constexpr uint32_t kIffUp = 0x1;         // administratively up
constexpr uint32_t kCanStateBusOff = 3;  // CAN_STATE_BUS_OFF
struct LinkInfo {
    int index = 0;
    uint16_t type = 0;        // ARPHRD_* link type
    uint32_t flags = 0;       // IFF_* flags
    std::string kind;         // driver kind: "can" (hardware), "vcan", "vxcan"; empty if none
    uint32_t bitrate = 0;     // 0 when the link has no bit timing (vcan, or not yet configured)
    uint32_t can_state = 0;   // CAN_STATE_*: 0 error-active ... 3 bus-off; 0 when not told
    uint32_t restart_ms = 0;  // automatic restart after bus-off; 0: never
};
// The link's state; false with a reason when the name is unknown or the kernel
// does not answer.
bool ReadLink(const std::string& name, LinkInfo* info, std::string* error);

struct RawFrame {
    uint32_t id = 0;        // 11 or 29 bits, no flag bits
    bool extended = false;  // 29-bit identifier
    bool remote = false;    // remote transmission request
    bool error = false;     // error frame (id holds the CAN_ERR_* class bits)
    uint8_t length = 0;     // 0..8
    uint8_t data[8] = {};
    bool own = false;  // the echo of a frame this socket sent
};

// CAN_RAW socket bound to one interface, with reception of its own frames and
// of error frames on. Send and Receive may run at the same time in two
// threads; Open and Close must not overlap with anything else.
class RawSocket {
  public:
    RawSocket() = default;
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // Opens and binds; closes any socket already open first. False with a reason.
    bool Open(const std::string& name, std::string* error);
    void Close();
    int fd() const { return fd_; }  // -1 when closed

    // Queues one frame without waiting; false with a reason (e.g. transmit queue
    // full, link down, length above 8).
    bool Send(const RawFrame& frame, std::string* error);

    // Off: the kernel queues no frame for this socket (no data, error or own frames); on:
    // every frame again, as after Open. False with a reason.
    bool SetReceiving(bool on, std::string* error);

    // 1: a frame in *out; 0: time-out; -1: error (socket closed or failed).
    // Returns the moment a frame arrives. timeout_us < 0 waits for ever,
    // 0 only polls.
    int Receive(RawFrame* out, int64_t timeout_us);

    // Appends the frames waiting, at most max_frames, waiting at most timeout_us for the first
    // (0: does not wait; < 0: for ever): a wait and one read for up to 32 frames. A link that is
    // down is no failure: nothing arrives until it is up again (the kernel tells it once, as
    // ENETDOWN). False when the socket failed (why: last_errno()).
    bool ReceiveSome(std::vector<RawFrame>& out, std::size_t max_frames, int64_t timeout_us);

    // errno of the last failed Open, Send or Receive (0 if none), for callers that
    // map failures to codes: EAGAIN/ENOBUFS = transmit queue full, ENETDOWN = link
    // down, ENODEV/ENXIO = interface gone.
    int last_errno() const { return last_errno_.load(); }

    // Frames the kernel dropped on this socket's receive queue (SO_RXQ_OVFL), a running
    // total since Open. Each frame carries the total as it stood when the frame was queued,
    // so losses show with the first frame queued after them.
    uint32_t dropped() const { return dropped_.load(); }

  private:
    bool Fail(int error_number, std::string message, std::string* error);
    // The frames waiting now, at most max_frames, without waiting: how many, -1 on failure.
    int ReadWaiting(RawFrame* frames, unsigned max_frames);
    // 1 when readable (or interrupted), 0 at the time-out, -1 on failure.
    int WaitReadable(int64_t timeout_us);

    int fd_ = -1;
    std::string name_;
    std::atomic<uint32_t> dropped_{0};
    std::atomic<int> last_errno_{0};
};

// ---- Pure and testable: rtnetlink messages and their parsing ----

// RTM_GETLINK for one interface (NLM_F_REQUEST).
std::vector<uint8_t> BuildGetLinkRequest(int ifindex, uint32_t seq);
// RTM_NEWLINK with IFLA_LINKINFO { IFLA_INFO_KIND "can", IFLA_INFO_DATA {
// IFLA_CAN_BITTIMING { bitrate, rest 0 } } } (NLM_F_REQUEST | NLM_F_ACK).
std::vector<uint8_t> BuildSetBitrateRequest(int ifindex, uint32_t bitrate, uint32_t seq);
// RTM_NEWLINK with IFLA_LINKINFO { IFLA_INFO_KIND "can", IFLA_INFO_DATA {
// IFLA_CAN_RESTART 1 } } (NLM_F_REQUEST | NLM_F_ACK).
std::vector<uint8_t> BuildRestartRequest(int ifindex, uint32_t seq);
// RTM_NEWLINK changing IFF_UP only (NLM_F_REQUEST | NLM_F_ACK).
std::vector<uint8_t> BuildSetLinkUpRequest(int ifindex, bool up, uint32_t seq);
// Finds IFLA_CAN_BITTIMING in an RTM_NEWLINK reply. True when the reply is a
// well-formed RTM_NEWLINK; *bitrate is 0 if it carries no bit timing.
bool ParseBitrateReply(const uint8_t* data, size_t length, uint32_t* bitrate);
// The whole RTM_NEWLINK reply: index, type, flags, kind, bit rate, CAN state, restart.
bool ParseLinkReply(const uint8_t* data, size_t length, LinkInfo* info);
// Reads an NLMSG_ERROR message: *error_code is 0 for an acknowledgement, else
// a positive errno. False if data is not a well-formed NLMSG_ERROR message.
bool ParseNetlinkAck(const uint8_t* data, size_t length, int* error_code);

// ---- Frame conversions to and from the kernel's struct can_frame ----
// A struct can_frame is 16 bytes: can_id (u32, host order, with
// CAN_EFF_FLAG 0x80000000 / CAN_RTR_FLAG 0x40000000 / CAN_ERR_FLAG 0x20000000),
// len (u8), 3 bytes padding/reserved, data[8].
constexpr size_t kCanFrameSize = 16;
// Fills 16 bytes. Length is clamped to 8; the identifier is masked to 11 or 29 bits.
void ToCanFrame(const RawFrame& frame, uint8_t out[kCanFrameSize]);
// Reads 16 bytes; never copies more than 8 data bytes. own untouched.
void FromCanFrame(const uint8_t in[kCanFrameSize], RawFrame* frame);

}  // namespace vci::socketcan
