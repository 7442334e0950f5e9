#include "vci/socketcan/socketcan.h"
#include "wire/can_id.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#ifdef __linux__
// glibc's <net/if.h> must come before the kernel's <linux/if.h>.
#include <net/if.h>

#include <errno.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>
#endif

namespace vci::socketcan {
namespace {

// The rtnetlink and CAN wire values are kernel ABI. They are spelled out here so that the
// message builders and the frame conversions work (and are tested) on every platform; on Linux
// they are checked against the kernel's headers below.
constexpr size_t kNlmsgHeaderSize = 16;     // struct nlmsghdr
constexpr size_t kIfinfoSize = 16;          // struct ifinfomsg
constexpr size_t kAttrHeaderSize = 4;       // struct rtattr
constexpr size_t kBittimingSize = 32;       // struct can_bittiming: eight u32, bitrate first
constexpr uint16_t kNlmsgError = 2;         // NLMSG_ERROR
constexpr uint16_t kNlmsgDone = 3;          // NLMSG_DONE
constexpr uint16_t kRtmNewLink = 16;        // RTM_NEWLINK
constexpr uint16_t kRtmGetLink = 18;        // RTM_GETLINK
constexpr uint16_t kNlmFRequest = 0x1;      // NLM_F_REQUEST
constexpr uint16_t kNlmFAck = 0x4;          // NLM_F_ACK
constexpr uint16_t kIflaLinkinfo = 18;      // IFLA_LINKINFO
constexpr uint16_t kIflaInfoKind = 1;       // IFLA_INFO_KIND
constexpr uint16_t kIflaInfoData = 2;       // IFLA_INFO_DATA
constexpr uint16_t kIflaCanBittiming = 1;   // IFLA_CAN_BITTIMING
constexpr uint16_t kIflaCanState = 4;       // IFLA_CAN_STATE
constexpr uint16_t kIflaCanRestartMs = 6;   // IFLA_CAN_RESTART_MS
constexpr uint16_t kIflaCanRestart = 7;     // IFLA_CAN_RESTART
constexpr uint16_t kAttrTypeMask = 0x3FFF;  // attribute type without NLA_F_NESTED / BYTEORDER

// The kernel's can_id layout is the one of wire/can_id.h (checked against its headers below).
constexpr uint32_t kCanEffFlag = wire::kCanIdExtended;
constexpr uint32_t kCanRtrFlag = wire::kCanIdRemote;
constexpr uint32_t kCanErrFlag = wire::kCanIdError;
constexpr uint32_t kCanSffMask = wire::kCanStandardMask;
constexpr uint32_t kCanEffMask = wire::kCanExtendedMask;
constexpr uint32_t kCanErrMask = wire::kCanErrorMask;
constexpr size_t kCanFrameDataOffset = 8;
constexpr uint8_t kMaxLength = 8;

constexpr size_t Align4(size_t n) {
    return (n + 3) & ~size_t{3};
}

uint16_t Get16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Builds one netlink message in host byte order: header, ifinfomsg, attributes.
class NetlinkWriter {
  public:
    NetlinkWriter(uint16_t type, uint16_t flags, uint32_t seq, int ifindex, uint32_t ifi_flags,
                  uint32_t ifi_change) {
        Put32(0);  // length, patched by Finish()
        Put16(type);
        Put16(flags);
        Put32(seq);
        Put32(0);             // port id: the kernel fills in ours
        bytes_.push_back(0);  // ifi_family AF_UNSPEC
        bytes_.push_back(0);  // padding
        Put16(0);             // ifi_type
        Put32(static_cast<uint32_t>(ifindex));
        Put32(ifi_flags);
        Put32(ifi_change);
    }

    // Opens a nested attribute; returns its offset for EndNest().
    size_t BeginNest(uint16_t type) {
        size_t at = bytes_.size();
        Put16(0);
        Put16(type);
        return at;
    }

    void EndNest(size_t at) { Patch16(at, static_cast<uint16_t>(bytes_.size() - at)); }

