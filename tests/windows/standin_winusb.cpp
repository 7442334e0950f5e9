// A stand-in winusb.dll for the Windows tier (wine's own is stubs): plays a candleLight adapter
// on the virtual bus at KORVANE_STANDIN_GS_USB_BUS (HOST:PORT). It answers the control requests
// as candleLight's firmware does (one channel, 48 MHz, stalling what it does not know and a bit
// timing that does not give 1000 kbit/s), and while the channel is started it puts each frame
// of bulk OUT on the bus and returns it on bulk IN with its echo id, and the bus's frames with
// echo id 0xffffffff. Bulk IN reads are overlapped: completed by writing the OVERLAPPED's status
// and size and setting its event, which kernel32's GetOverlappedResult reads.
//
// KORVANE_STANDIN_GS_USB_FAULT: "pull:N" pulls the adapter out at the Nth frame sent (every call
// fails after, pending reads end with STATUS_DEVICE_NOT_CONNECTED); "no-echo" echoes nothing.
#include "vci/gs_usb/protocol.h"
#include "virtual_bus/bus_client.h"
// After winsock2.h (bus_client.h):
#include <windows.h>
#include <winusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vci::gs_usb;

constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusNotConnected = 0xC000009D;

struct Read {
    OVERLAPPED* overlapped;
    UCHAR* buffer;
    ULONG size;
};

struct Adapter {
    std::mutex mutex;  // everything below but the bus, which the thread alone uses
    std::deque<std::array<std::uint8_t, kFrameSize>> in;  // for the host
    std::deque<Read> reads;
    std::deque<HostFrame> to_bus;
    bool open = false;  // one handle at a time, as a WinUSB device has
    bool started = false;
    bool gone = false;
    int frames = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    vbus::BusClient bus;
};

// Never destroyed: a thread still running at exit must not meet a destructor.
Adapter& The() {
    static Adapter* adapter = new Adapter;
    return *adapter;
}

int PullAt() {
    const char* fault = std::getenv("KORVANE_STANDIN_GS_USB_FAULT");
    return fault != nullptr && std::strncmp(fault, "pull:", 5) == 0 ? std::atoi(fault + 5) : 0;
}

bool NoEcho() {
    const char* fault = std::getenv("KORVANE_STANDIN_GS_USB_FAULT");
    return fault != nullptr && std::strcmp(fault, "no-echo") == 0;
}

void Complete(const Read& read, ULONG_PTR status, ULONG size) {
    read.overlapped->InternalHigh = size;
    std::atomic_thread_fence(std::memory_order_release);
    read.overlapped->Internal = status;
    ::SetEvent(read.overlapped->hEvent);
}

// With the mutex held: hands queued frames to waiting reads.
void Pump(Adapter& a) {
    while (!a.in.empty() && !a.reads.empty()) {
        const Read read = a.reads.front();
        a.reads.pop_front();
        const ULONG size = std::min<ULONG>(read.size, kFrameSize);
        std::memcpy(read.buffer, a.in.front().data(), size);
        a.in.pop_front();
        Complete(read, kStatusSuccess, size);
    }
}

void Queue(Adapter& a, const HostFrame& frame) {
    std::array<std::uint8_t, kFrameSize> bytes{};
    EncodeFrame(frame, bytes.data());
    a.in.push_back(bytes);
    Pump(a);
}

void EndReads(Adapter& a, ULONG_PTR status) {
    for (const Read& read : a.reads) {
        Complete(read, status, 0);
    }
    a.reads.clear();
}

void Run(Adapter& a) {
    std::vector<vbus::Frame> frames;
    while (!a.stop) {
        std::deque<HostFrame> sending;
        {
            std::lock_guard lock(a.mutex);
            sending.swap(a.to_bus);
        }
        for (const HostFrame& frame : sending) {
            vbus::Frame out;
            out.extended = (frame.can_id & kCanIdExtended) != 0;
            out.id = frame.can_id & kCanIdMask;
            out.length = std::min<std::uint8_t>(frame.dlc, 8);
            out.data = frame.data;
            a.bus.Send(out);
            if (!NoEcho()) {
                std::lock_guard lock(a.mutex);
                Queue(a, frame);
            }
        }
        frames.clear();
        if (!a.bus.Receive(frames, 1000)) {
            std::fprintf(stderr, "stand-in winusb: the bus connection was lost\n");
            return;
        }
        std::lock_guard lock(a.mutex);
        for (const vbus::Frame& frame : frames) {
            HostFrame host;
            host.echo_id = kReceivedEchoId;
            host.can_id = frame.id | (frame.extended ? kCanIdExtended : 0);
            host.dlc = frame.length;
            host.data = frame.data;
            Queue(a, host);
        }
    }
}

// Without the mutex held.
void StopChannel(Adapter& a) {
    if (a.thread.joinable()) {
        a.stop = true;
        a.thread.join();
        a.bus.Close();
    }
    std::lock_guard lock(a.mutex);
    a.started = false;
    a.to_bus.clear();
}

