// Single CAN frames on one open channel: send, receive, receive through an identifier filter
// under a counted budget, flush the receive FIFO.
#pragma once

#include <cstdint>

#include "can/can_library.h"

// The loader's frame record.
struct CanFrame {
    // Bits 0-28: identifier; bit 31: 29-bit identifier. 0xFFFFFFFF: a received message that is
    // not a data frame.
    uint32_t id;
    uint8_t length;   // 0 to 8
    uint8_t data[8];  // only the first `length` bytes have meaning
};

inline constexpr uint32_t kCanIdExtended = 0x80000000u;  // bit 31 of CanFrame::id
inline constexpr uint32_t kCanIdMask = 0x1FFFFFFFu;      // the identifier bits
inline constexpr uint32_t kCanIdNotData = 0xFFFFFFFFu;   // a message that is not a data frame

// Budget of every ReceiveMatching call, in milliseconds; 0 at start. Counted, not measured:
// 1000 us per empty 1-ms read, 138 us per message that does not match. At most 4294967.
extern uint32_t ReceiveTimeout;

void SetReceiveTimeout(uint32_t milliseconds);

// The frame as the library's message record (time stamp 0, type 0, own-reception flag set).
void FrameToMessage(const CanFrame& frame, VciMessage& message);
// The library's message as a frame; a message that is not a data frame becomes id 0xFFFFFFFF
// with length 0 and leaves the data bytes as they were. At most 8 bytes are copied.
void MessageToFrame(const VciMessage& message, CanFrame& frame);

// Sends one frame. The library's code: 0 when it accepted the message.
uint32_t SendFrame(VciHandle channel, const CanFrame& frame);
// Takes one received message (not a copy of an own one), waiting at most 1 ms. 1 or 0.
int ReceiveFrame(VciHandle channel, CanFrame& frame);
// Waits, within ReceiveTimeout, for the first message with (id & mask) == value. 1 when one
// came (and is in frame), 0 when the budget ran out (frame may hold the last rejected one).
int ReceiveMatching(VciHandle channel, uint32_t value, uint32_t mask, CanFrame& frame);
// Discards every waiting message. 0, or the library's code when it ended on another failure.
uint32_t FlushReceive(VciHandle channel);