    void Attr(uint16_t type, const void* payload, size_t size) {
        Put16(static_cast<uint16_t>(kAttrHeaderSize + size));
        Put16(type);
        const auto* p = static_cast<const uint8_t*>(payload);
        bytes_.insert(bytes_.end(), p, p + size);
        bytes_.resize(Align4(bytes_.size()), 0);
    }

    std::vector<uint8_t> Finish() && {
        uint32_t length = static_cast<uint32_t>(bytes_.size());
        std::memcpy(bytes_.data(), &length, sizeof length);
        return std::move(bytes_);
    }

  private:
    void Put16(uint16_t v) { Put(&v, sizeof v); }
    void Put32(uint32_t v) { Put(&v, sizeof v); }
    // (resize and copy: GCC 12's optimiser warns wrongly about a range insert here)
    void Put(const void* v, size_t size) {
        const size_t at = bytes_.size();
        bytes_.resize(at + size);
        std::memcpy(bytes_.data() + at, v, size);
    }
    void Patch16(size_t at, uint16_t v) { std::memcpy(bytes_.data() + at, &v, sizeof v); }

    std::vector<uint8_t> bytes_;
};

// The payload of the first attribute of `type` among `attrs`; nothing when it is absent or
// the attributes are malformed before it.
std::span<const uint8_t> FindAttr(std::span<const uint8_t> attrs, uint16_t type, bool* found) {
    *found = false;
    while (attrs.size() >= kAttrHeaderSize) {
        size_t length = Get16(attrs.data());
        uint16_t attr_type = Get16(attrs.data() + 2) & kAttrTypeMask;
        if (length < kAttrHeaderSize || length > attrs.size()) {
            return {};
        }
        if (attr_type == type) {
            *found = true;
            return attrs.subspan(kAttrHeaderSize, length - kAttrHeaderSize);
        }
        size_t step = Align4(length);
        if (step >= attrs.size()) {
            return {};
        }
        attrs = attrs.subspan(step);
    }
    return {};
}

// The first netlink message in a buffer, checked for a sane length.
bool FirstMessage(const uint8_t* data, size_t length, uint16_t* type,
                  std::span<const uint8_t>* payload) {
    if (data == nullptr || length < kNlmsgHeaderSize) {
        return false;
    }
    uint32_t message_length = Get32(data);
    if (message_length < kNlmsgHeaderSize || message_length > length) {
        return false;
    }
    *type = Get16(data + 4);
    *payload = std::span<const uint8_t>(data + kNlmsgHeaderSize, message_length - kNlmsgHeaderSize);
    return true;
}

}  // namespace

// ---- rtnetlink messages ----

std::vector<uint8_t> BuildGetLinkRequest(int ifindex, uint32_t seq) {
    return NetlinkWriter(kRtmGetLink, kNlmFRequest, seq, ifindex, 0, 0).Finish();
}

std::vector<uint8_t> BuildSetBitrateRequest(int ifindex, uint32_t bitrate, uint32_t seq) {
    NetlinkWriter writer(kRtmNewLink, kNlmFRequest | kNlmFAck, seq, ifindex, 0, 0);
    size_t linkinfo = writer.BeginNest(kIflaLinkinfo);
    static constexpr char kKind[] = "can";
    writer.Attr(kIflaInfoKind, kKind, sizeof kKind);
    size_t info_data = writer.BeginNest(kIflaInfoData);
    // Only the bit rate; the kernel works out the segments and the prescaler.
    uint8_t bittiming[kBittimingSize] = {};
    std::memcpy(bittiming, &bitrate, sizeof bitrate);
    writer.Attr(kIflaCanBittiming, bittiming, sizeof bittiming);
    writer.EndNest(info_data);
    writer.EndNest(linkinfo);
    return std::move(writer).Finish();
}

std::vector<uint8_t> BuildRestartRequest(int ifindex, uint32_t seq) {
    NetlinkWriter writer(kRtmNewLink, kNlmFRequest | kNlmFAck, seq, ifindex, 0, 0);
    size_t linkinfo = writer.BeginNest(kIflaLinkinfo);
    static constexpr char kKind[] = "can";
    writer.Attr(kIflaInfoKind, kKind, sizeof kKind);
    size_t info_data = writer.BeginNest(kIflaInfoData);
    const uint32_t restart = 1;
    writer.Attr(kIflaCanRestart, &restart, sizeof restart);
    writer.EndNest(info_data);
    writer.EndNest(linkinfo);
    return std::move(writer).Finish();
}

std::vector<uint8_t> BuildSetLinkUpRequest(int ifindex, bool up, uint32_t seq) {
    return NetlinkWriter(kRtmNewLink, kNlmFRequest | kNlmFAck, seq, ifindex, up ? kIffUp : 0,
                         kIffUp)
        .Finish();
}

bool ParseLinkReply(const uint8_t* data, size_t length, LinkInfo* info) {
    uint16_t type = 0;
    std::span<const uint8_t> payload;
    if (!FirstMessage(data, length, &type, &payload) || type != kRtmNewLink ||
        payload.size() < kIfinfoSize) {
        return false;
    }
    LinkInfo result;
    result.type = Get16(payload.data() + 2);
    result.index = static_cast<int>(Get32(payload.data() + 4));
    result.flags = Get32(payload.data() + 8);

    bool found = false;
    auto linkinfo = FindAttr(payload.subspan(kIfinfoSize), kIflaLinkinfo, &found);
    if (found) {
        auto kind = FindAttr(linkinfo, kIflaInfoKind, &found);
        if (found) {
            const char* text = reinterpret_cast<const char*>(kind.data());
            result.kind.assign(text, std::find(text, text + kind.size(), '\0'));
        }
        auto info_data = FindAttr(linkinfo, kIflaInfoData, &found);
        if (found) {
            auto bittiming = FindAttr(info_data, kIflaCanBittiming, &found);
            if (found && bittiming.size() >= sizeof(uint32_t)) {
                result.bitrate = Get32(bittiming.data());
            }
            auto state = FindAttr(info_data, kIflaCanState, &found);
            if (found && state.size() >= sizeof(uint32_t)) {
                result.can_state = Get32(state.data());
            }
            auto restart_ms = FindAttr(info_data, kIflaCanRestartMs, &found);
            if (found && restart_ms.size() >= sizeof(uint32_t)) {
                result.restart_ms = Get32(restart_ms.data());
            }
        }
    }
    *info = std::move(result);
    return true;
}

bool ParseBitrateReply(const uint8_t* data, size_t length, uint32_t* bitrate) {
    LinkInfo info;
    if (!ParseLinkReply(data, length, &info)) {
        return false;
    }
    *bitrate = info.bitrate;
    return true;
}

bool ParseNetlinkAck(const uint8_t* data, size_t length, int* error_code) {
    uint16_t type = 0;
    std::span<const uint8_t> payload;
    if (!FirstMessage(data, length, &type, &payload) || type != kNlmsgError ||
        payload.size() < sizeof(int32_t)) {
        return false;
    }
    int32_t code;
    std::memcpy(&code, payload.data(), sizeof code);
    *error_code = -code;
    return true;
}

// ---- frame conversions ----

void ToCanFrame(const RawFrame& frame, uint8_t out[kCanFrameSize]) {
    uint32_t id;
    if (frame.error) {
        id = kCanErrFlag | (frame.id & kCanErrMask);
    } else if (frame.extended) {
        id = kCanEffFlag | (frame.id & kCanEffMask);
    } else {
        id = frame.id & kCanSffMask;
    }
    if (frame.remote && !frame.error) {
        id |= kCanRtrFlag;
    }
    uint8_t length = std::min(frame.length, kMaxLength);
    std::memset(out, 0, kCanFrameSize);
    std::memcpy(out, &id, sizeof id);
    out[4] = length;
    if (!frame.remote) {
        std::memcpy(out + kCanFrameDataOffset, frame.data, length);
    }
}

void FromCanFrame(const uint8_t in[kCanFrameSize], RawFrame* frame) {
    uint32_t id = Get32(in);
    frame->error = (id & kCanErrFlag) != 0;
    frame->extended = !frame->error && (id & kCanEffFlag) != 0;
    frame->remote = !frame->error && (id & kCanRtrFlag) != 0;
    if (frame->error) {
        frame->id = id & kCanErrMask;
    } else if (frame->extended) {
        frame->id = id & kCanEffMask;
    } else {
        frame->id = id & kCanSffMask;
    }
    frame->length = std::min(in[4], kMaxLength);
    std::memset(frame->data, 0, sizeof frame->data);
    std::memcpy(frame->data, in + kCanFrameDataOffset, frame->length);
}

// ---- the kernel side ----

RawSocket::~RawSocket() {
    Close();
}

bool RawSocket::Fail(int error_number, std::string message, std::string* error) {
    last_errno_ = error_number;
    if (error != nullptr) {
        *error = std::move(message);
    }
    return false;
}

#ifdef __linux__

static_assert(kNlmsgHeaderSize == sizeof(struct nlmsghdr));
static_assert(kIfinfoSize == sizeof(struct ifinfomsg));
static_assert(kAttrHeaderSize == sizeof(struct rtattr));
static_assert(kBittimingSize == sizeof(struct can_bittiming));
static_assert(offsetof(struct can_bittiming, bitrate) == 0);
static_assert(kNlmsgError == NLMSG_ERROR && kNlmsgDone == NLMSG_DONE);
static_assert(kRtmNewLink == RTM_NEWLINK && kRtmGetLink == RTM_GETLINK);
static_assert(kNlmFRequest == NLM_F_REQUEST && kNlmFAck == NLM_F_ACK);
static_assert(kIflaLinkinfo == IFLA_LINKINFO && kIflaInfoKind == IFLA_INFO_KIND &&
              kIflaInfoData == IFLA_INFO_DATA && kIflaCanBittiming == IFLA_CAN_BITTIMING);
static_assert(kIflaCanState == IFLA_CAN_STATE && kIflaCanRestartMs == IFLA_CAN_RESTART_MS &&
              kIflaCanRestart == IFLA_CAN_RESTART && kCanStateBusOff == CAN_STATE_BUS_OFF);
static_assert(kAttrTypeMask == static_cast<uint16_t>(NLA_TYPE_MASK));
static_assert(kArphrdCan == ARPHRD_CAN && kIffUp == IFF_UP);
static_assert(kCanEffFlag == CAN_EFF_FLAG && kCanRtrFlag == CAN_RTR_FLAG &&
              kCanErrFlag == CAN_ERR_FLAG);
static_assert(kCanSffMask == CAN_SFF_MASK && kCanEffMask == CAN_EFF_MASK &&
              kCanErrMask == CAN_ERR_MASK);
static_assert(kCanFrameSize == sizeof(struct can_frame) && kCanFrameSize == CAN_MTU);
static_assert(kCanFrameDataOffset == offsetof(struct can_frame, data));
static_assert(offsetof(struct can_frame, len) == 4);

namespace {

std::string ErrnoText(int error_number) {
    return std::system_category().message(error_number);
}

// Closes the descriptor on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

bool SetError(std::string* error, std::string message) {
    if (error != nullptr) {
        *error = std::move(message);
    }
    return false;
}

uint32_t NextSeq() {
    static std::atomic<uint32_t> seq{static_cast<uint32_t>(::time(nullptr))};
    return ++seq;
}

// The interface index, or 0 with a reason.
int InterfaceIndex(const std::string& name, std::string* error) {
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('/') != std::string::npos) {
        SetError(error, "'" + name + "' is not a valid network interface name");
        return 0;
    }
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        SetError(error, "no network interface named '" + name + "'");
        return 0;
    }
    return static_cast<int>(index);
}