bool StartChannel(Adapter& a) {
    StopChannel(a);
    const char* where = std::getenv("KORVANE_STANDIN_GS_USB_BUS");
    const char* colon = where != nullptr ? std::strrchr(where, ':') : nullptr;
    std::string error;
    if (colon == nullptr ||
        !a.bus.Connect(std::string(where, colon), static_cast<std::uint16_t>(std::atoi(colon + 1)),
                       "", &error)) {
        std::fprintf(stderr, "stand-in winusb: no bus at %s: %s\n", where ? where : "(unset)",
                     error.c_str());
        return false;
    }
    a.stop = false;
    a.started = true;
    a.thread = std::thread(Run, std::ref(a));
    return true;
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

void PutU32(UCHAR* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<UCHAR>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const UCHAR* in) {
    return in[0] | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

}  // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    Adapter& a = The();
    if (file == INVALID_HANDLE_VALUE || a.gone) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (a.open) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    a.open = true;
    *handle = &a;
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE) {
    Adapter& a = The();
    StopChannel(a);
    std::lock_guard lock(a.mutex);
    EndReads(a, kStatusCancelled);
    a.in.clear();
    a.open = false;
    return TRUE;
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID) {
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE, UCHAR type, UCHAR index, USHORT,
                                 PUCHAR buffer, ULONG length, PULONG got) {
    std::vector<UCHAR> descriptor;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        descriptor = {18,   1,    0x00, 0x02, 0,    0, 0, 64, 0x50,
                      0x1d, 0x6f, 0x60, 0x00, 0x01, 1, 2, 3,  1};
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && index == 0) {
        descriptor = {4, 3, 0x09, 0x04};
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && index <= 3) {
        static const char* const kStrings[] = {"bytewerk", "candleLight USB to CAN adapter",
                                               "KV0042STANDIN"};
        descriptor = {0, 3};
        for (const char* c = kStrings[index - 1]; *c != '\0'; ++c) {
            descriptor.insert(descriptor.end(), {static_cast<UCHAR>(*c), 0});
        }
        descriptor[0] = static_cast<UCHAR>(descriptor.size());
    } else {
        return Fail(ERROR_GEN_FAILURE);
    }
    *got = std::min<ULONG>(length, static_cast<ULONG>(descriptor.size()));
    std::memcpy(buffer, descriptor.data(), *got);
    return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET setup,
                                   PUCHAR buffer, ULONG length, PULONG got, LPOVERLAPPED) {
    Adapter& a = The();
    if (a.gone) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    const bool in = setup.RequestType == kRequestTypeIn;
    if ((!in && setup.RequestType != kRequestTypeOut) || length < setup.Length) {
        return Fail(ERROR_GEN_FAILURE);
    }
    std::vector<UCHAR> answer;
    if (in && setup.Request == kDeviceConfig) {
        answer.assign(kDeviceConfigSize, 0);  // one channel
        PutU32(&answer[4], 2);
        PutU32(&answer[8], 1);
    } else if (in && setup.Request == kBtConst) {
        answer.assign(kBtConstSize, 0);
        const std::uint32_t limits[] = {0x000530bb, 48000000, 1, 16, 1, 8, 4, 1, 1024, 1};
        for (std::size_t i = 0; i < 10; ++i) {
            PutU32(&answer[4 * i], limits[i]);
        }
    } else if (!in && setup.Request == kHostFormat && setup.Length == 4) {
    } else if (!in && setup.Request == kBitTiming && setup.Length == 20) {
        const std::uint32_t quanta = 1 + GetU32(buffer) + GetU32(buffer + 4) + GetU32(buffer + 8);
        const std::uint32_t brp = GetU32(buffer + 16);
        if (brp == 0 || 48000000 / (brp * quanta) != 1000000 || 48000000 % (brp * quanta) != 0) {
            std::fprintf(stderr, "stand-in winusb: bit timing for another rate refused\n");
            return Fail(ERROR_GEN_FAILURE);
        }
    } else if (!in && setup.Request == kMode && setup.Length == 8) {
        if (GetU32(buffer) == 1) {
            if (!StartChannel(a)) {
                return Fail(ERROR_GEN_FAILURE);
            }
        } else {
            StopChannel(a);
        }
    } else {
        return Fail(ERROR_GEN_FAILURE);  // a stall
    }
    if (in) {
        std::memcpy(buffer, answer.data(), std::min<std::size_t>(answer.size(), length));
    }
    *got = in ? std::min<ULONG>(length, static_cast<ULONG>(answer.size())) : setup.Length;
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                             PULONG got, LPOVERLAPPED) {
    Adapter& a = The();
    HostFrame frame;
    if (a.gone) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (pipe != 0x02 || !DecodeFrame(buffer, length, &frame)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (++a.frames == PullAt()) {
        std::fprintf(stderr, "stand-in winusb: pulled out at frame %d\n", a.frames);
        StopChannel(a);
        std::lock_guard lock(a.mutex);
        a.gone = true;
        EndReads(a, kStatusNotConnected);
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    std::lock_guard lock(a.mutex);
    if (a.started) {
        a.to_bus.push_back(frame);
    } else if (!NoEcho()) {
        Queue(a, frame);  // taken by a controller that is not on the bus
    }
    if (got != nullptr) {
        *got = length;
    }
    return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                            PULONG, LPOVERLAPPED overlapped) {
    Adapter& a = The();
    if (a.gone) {
        return Fail(ERROR_BAD_COMMAND);
    }
    if (pipe != 0x81 || overlapped == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);  // only what the library does is played
    }
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    std::lock_guard lock(a.mutex);
    a.reads.push_back({overlapped, buffer, length});
    Pump(a);
    return Fail(ERROR_IO_PENDING);
}

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    Adapter& a = The();
    std::lock_guard lock(a.mutex);
    if (pipe == 0x81) {
        EndReads(a, kStatusCancelled);
    }
    return TRUE;
}

}  // extern "C"
