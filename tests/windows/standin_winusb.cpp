// A stand-in winusb.dll for the Windows tier (wine's own is stubs): one candleLight adapter on the
// virtual bus at 127.0.0.1, port KORVANE_STANDIN_GS_USB_BUS. It answers the control requests as
// candleLight's firmware does (stalling what it does not know, and a bit timing that is not
// 1000 kbit/s at 48 MHz); while started it puts each bulk OUT frame on the bus and returns it on
// bulk IN with its echo id, and the bus's frames with 0xffffffff. It completes overlapped reads by
// writing the OVERLAPPED's status and size and setting its event, as kernel32 expects.
// KORVANE_STANDIN_GS_USB_FAULT "pull:ID": pulled out at the first frame sent to ID (hex).
#include "virtual_bus/bus_client.h"
#include "wire/gs_usb_protocol.h"
// After winsock2.h (bus_client.h):
#include <windows.h>
#include <winusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using namespace wire::gs_usb;

constexpr ULONG_PTR kCancelled = 0xC0000120, kNotConnected = 0xC000009D;  // NTSTATUS

struct Adapter {
    std::mutex mutex;
    std::deque<std::array<std::uint8_t, kFrameSize>> in;
    std::deque<std::pair<OVERLAPPED*, UCHAR*>> reads;
    bool open = false, gone = false;
    std::thread thread;
    std::atomic<bool> stop{false};
    vbus::BusClient bus;
}& a = *new Adapter;  // never destroyed: no destructor may meet the thread at exit

void Complete(OVERLAPPED* overlapped, ULONG_PTR status, ULONG size) {
    overlapped->InternalHigh = size;
    std::atomic_thread_fence(std::memory_order_release);
    overlapped->Internal = status;
    ::SetEvent(overlapped->hEvent);
}

void Queue(const HostFrame* frame) {  // with the mutex; null: only hands queued frames on
    if (frame != nullptr) {
        a.in.emplace_back();
        EncodeFrame(*frame, a.in.back().data());
    }
    for (; !a.in.empty() && !a.reads.empty(); a.in.pop_front(), a.reads.pop_front()) {
        std::memcpy(a.reads.front().second, a.in.front().data(), kFrameSize);
        Complete(a.reads.front().first, 0, kFrameSize);
    }
}

void EndReads(ULONG_PTR status) {  // with the mutex
    for (const auto& read : a.reads) {
        Complete(read.first, status, 0);
    }
    a.reads.clear();
}

void Run() {  // polls the bus: BusClient is for one thread at a time
    std::vector<vbus::Frame> frames;
    for (bool alive = true; alive && !a.stop; ::Sleep(1)) {
        std::lock_guard lock(a.mutex);
        frames.clear();
        alive = a.bus.Receive(frames, 0);
        for (const vbus::Frame& frame : frames) {
            const HostFrame host{kReceivedEchoId,
                                 frame.id | (frame.extended ? wire::kCanIdExtended : 0),
                                 frame.length,
                                 0,
                                 0,
                                 frame.data};
            Queue(&host);
        }
    }
}

void StopChannel() {  // without the mutex
    if (a.thread.joinable()) {
        a.stop = true;
        a.thread.join();
        a.bus.Close();
    }
}