// Sends one rtnetlink request and returns the kernel's message that answers it (the one with
// the request's sequence number).
bool NetlinkTransact(const std::vector<uint8_t>& request, std::vector<uint8_t>* reply,
                     std::string* error) {
    FileDescriptor sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (sock.get() < 0) {
        return SetError(error, "cannot open an rtnetlink socket: " + ErrnoText(errno));
    }
    // The kernel answers at once; the time-out only guards against a hang.
    timeval wait{2, 0};
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(sock.get(), request.data(), request.size(), 0,
                        reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        return SetError(error, "cannot send an rtnetlink request: " + ErrnoText(errno));
    }

    const uint32_t seq = Get32(request.data() + 8);
    std::vector<uint8_t> buffer(32768);
    for (;;) {
        sockaddr_nl from{};
        socklen_t from_length = sizeof from;
        ssize_t received = ::recvfrom(sock.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                      reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return SetError(error, "the kernel did not answer an rtnetlink request");
            }
            return SetError(error, "cannot read an rtnetlink reply: " + ErrnoText(errno));
        }
        if (static_cast<size_t>(received) > buffer.size()) {
            return SetError(error, "an rtnetlink reply was larger than expected");
        }
        if (from.nl_pid != 0) {
            continue;  // not from the kernel
        }
        size_t offset = 0;
        size_t end = static_cast<size_t>(received);
        while (end - offset >= kNlmsgHeaderSize) {
            uint32_t length = Get32(buffer.data() + offset);
            if (length < kNlmsgHeaderSize || length > end - offset) {
                break;
            }
            if (Get32(buffer.data() + offset + 8) == seq) {
                reply->assign(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                              buffer.begin() + static_cast<std::ptrdiff_t>(offset + length));
                return true;
            }
            offset += Align4(length);
            if (offset > end) {
                break;
            }
        }
    }
}

