// The bootloader's command channel: single frames in the J1939 Proprietary B range, each request
// answered by one reply frame with the same identifier.
//
// Id word of a command-channel frame: 0x80FFF0B1 + channel * 0x100, i.e. extended marker,
// priority 0, EDP 0, DP 0, PF 0xFF, PS 0xF0 + channel, source BootloaderAddress (0xB1), in both
// directions. The channel (0 to 15, bits 8-11) tells sixteen sub-channels apart: 2 carries the
// text and erase commands, 15 the 8-byte blocks of the image. The bootloader echoes the erase
// address, the stream commands and every data block; the loader checks each echo byte for
// byte. Our own requests never come back as replies: the frame I/O drops the copies of frames
// that the loader itself sent.
//
// Every wait is one ReceiveMatching call under the process-wide ReceiveTimeout
// (can/can_frame_io.h), which the caller sets. Functions return 1 for success and 0 for failure,
// except SendCommand, which returns the library's code. Nothing is retried, printed or
// allocated, and no state is kept here.
#pragma once

#include <cstdint>

#include "can/can_library.h"

inline constexpr uint8_t kCommandChannel = 2;  // commands and their replies
inline constexpr uint8_t kDataChannel = 15;    // image blocks and their echoes

// Id word of channel 0; the channel is added in bits 8-11.
inline constexpr uint32_t kCommandChannelBaseId = 0x80FFF0B1u;
// A received frame belongs to the command channel when (id word & mask) == value: an extended
// frame whose identifier is 0x00FFF0B1 in every bit but the channel nibble. Another priority,
// data page, PF, PS high nibble or source address, or an 11-bit identifier, never passes.
inline constexpr uint32_t kCommandReplyValue = 0x80FFF0B1u;
inline constexpr uint32_t kCommandReplyMask = 0x9FFFF0FFu;

// One exchange gives up at the 500th command-channel frame of another channel.
inline constexpr uint32_t kMaxOtherChannelFrames = 500;
// WaitForBootloader gives up once the nominal budgets of its failed attempts exceed this (ms).
inline constexpr uint32_t kBootloaderWaitAllowance = 4000;

// Command texts, sent as their characters without a terminating zero.
inline constexpr uint8_t kVersionCommand[1] = {'V'};
inline constexpr uint8_t kEraseCommand = 'E';  // followed by the flash address, MSB first
inline constexpr uint8_t kBeginStreamCommand[8] = {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G'};
inline constexpr uint8_t kEndStreamCommand[8] = {'B', 'O', 'O', 'T', '_', 'E', 'N', 'D'};
inline constexpr uint8_t kRebootCommand[8] = {'R', 'E', 'B', 'O', 'O', 'T', 'M', 'E'};

// Id word of a command-channel frame on `channel` (only its low four bits count).
uint32_t CommandChannelIdentifier(uint8_t channel);
// The channel of a command-channel id word: (id >> 8) & 0xF.
uint8_t CommandChannelOf(uint32_t id);

// Sends one frame on `channel` with the first `length` bytes of `data` (null allowed when
// `length` is 0) and awaits nothing. Returns SendFrame's result: 0 when the library accepted
// the frame, else its code. A length above 8 sends nothing and returns kVciErrInvalidArgument.
uint32_t SendCommand(VciHandle port, uint8_t channel, const uint8_t* data, uint8_t length);

// Sends the request on `channel` (whatever the send's result) and waits for a command-channel
// frame on that same channel. Each wait has a full ReceiveTimeout budget of its own. For every
// command-channel frame accepted, of any channel, `reply_length` gets its length as received and
// `reply` its data bytes (at most 8 are copied). A frame of another channel is dropped and the
// wait goes on, up to 500 such frames. 1 when the reply came; 0 when a wait ran out, at the
// 500th frame of another channel, or at once (nothing sent) for a request longer than 8 bytes.
// After 0 the reply holds the last frame of another channel, or is untouched.
int Transact(VciHandle port, uint8_t channel, const uint8_t* request, uint8_t request_length,
             uint8_t (&reply)[8], uint8_t& reply_length);
// Transact on channel 2.
int TransactCommand(VciHandle port, const uint8_t* request, uint8_t request_length,
                    uint8_t (&reply)[8], uint8_t& reply_length);

// Waits, within ReceiveTimeout, for the next command-channel frame of any channel. 1 with its
// channel, length (as received) and data bytes (at most 8) stored; 0 with all three untouched
// when none came.
int ReceiveCommand(VciHandle port, uint8_t& channel, uint8_t (&data)[8], uint8_t& length);

// "V" on channel 2. Transact's result; the reply (the bootloader's version text, e.g. the 8
// characters ">VER 7.0") is returned unchecked, of any length including 0.
int QueryVersion(VciHandle port, uint8_t (&reply)[8], uint8_t& reply_length);

// Sends "V" on channel 2 until the bootloader answers (any reply counts): 1 on the first
// answer. After each failed attempt the current ReceiveTimeout is added to a nominal allowance;
// once it exceeds 4000 ms, 0. That makes 1 + floor(4000 / ReceiveTimeout) attempts: 41 at
// 100 ms, 17 at 250, 3 at 2000, and an answer to the last still counts. A ReceiveTimeout of 0
// is charged as 1 ms per attempt (4001 attempts), so the wait always ends.
int WaitForBootloader(VciHandle port);

// 'E' and the 32-bit flash address, most significant byte first, on channel 2. 1 when the reply
// is exactly the four address bytes in the same order.
int EraseSector(VciHandle port, uint32_t address);

// "BOOT_BEG" / "BOOT_END" on channel 2. 1 when the reply is exactly those 8 bytes.
int BeginStream(VciHandle port);
int EndStream(VciHandle port);

// The 8 bytes of `block` on channel 15. 1 when the reply is exactly the same 8 bytes. The stream
// ends with a block of eight zero bytes, checked the same way.
int SendDataBlock(VciHandle port, const uint8_t (&block)[8]);

// "REBOOTME" on channel 2; no reply is awaited. Returns 1 whatever the send's result.
int RequestReboot(VciHandle port);