bool StartChannel() {
    StopChannel();
    const char* port = std::getenv("KORVANE_STANDIN_GS_USB_BUS");
    std::string error = "KORVANE_STANDIN_GS_USB_BUS unset";
    if (port == nullptr ||
        !a.bus.Connect("127.0.0.1", static_cast<std::uint16_t>(std::atoi(port)), "", &error)) {
        std::fprintf(stderr, "stand-in winusb: no bus: %s\n", error.c_str());
        return false;
    }
    a.stop = false;
    a.thread = std::thread(Run);
    return true;
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    if (file == INVALID_HANDLE_VALUE || a.gone || a.open) {
        return Fail(ERROR_ACCESS_DENIED);  // one handle at a time, as WinUSB has it
    }
    a.open = true;
    *handle = &a;
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE) {
    StopChannel();
    std::lock_guard lock(a.mutex);
    EndReads(kCancelled);
    a.in.clear();
    a.open = false;
    return TRUE;
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID) {
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE, UCHAR type, UCHAR index, USHORT,
                                 PUCHAR buffer, ULONG length, PULONG got) {
    static const char* const kStrings[] = {"candleLight USB to CAN adapter", "KV0042STANDIN"};
    std::vector<UCHAR> bytes = {18,   1,    0,    2,    0, 0, 0, 64, 0x50,
                                0x1d, 0x6f, 0x60, 0x00, 1, 0, 1, 2,  1};  // product 1, serial 2
    if (type == USB_STRING_DESCRIPTOR_TYPE && index == 0) {
        bytes = {4, 3, 0x09, 0x04};  // the language: 0x0409
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && index <= 2) {
        bytes = {0, 3};
        for (const char* c = kStrings[index - 1]; *c != '\0'; ++c) {
            bytes.insert(bytes.end(), {static_cast<UCHAR>(*c), 0});
        }
        bytes[0] = static_cast<UCHAR>(bytes.size());
    } else if (type != USB_DEVICE_DESCRIPTOR_TYPE) {
        return Fail(ERROR_GEN_FAILURE);
    }
    *got = std::min<ULONG>(length, static_cast<ULONG>(bytes.size()));
    std::memcpy(buffer, bytes.data(), *got);
    return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET setup,
                                   PUCHAR buffer, ULONG length, PULONG got, LPOVERLAPPED) {
    // DEVICE_CONFIG: one channel, versions 2 and 1. BT_CONST: candleLight's limits.
    static const std::uint32_t kConfig[] = {0, 2, 1};
    static const std::uint32_t kLimits[] = {0x000530bb, 48000000, 1, 16, 1, 8, 4, 1, 1024, 1};
    std::uint32_t words[5] = {};
    std::memcpy(words, buffer, std::min<std::size_t>(length, sizeof words));
    const std::uint32_t quanta = 1 + words[0] + words[1] + words[2];
    const void* answer = nullptr;
    std::size_t size = setup.Length;
    if (a.gone) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (setup.RequestType == kRequestTypeIn && setup.Request == kDeviceConfig) {
        answer = kConfig, size = sizeof kConfig;
    } else if (setup.RequestType == kRequestTypeIn && setup.Request == kBtConst) {
        answer = kLimits, size = sizeof kLimits;
    } else if (setup.RequestType != kRequestTypeOut || length < setup.Length) {
        return Fail(ERROR_GEN_FAILURE);  // a stall
    } else if (setup.Request == kBitTiming && setup.Length == 20) {
        if (std::uint64_t{words[4]} * quanta * 1000000 != 48000000) {
            std::fprintf(stderr, "stand-in winusb: bit timing for another rate refused\n");
            return Fail(ERROR_GEN_FAILURE);
        }
    } else if (setup.Request == kMode && setup.Length == 8) {
        if (words[0] == 1 ? !StartChannel() : (StopChannel(), false)) {
            return Fail(ERROR_GEN_FAILURE);
        }
    } else if (setup.Request != kHostFormat || setup.Length != 4) {
        return Fail(ERROR_GEN_FAILURE);
    }
    *got = static_cast<ULONG>(std::min<std::size_t>(length, size));
    if (answer != nullptr) {
        std::memcpy(buffer, answer, *got);
    }
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                             PULONG got, LPOVERLAPPED) {
    const char* fault = std::getenv("KORVANE_STANDIN_GS_USB_FAULT");
    HostFrame frame;
    if (!a.gone && (pipe != 0x02 || !DecodeFrame(buffer, length, &frame))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (a.gone ||
        (fault != nullptr && std::strncmp(fault, "pull:", 5) == 0 &&
         (frame.can_id & wire::kCanExtendedMask) == std::strtoul(fault + 5, nullptr, 16))) {
        if (!a.gone) {
            std::fprintf(stderr, "stand-in winusb: pulled out at a frame to %s\n", fault + 5);
            StopChannel();
            std::lock_guard lock(a.mutex);
            a.gone = true;
            EndReads(kNotConnected);
        }
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    std::lock_guard lock(a.mutex);
    if (a.thread.joinable()) {  // else taken by a controller that is not on the bus
        a.bus.Send({frame.can_id & wire::kCanExtendedMask,
                    (frame.can_id & wire::kCanIdExtended) != 0, frame.dlc, frame.data});
    }
    Queue(&frame);
    *got = length;
    return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                            PULONG, LPOVERLAPPED overlapped) {
    if (a.gone || pipe != 0x81 || overlapped == nullptr || length < kFrameSize) {
        return Fail(a.gone ? ERROR_BAD_COMMAND : ERROR_INVALID_PARAMETER);
    }
    overlapped->Internal = STATUS_PENDING;
    std::lock_guard lock(a.mutex);
    a.reads.emplace_back(overlapped, buffer);
    Queue(nullptr);
    return Fail(ERROR_IO_PENDING);
}

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    std::lock_guard lock(a.mutex);
    if (pipe == 0x81) {
        EndReads(kCancelled);
    }
    return TRUE;
}

}  // extern "C"