// Sends a request that the kernel acknowledges; false with "<what>: <reason>".
bool NetlinkRequest(const std::vector<uint8_t>& request, const std::string& what,
                    std::string* error, int* error_number) {
    *error_number = 0;
    std::vector<uint8_t> reply;
    std::string reason;
    if (!NetlinkTransact(request, &reply, &reason)) {
        *error_number = EIO;
        return SetError(error, what + ": " + reason);
    }
    int code = 0;
    if (!ParseNetlinkAck(reply.data(), reply.size(), &code)) {
        *error_number = EIO;
        return SetError(error, what + ": unexpected rtnetlink reply");
    }
    if (code != 0) {
        *error_number = code;
        std::string text = what + ": " + ErrnoText(code);
        if (code == EPERM || code == EACCES) {
            text += " (changing a CAN interface needs CAP_NET_ADMIN)";
        }
        return SetError(error, text);
    }
    return true;
}

bool ReadSmallFile(const std::filesystem::path& path, long* value) {
    std::ifstream in(path);
    return static_cast<bool>(in >> *value);
}

}  // namespace

std::vector<InterfaceInfo> ListCanInterfaces() {
    namespace fs = std::filesystem;
    std::vector<InterfaceInfo> result;
    std::error_code ec;
    fs::directory_iterator it("/sys/class/net", ec);
    if (ec) {
        return result;
    }
    for (const fs::directory_entry& entry : it) {
        long type = 0;
        if (!ReadSmallFile(entry.path() / "type", &type) || type != ARPHRD_CAN) {
            continue;
        }
        std::string name = entry.path().filename().string();
        long index = 0;
        if (!ReadSmallFile(entry.path() / "ifindex", &index) || index <= 0) {
            index = static_cast<long>(::if_nametoindex(name.c_str()));
        }
        if (index > 0) {
            result.push_back({std::move(name), static_cast<int>(index)});
        }
    }
    std::sort(result.begin(), result.end(),
              [](const InterfaceInfo& a, const InterfaceInfo& b) { return a.name < b.name; });
    return result;
}

bool ReadLink(const std::string& name, LinkInfo* info, std::string* error) {
    int index = InterfaceIndex(name, error);
    if (index == 0) {
        return false;
    }
    std::vector<uint8_t> reply;
    std::string reason;
    if (!NetlinkTransact(BuildGetLinkRequest(index, NextSeq()), &reply, &reason)) {
        return SetError(error, "reading the state of " + name + ": " + reason);
    }
    int code = 0;
    if (ParseNetlinkAck(reply.data(), reply.size(), &code)) {
        return SetError(error,
                        "reading the state of " + name + ": " + ErrnoText(code == 0 ? EIO : code));
    }
    if (!ParseLinkReply(reply.data(), reply.size(), info)) {
        return SetError(error, "reading the state of " + name + ": unexpected rtnetlink reply");
    }
    return true;
}

bool ReadBitrate(const std::string& name, uint32_t* bitrate, std::string* error) {
    LinkInfo info;
    if (!ReadLink(name, &info, error)) {
        return false;
    }
    if (info.type != kArphrdCan) {
        return SetError(error, name + " is not a CAN interface");
    }
    *bitrate = info.bitrate;
    return true;
}

bool SetLinkUp(const std::string& name, bool up, std::string* error, int* error_number) {
    *error_number = ENODEV;
    int index = InterfaceIndex(name, error);
    return index != 0 &&
           NetlinkRequest(BuildSetLinkUpRequest(index, up, NextSeq()),
                          (up ? "bringing " : "taking ") + name + (up ? " up" : " down"), error,
                          error_number);
}

bool RestartController(const std::string& name, std::string* error, int* error_number) {
    *error_number = ENODEV;
    int index = InterfaceIndex(name, error);
    return index != 0 &&
           NetlinkRequest(BuildRestartRequest(index, NextSeq()),
                          "restarting the controller of " + name, error, error_number);
}

bool SetBitrate(const std::string& name, uint32_t bitrate, std::string* error) {
    if (bitrate == 0) {
        return SetError(error, "a bit rate of 0 is not possible");
    }
    LinkInfo info;
    if (!ReadLink(name, &info, error)) {
        return false;
    }
    if (info.type != kArphrdCan) {
        return SetError(error, name + " is not a CAN interface");
    }
    const bool was_up = (info.flags & kIffUp) != 0;
    int code = 0;
    if (info.bitrate == bitrate) {
        return was_up || NetlinkRequest(BuildSetLinkUpRequest(info.index, true, NextSeq()),
                                        "bringing " + name + " up", error, &code);
    }
    if (info.kind != "can") {
        return SetError(error, name + " is a virtual CAN interface (" +
                                   (info.kind.empty() ? std::string("unknown kind") : info.kind) +
                                   ") and has no bit rate to set");
    }
    const std::string rate = std::to_string(bitrate) + " bit/s";
    if (was_up && !NetlinkRequest(BuildSetLinkUpRequest(info.index, false, NextSeq()),
                                  "taking " + name + " down to set " + rate, error, &code)) {
        return false;
    }
    if (!NetlinkRequest(BuildSetBitrateRequest(info.index, bitrate, NextSeq()),
                        "setting the bit rate of " + name + " to " + rate, error, &code)) {
        if (was_up) {
            int ignored = 0;
            NetlinkRequest(BuildSetLinkUpRequest(info.index, true, NextSeq()), "", nullptr,
                           &ignored);
        }
        return false;
    }
    if (!NetlinkRequest(BuildSetLinkUpRequest(info.index, true, NextSeq()),
                        "bringing " + name + " up", error, &code)) {
        return false;
    }
    // The controller's clock may not reach the rate exactly; the kernel keeps the rate it set.
    uint32_t actual = 0;
    if (!ReadBitrate(name, &actual, error)) {
        return false;
    }
    if (actual != bitrate) {
        return SetError(error, name + " runs at " + std::to_string(actual) + " bit/s, not " + rate);
    }
    return true;
}

bool RawSocket::Open(const std::string& name, std::string* error) {
    Close();
    last_errno_ = 0;
    dropped_ = 0;
    int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (fd < 0) {
        int e = errno;
        if (e == EAFNOSUPPORT || e == EPROTONOSUPPORT) {
            return Fail(
                e,
                "this system's kernel has no CAN support (no CAN_RAW socket: " + ErrnoText(e) + ")",
                error);
        }
        return Fail(e, "cannot open a CAN_RAW socket: " + ErrnoText(e), error);
    }
    FileDescriptor guard(fd);

    std::string reason;
    int index = InterfaceIndex(name, &reason);
    if (index == 0) {
        return Fail(ENODEV, reason, error);
    }
    const int on = 1;
    const can_err_mask_t all_errors = CAN_ERR_MASK;
    struct Option {
        int level, name;
        const void* value;
        socklen_t size;
        const char* what;
    };
    const Option options[] = {
        {SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on, "own-message reception"},
        {SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all_errors, sizeof all_errors, "error frames"},
        {SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on, "the drop counter"},
    };
    for (const Option& option : options) {
        if (::setsockopt(fd, option.level, option.name, option.value, option.size) != 0) {
            int e = errno;
            return Fail(
                e,
                std::string("cannot turn on ") + option.what + " on " + name + ": " + ErrnoText(e),
                error);
        }
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = index;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int e = errno;
        if (e == ENODEV) {
            return Fail(e, name + " is not a CAN interface", error);
        }
        return Fail(e, "cannot bind a CAN_RAW socket to " + name + ": " + ErrnoText(e), error);
    }
    fd_ = guard.release();
    name_ = name;
    return true;
}

void RawSocket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool RawSocket::Send(const RawFrame& frame, std::string* error) {
    if (fd_ < 0) {
        return Fail(EBADF, "the CAN socket is not open", error);
    }
    if (frame.length > kMaxLength) {
        return Fail(EINVAL,
                    "a CAN frame holds at most 8 data bytes, not " + std::to_string(frame.length),
                    error);
    }
    uint8_t bytes[kCanFrameSize];
    ToCanFrame(frame, bytes);
    ssize_t sent;
    do {
        sent = ::send(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(sizeof bytes)) {
        return true;
    }
    if (sent >= 0) {
        return Fail(EIO, "a CAN frame was sent only in part on " + name_, error);
    }
    int e = errno;
    switch (e) {
        case EAGAIN:
        case ENOBUFS:
            return Fail(e, "the transmit queue of " + name_ + " is full", error);
        case ENETDOWN:
            return Fail(e, name_ + " is down", error);
        default:
            return Fail(e, "cannot send on " + name_ + ": " + ErrnoText(e), error);
    }
}

bool RawSocket::SetReceiving(bool on, std::string* error) {
    if (fd_ < 0) {
        return Fail(EBADF, "the CAN socket is not open", error);
    }
    // One filter that matches every identifier, or none at all.
    const can_filter all{0, 0};
    const can_err_mask_t errors = on ? CAN_ERR_MASK : 0;
    if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FILTER, on ? &all : nullptr, on ? sizeof all : 0) !=
            0 ||
        ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0) {
        const int e = errno;
        return Fail(e, "cannot set the receive filter on " + name_ + ": " + ErrnoText(e), error);
    }
    return true;
}

int RawSocket::ReadWaiting(RawFrame* frames, unsigned max_frames) {
    // One system call takes whatever is waiting, up to kBatch frames.
    constexpr unsigned kBatch = 32;
    uint8_t bytes[kBatch][kCanFrameSize];
    alignas(cmsghdr) uint8_t control[kBatch][CMSG_SPACE(sizeof(uint32_t)) + 16];
    iovec io[kBatch];
    mmsghdr messages[kBatch];
    const unsigned asked = std::min(max_frames, kBatch);
    for (unsigned i = 0; i < asked; ++i) {
        io[i] = {bytes[i], sizeof bytes[i]};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &io[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = control[i];
        messages[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    int received;
    do {
        received = ::recvmmsg(fd_, messages, asked, MSG_DONTWAIT, nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        last_errno_ = errno;
        return -1;
    }
    int taken = 0;
    for (int i = 0; i < received; ++i) {
        msghdr& message = messages[i].msg_hdr;
        if (messages[i].msg_len != kCanFrameSize || (message.msg_flags & MSG_TRUNC) != 0) {
            continue;  // not a classic CAN frame
        }
        RawFrame& frame = frames[taken++];
        frame = RawFrame{};
        FromCanFrame(bytes[i], &frame);
        frame.own = (message.msg_flags & MSG_CONFIRM) != 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
                c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
                uint32_t drops;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                dropped_ = drops;
            }
        }
    }
    return taken;
}

int RawSocket::WaitReadable(int64_t timeout_us) {
    timespec remaining{};
    if (timeout_us >= 0) {
        remaining.tv_sec = static_cast<time_t>(timeout_us / 1000000);
        remaining.tv_nsec = static_cast<long>(timeout_us % 1000000) * 1000;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::ppoll(&p, 1, timeout_us >= 0 ? &remaining : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
        last_errno_ = errno;
        return -1;
    }
    return ready < 0 ? 1 : ready;  // interrupted: the read that follows tells
}

int RawSocket::Receive(RawFrame* out, int64_t timeout_us) {
    if (fd_ < 0) {
        last_errno_ = EBADF;
        return -1;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::microseconds(std::max<int64_t>(timeout_us, 0));
    for (;;) {
        const int got = ReadWaiting(out, 1);
        if (got != 0 || timeout_us == 0) {
            return got;
        }
        int64_t left = -1;
        if (timeout_us > 0) {
            left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now())
                       .count();
            if (left <= 0) {
                return 0;
            }
        }
        const int ready = WaitReadable(left);
        if (ready <= 0) {
            return ready;
        }
    }
}

bool RawSocket::ReceiveSome(std::vector<RawFrame>& out, std::size_t max_frames,
                            int64_t timeout_us) {
    if (fd_ < 0) {
        last_errno_ = EBADF;
        return false;
    }
    // A caller that waits has taken everything before: wait first, then read.
    if (timeout_us != 0) {
        const int ready = WaitReadable(timeout_us);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            return true;
        }
    }
    RawFrame frames[32];
    while (max_frames > 0) {
        const int got = ReadWaiting(
            frames, static_cast<unsigned>(std::min<std::size_t>(max_frames, std::size(frames))));
        if (got < 0) {
            // The link went down: the kernel says so once, and frames come again once it is up.
            return last_errno_ == ENETDOWN;
        }
        out.insert(out.end(), frames, frames + got);
        max_frames -= static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < std::size(frames)) {
            break;  // that read took all there was
        }
    }
    return true;
}

#else  // not Linux: no SocketCAN

std::vector<InterfaceInfo> ListCanInterfaces() {
    return {};
}

bool ReadLink(const std::string&, LinkInfo*, std::string* error) {
    if (error != nullptr) {
        *error = "SocketCAN exists on Linux only";
    }
    return false;
}

bool ReadBitrate(const std::string&, uint32_t*, std::string* error) {
    return ReadLink({}, nullptr, error);
}

bool SetBitrate(const std::string&, uint32_t, std::string* error) {
    return ReadLink({}, nullptr, error);
}

bool SetLinkUp(const std::string&, bool, std::string* error, int* error_number) {
    *error_number = 0;
    return ReadLink({}, nullptr, error);
}

bool RestartController(const std::string&, std::string* error, int* error_number) {
    *error_number = 0;
    return ReadLink({}, nullptr, error);
}

bool RawSocket::Open(const std::string&, std::string* error) {
    return Fail(0, "SocketCAN exists on Linux only", error);
}

void RawSocket::Close() {}

bool RawSocket::Send(const RawFrame&, std::string* error) {
    return Fail(0, "SocketCAN exists on Linux only", error);
}

bool RawSocket::SetReceiving(bool, std::string* error) {
    return Fail(0, "SocketCAN exists on Linux only", error);
}

int RawSocket::Receive(RawFrame*, int64_t) {
    return -1;
}

bool RawSocket::ReceiveSome(std::vector<RawFrame>&, std::size_t, int64_t) {
    return false;
}

#endif

}  // namespace vci::socketcan
